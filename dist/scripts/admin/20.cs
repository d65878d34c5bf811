// 20 held-release ID...: delivers each held message once to the first MTA with its original
// envelope and marks it released; refused (501, with the reason) when one was not delivered:
// released already, no such message, or the MTA's refusal (it stays held).
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    if (Arg(1) == "") {
        SendRefusal(r, q.GetCmd(), "give the id of a held message");
        return 0;
    }
    string errors = "";
    int n = 1;
    while (Arg(n) != "") {
        string error = k.ReleaseHeld(Arg(n), "admin " + k.GetClientIP());
        if (error != "") errors = errors + Arg(n) + ": " + error + "; ";
        else {
            r.Addnew();
            r.SetFieldAt(1, Arg(n));
            r.SetFieldAt(2, "released");
        }
        n = n + 1;
    }
    if (errors != "") {
        SendRefusal(r, q.GetCmd(), errors);
        return 0;
    }
    r.Send(q.GetCmd(), 0);
    return 0;
}
