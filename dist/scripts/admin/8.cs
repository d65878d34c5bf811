// 8 greylist [COUNT [START [FILTER]]]: a page of the greylist (default 100 records from 0), KEY RECORD rows.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    int count = 100;
    if (Arg(1) != "") count = k.CharToInt(Arg(1));
    HashArray h = new HashArray();
    k.ViewGreyListDB(h, count, k.CharToInt(Arg(2)), Arg(3), 0);
    SendPairs(r, h, q.GetCmd());
    return 0;
}
