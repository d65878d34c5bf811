// 10 cron: the cron jobs, SCHEDULE ID rows.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    HashArray h = new HashArray();
    k.ViewCronJob(h);
    SendPairs(r, h, q.GetCmd());
    return 0;
}
