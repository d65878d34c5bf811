// 30 embargo-add ADDRESS [DAYS]: refuses the client's group (the address with the configured
// client prefix) at connection for DAYS days (default 1, at most 3650).
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    int days = 1;
    if (Arg(2) != "") days = k.CharToInt(Arg(2));
    string why = k.AddEmbargo(Arg(1), days);
    if (why != "") { SendRefusal(r, q.GetCmd(), why); return 0; }
    SendText(r, "ok", q.GetCmd());
    return 0;
}
