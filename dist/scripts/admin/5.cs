// 5 domains: the local domains, one per row (DOMAIN PROPERTIES).
#include "lib.csh"
#import(class, CDB_Ram)
int Main(CAdminRequest q, CAdminResponse r) {
    CDB_Ram t = k.GetDBRamDomains();
    HashArray h = new HashArray();
    t.Query("", h);
    SendPairs(r, h, q.GetCmd());
    return 0;
}
