// 19 held [SEARCH [COUNT [START]]]: the held quarantine, newest first (SEARCH in the id, sender,
// recipients, subject, client and reasons): ID, HELD AT, CLIENT,
// SENDER, RECIPIENTS, SUBJECT, REASONS, SIZE, RELEASED rows (default 50 from 0).
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    int count = 50;
    if (Arg(2) != "") count = k.CharToInt(Arg(2));
    HashArray rows = new HashArray();
    k.ViewHeld(Arg(1), rows, k.CharToInt(Arg(3)), count);
    SendRow(r, "id\theld_at\tclient\tsender\trecipients\tsubject\treasons\tsize\treleased");
    SendRows(r, rows);
    r.Send(q.GetCmd(), 0);
    return 0;
}
