// Every six hours: downloads the phishing list from the update service named by [SETTING] URL
// in db/phishing.db, when it is newer than the local one (the kernel checks it is complete
// before it replaces anything). Off while no URL is set: the shipped list is then used as it is.
CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);

int main() {
    if (k.GetDBPhishingUrl() == "") {
        k.WriteLog(3, "Phishing list update: off, no [SETTING] URL in db/phishing.db", 0);
        return 0;
    }
    if (k.UpDateDBPhishingFromWWW() == 1) {
        k.WriteLog(2, "Phishing list update: updated, list of " + k.GetDBPhishingDate(), 0);
        return 0;
    }
    k.WriteLog(2, "Phishing list update: kept the list of " + k.GetDBPhishingDate() + ": " +
                      k.GetDBPhishingUpdateError(), 0);
    return 0;
}
