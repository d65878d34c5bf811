// 31 domain-list DOMAIN LIST [ENTRY VALUE | ENTRY -]: a local domain's own list, "wbip" (senders
// or sender domains, 1 white and 0 black for the domain's recipients) or "lover" (recipients who
// take spam, 1). Without an entry, ENTRY VALUE rows; with one, sets it (VALUE) or removes it (-).
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    string why = "";
    if (Arg(3) == "") {
        HashArray h = new HashArray();
        if (k.ViewDomainList(Arg(1), Arg(2), h) == 0) {
            SendRefusal(r, q.GetCmd(), Arg(1) + " is no local domain with a list " + Arg(2) + " (wbip or lover)");
            return 0;
        }
        SendPairs(r, h, q.GetCmd());
        return 0;
    }
    if (Arg(4) == "-") why = k.DeleteDomainListEntry(Arg(1), Arg(2), Arg(3));
    else why = k.SetDomainListEntry(Arg(1), Arg(2), Arg(3), Arg(4));
    if (why != "") { SendRefusal(r, q.GetCmd(), why); return 0; }
    SendText(r, "ok", q.GetCmd());
    return 0;
}
