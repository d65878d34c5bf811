// 11 cron-add "MIN HOUR DOM MON DOW SCRIPT" ID: adds a job and rewrites the crontab; 501 with
// the reason when the schedule is invalid or the schedule or the identifier is taken.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    string why = k.CheckCronSchedule(Arg(1));
    if (why != "") { SendRefusal(r, q.GetCmd(), why); return 0; }
    if (k.AddCronJob(Arg(1), Arg(2)) != 1) { SendRefusal(r, q.GetCmd(), "the schedule or the identifier is taken"); return 0; }
    k.WriteLog(1, "Admin " + k.GetClientIP() + " added the cron job " + Arg(1), 0);
    SendText(r, "ok", q.GetCmd());
    return 0;
}
