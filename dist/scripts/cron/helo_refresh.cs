// Nightly: rebuilds the list of names a client must not claim in HELO (db/helo_forget.db) from
// [CONFIG] myippub, [CONFIG] myname and the MX hosts of the local domains that resolve to the
// public address. The default policy refuses (or scores) a client that introduces itself with
// one of them. Without myippub there is nothing to build and the job says so.
CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);
#import(class, CDB_Ram)

int main() {
    if (k.GetConfig("myippub", "CONFIG") == "") {
        k.WriteLog(2, "HELO list refresh: [CONFIG] myippub is not set, nothing to build", 0);
        return 0;
    }
    if (k.SetHeloRefresh() == 0) {
        k.WriteLog(2, "HELO list refresh: another refresh is running", 0);
        return 0;
    }
    CDB_Ram helo = k.GetDBRamHelo();
    k.WriteLog(2, k.Format("HELO list refresh: %d names and addresses", helo.GetCount()), 0);
    return 0;
}
