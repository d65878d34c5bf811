// 8 greylist [COUNT [START [FILTER]]]: a page of the greylist (default 100 records from 0), KEY RECORD rows.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    if (PageArgs(q, r) == 0) return 0;
    HashArray h = new HashArray();
    k.ViewGreyListDB(h, page_count, page_start, Arg(3), 0);
    SendPairs(r, h, q.GetCmd());
    return 0;
}
