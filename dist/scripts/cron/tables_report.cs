// Hourly: one log line with the live record count of every table of the kernel (DNS and
// block-list caches, SPF cache, HELO list, IP embargo, spam traps, auto-whitelist, greylist,
// local domains, Bayes words, rules), so an operator sees a table grow out of bounds or empty
// itself long before it hurts.
CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);
#import(class, HashArray)

int main() {
    HashArray counts = new HashArray();
    if (k.GetTablesCount(counts) == 0) {
        k.WriteLog(1, "Tables: the kernel's engines are not reachable", 0);
        return 1;
    }
    string line = "Tables:";
    int i = 0;
    while (i < counts.GetRecordCount()) {
        line = line + " " + counts.GetKeyByIndex(i) + "=" + counts.GetByIndexS(i);
        i = i + 1;
    }
    k.WriteLog(2, line, 0);
    return 0;
}
