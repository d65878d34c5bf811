// Connects, then marks every message it lets through: a header line and a subject tag, as a
// policy does. The protocol-safety tests check where they land.
CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);

int OnStartClientConnection(int id) {
    if (k.ConnectToDefaultMTA() == 0) {
        k.SendToClient("421 no MTA\r\n");
        k.CloseClientConnAfterSendingQueue();
    }
    return 0;
}
int OnDoneAntispamFilter() {
    k.WriteHeaderMessage("X-Morvane-Test: 1");
    k.ModifyHeaderSubject("[T]");
    return 0;
}
