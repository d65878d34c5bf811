// 17 community [SENDER]: the cooperative network's servers, SERVER ADDRESS|ANSWERS|TIME-OUTS
// rows; with SENDER, asks every server about it first (a row "answered N" leads).
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    if (Arg(1) != "") {
        r.Addnew();
        r.SetFieldAt(1, "answered");
        r.SetFieldAt(2, k.Format("%d", k.DCTest(Arg(1))));
    }
    HashArray h = new HashArray();
    k.DCGetServer(h);
    SendPairs(r, h, q.GetCmd());
    return 0;
}
