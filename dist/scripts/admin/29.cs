// 29 embargo [COUNT [START [FILTER]]]: a page of the IP embargo (default 100 from 0), KEY EXPIRY
// rows (the client group and the end of its embargo, seconds since 1970).
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    if (PageArgs(q, r) == 0) return 0;
    HashArray h = new HashArray();
    k.ViewEmbargo(h, page_count, page_start, Arg(3));
    SendPairs(r, h, q.GetCmd());
    return 0;
}
