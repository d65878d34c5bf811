// 33 cron-enable ID 1|0: turns a cron job (by identifier or schedule) on or off and saves the
// crontab (an off job stays in it, as a line starting with "#").
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    if (Arg(2) != "1" && Arg(2) != "0") { SendRefusal(r, q.GetCmd(), "cron-enable needs ID 1|0"); return 0; }
    string why = k.EnableCronJob(Arg(1), k.CharToInt(Arg(2)));
    if (why != "") { SendRefusal(r, q.GetCmd(), why); return 0; }
    SendText(r, "ok", q.GetCmd());
    return 0;
}
