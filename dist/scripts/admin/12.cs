// 12 cron-del ID [SCHEDULE]: removes the job with that identifier (or schedule) and rewrites the
// crontab; 501 when there is none.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    if (k.DeleteCronJob(Arg(2), Arg(1)) != 1) { SendError(r, q.GetCmd(), 501); return 0; }
    k.WriteLog(1, "Admin " + k.GetClientIP() + " removed the cron job " + Arg(1) + Arg(2), 0);
    SendText(r, "ok", q.GetCmd());
    return 0;
}
