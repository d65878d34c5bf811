// 11 cron-add "MIN HOUR DOM MON DOW SCRIPT" ID: adds a job and rewrites the crontab; 501 when
// the schedule or the identifier is taken.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    if (k.AddCronJob(Arg(1), Arg(2)) != 1) { SendError(r, q.GetCmd(), 501); return 0; }
    k.WriteLog(1, "Admin " + k.GetClientIP() + " added the cron job " + Arg(1), 0);
    SendText(r, "ok", q.GetCmd());
    return 0;
}
