// 32 cron-state: each cron job with its state, in crontab order. The first row names the
// columns: id, schedule, enabled (on/off), state (running/idle), last start and end, the last
// run's result (ok, "returned N" or the error), and the next run (times in seconds since 1970,
// 0 for none).
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    HashArray rows = new HashArray();
    k.ViewCronState(rows);
    SendRow(r, "id\tschedule\tenabled\tstate\tlast_start\tlast_end\tlast_result\tnext");
    SendRows(r, rows);
    r.Send(q.GetCmd(), 0);
    return 0;
}
