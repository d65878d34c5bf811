// 4 config-set SECTION KEY VALUE: sets the key, saves morvane.ini and has the kernel apply it.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    if (Arg(1) == "" || Arg(2) == "") { SendError(r, q.GetCmd(), 501); return 0; }
    k.SetConfig(Arg(1), Arg(2), Arg(3));
    k.SaveConfig();
    k.SetRebootConfig(1);
    k.WriteLog(1, "Admin " + k.GetClientIP() + " set [" + Arg(1) + "] " + Arg(2), 0);
    SendText(r, "ok", q.GetCmd());
    return 0;
}
