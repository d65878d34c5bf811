// Counts messages across connections in a shared flag of the persistent-object store, and
// deletes it at the second message while this run still uses it.
#import(class, CS_Flag)

CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);

int OnStartClientConnection(int id) {
    if (k.ConnectToDefaultMTA() == 0) {
        k.SendToClient("421 no MTA\r\n");
        k.CloseClientConnAfterSendingQueue();
    }
    return 0;
}

int OnDoneAntispamFilter() {
    CS_Flag f = k.CreatePersistentOBJ("messages", "CS_Flag");
    f.SetInt(f.GetInt() + 1);
    k.WriteHeaderMessage(k.Format("X-Morvane-Count: %d", f.GetInt()));
    if (f.GetInt() == 2) k.DeletePersistentOBJ("messages");
    f.SetString("usable");
    k.WriteHeaderMessage("X-Morvane-Flag: " + f.GetString());
    return 0;
}
