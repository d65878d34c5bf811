// 6 domain-add DOMAIN: adds a local domain (saved at once); answers its position, 501 when it
// is listed already or empty.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    int at = k.InsertDomain(Arg(1));
    if (at < 0) { SendError(r, q.GetCmd(), 501); return 0; }
    k.WriteLog(1, "Admin " + k.GetClientIP() + " added the local domain " + Arg(1), 0);
    SendText(r, k.IntToChar(at), q.GetCmd());
    return 0;
}
