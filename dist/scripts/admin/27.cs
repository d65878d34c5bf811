// 27 grey-pass KEY: the greylisted triple (its key, as greylist lists it) passes at the client's
// next retry; 501 with the reason when there is no such record.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    string why = k.PassGreyListNow(Arg(1));
    if (why != "") { SendRefusal(r, q.GetCmd(), why); return 0; }
    SendText(r, "ok", q.GetCmd());
    return 0;
}
