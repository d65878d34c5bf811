// 26 activity [minute|hour]: sessions per minute over the last hour (the default) or per hour
// over the last week, oldest first: the period's start (seconds since 1970), how many were
// delivered, tagged, refused, greylisted and held, all sessions, and their average and
// 95th-percentile duration in milliseconds. The first row names the columns.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    string scale = Arg(1);
    if (scale == "") scale = "minute";
    HashArray rows = new HashArray();
    if (k.GetActivity(scale, rows) < 0) { SendRefusal(r, q.GetCmd(), "activity takes minute or hour"); return 0; }
    SendRow(r, k.ActivityColumns());
    SendRows(r, rows);
    r.Send(q.GetCmd(), 0);
    return 0;
}
