// 1 status: version, local domains, cron jobs, table sizes and today's counters, as KEY VALUE rows.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    HashArray h = new HashArray();
    k.GetTablesCount(h);
    HashArray s = new HashArray();
    k.GetStatisticsToArray(s);
    h.Merge(s);
    HashArray jobs = new HashArray();
    k.ViewCronJob(jobs);
    h.AddValueS("version", k.GetConfig("krnversion", "CONFIG"));
    h.AddValueI("cron_jobs", jobs.GetRecordCount());
    h.AddValueS("phishing_list", k.GetDBPhishingDate());
    SendPairs(r, h, q.GetCmd());
    return 0;
}
