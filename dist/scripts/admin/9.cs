// 9 alwl [COUNT [START [FILTER]]]: a page of the auto-whitelist (default 100 records from 0).
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    if (PageArgs(q, r) == 0) return 0;
    HashArray h = new HashArray();
    k.ViewALWLDB(h, page_count, page_start, Arg(3), 0);
    SendPairs(r, h, q.GetCmd());
    return 0;
}
