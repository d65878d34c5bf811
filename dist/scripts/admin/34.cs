// 34 alwl-add LOCAL CORRESPONDENT: trusts mail from CORRESPONDENT to the local user LOCAL, as
// if LOCAL had written to it (the auto-whitelist's pair).
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    if (k.REeq(Arg(1), "^[^@ ]+@[^@ ]+$", 0) == 0 || k.REeq(Arg(2), "^[^@ ]+@[^@ ]+$", 0) == 0) {
        SendRefusal(r, q.GetCmd(), "alwl-add needs two addresses, LOCAL CORRESPONDENT");
        return 0;
    }
    k.AddALWL(Arg(1), Arg(2));
    k.WriteLog(1, "Admin " + k.GetClientIP() + " trusted mail from " + Arg(2) + " to " + Arg(1), 0);
    SendText(r, "ok", q.GetCmd());
    return 0;
}
