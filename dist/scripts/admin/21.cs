// 21 held-delete ID...: deletes held messages; refused (501) when one is not there.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    string missing = "";
    int n = 1;
    while (Arg(n) != "") {
        if (k.DeleteHeld(Arg(n), "admin " + k.GetClientIP()) == 0) missing = missing + " " + Arg(n);
        n = n + 1;
    }
    if (n == 1) {
        SendRefusal(r, q.GetCmd(), "give the id of a held message");
        return 0;
    }
    if (missing != "") {
        SendRefusal(r, q.GetCmd(), "no such held message:" + missing);
        return 0;
    }
    SendText(r, "deleted", q.GetCmd());
    return 0;
}
