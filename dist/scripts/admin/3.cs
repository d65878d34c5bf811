// 3 config-get SECTION KEY: the value in morvane.ini as the kernel holds it; with SECTION only,
// every KEY VALUE of the section.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    if (Arg(1) == "") { SendError(r, q.GetCmd(), 501); return 0; }
    if (Arg(2) == "") {
        HashArray h = new HashArray();
        k.GetConfigToArray(h, Arg(1));
        SendPairs(r, h, q.GetCmd());
        return 0;
    }
    SendText(r, k.GetConfig(Arg(2), Arg(1)), q.GetCmd());
    return 0;
}
