// Before midnight: the day's statistics counters in one log line ("name=value ..."), the same
// figures the day's statistics file (db/DAY_YYYY-MM-DD.stc) keeps, so a plain log search shows
// how a day went.
CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);
#import(class, HashArray)

int main() {
    HashArray stats = new HashArray();
    if (k.GetStatisticsToArray(stats) == 0) {
        k.WriteLog(1, "Daily statistics: the kernel's engines are not reachable", 0);
        return 1;
    }
    string line = "Daily statistics:";
    int i = 0;
    while (i < stats.GetRecordCount()) {
        line = line + " " + stats.GetKeyByIndex(i) + "=" + stats.GetByIndexS(i);
        i = i + 1;
    }
    if (stats.GetRecordCount() == 0) line = line + " no counters yet";
    k.WriteLog(2, line, 0);
    return 0;
}
