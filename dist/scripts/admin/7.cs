// 7 domain-del DOMAIN: removes a local domain with its settings and tables; 501 when unknown.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    if (k.DeleteDomain(Arg(1)) != 1) { SendError(r, q.GetCmd(), 501); return 0; }
    k.WriteLog(1, "Admin " + k.GetClientIP() + " removed the local domain " + Arg(1), 0);
    SendText(r, "ok", q.GetCmd());
    return 0;
}
