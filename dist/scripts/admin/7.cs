// 7 domain-del DOMAIN: removes a local domain with its settings and tables; 501 when unknown.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    string why = k.CheckDomainName(Arg(1));
    if (why != "") { SendRefusal(r, q.GetCmd(), why); return 0; }
    if (k.DeleteDomain(Arg(1)) != 1) { SendRefusal(r, q.GetCmd(), Arg(1) + " is not listed"); return 0; }
    k.WriteLog(1, "Admin " + k.GetClientIP() + " removed the local domain " + Arg(1), 0);
    SendText(r, "ok", q.GetCmd());
    return 0;
}
