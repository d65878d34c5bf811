// 23 check MESSAGE [CLIENT [SENDER]]: the content checks of the shipped policy on a message
// (nothing is delivered, learned or counted). With the client's address and the envelope
// sender SPF is asked too. Rows CHECK RESULT POINTS after a row naming them; the last row is
// "verdict", what the policy would do with its reasons, and the total.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    if (Arg(1) == "") { SendRefusal(r, q.GetCmd(), "check needs the message (morvanectl check FILE)"); return 0; }
    HashArray rows = new HashArray();
    string v = k.CheckMessage(Arg(1), Arg(2), Arg(3), rows);
    if (v == "") { SendRefusal(r, q.GetCmd(), "no kernel to check with"); return 0; }
    SendRow(r, "check\tresult\tpoints");
    SendRows(r, rows);
    SendRow(r, "verdict\t" + k.Split(v, 9, 0) + ":" + k.Split(v, 9, 2) + "\t" + k.Split(v, 9, 1));
    r.Send(q.GetCmd(), 0);
    return 0;
}
