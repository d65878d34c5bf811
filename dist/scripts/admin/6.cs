// 6 domain-add DOMAIN: adds a local domain (saved at once); answers its position, 501 with the
// reason when it is no host name or listed already.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    string why = k.CheckDomainName(Arg(1));
    if (why != "") { SendRefusal(r, q.GetCmd(), why); return 0; }
    int at = k.InsertDomain(Arg(1));
    if (at < 0) { SendRefusal(r, q.GetCmd(), Arg(1) + " is listed already"); return 0; }
    k.WriteLog(1, "Admin " + k.GetClientIP() + " added the local domain " + Arg(1), 0);
    SendText(r, k.IntToChar(at), q.GetCmd());
    return 0;
}
