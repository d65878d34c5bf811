// 28 list-del LIST KEY: removes a record (its key, as the list shows it) from the greylist
// ("grey"), the auto-whitelist ("alwl") or the IP embargo ("embargo") and saves the table.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    string why = k.DeleteListEntry(Arg(1), Arg(2));
    if (why != "") { SendRefusal(r, q.GetCmd(), why); return 0; }
    SendText(r, "ok", q.GetCmd());
    return 0;
}
