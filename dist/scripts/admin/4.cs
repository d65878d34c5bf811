// 4 config-set SECTION KEY VALUE: sets the key, saves morvane.ini and has the kernel apply it;
// 501 with the reason for a value the key does not take.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    if (Arg(1) == "" || Arg(2) == "") { SendRefusal(r, q.GetCmd(), "config-set needs SECTION KEY VALUE"); return 0; }
    string why = k.CheckConfigValue(Arg(1), Arg(2), Arg(3));
    if (why != "") { SendRefusal(r, q.GetCmd(), why); return 0; }
    k.SetConfig(Arg(1), Arg(2), Arg(3));
    k.SaveConfig();
    k.SetRebootConfig(1);
    k.WriteLog(1, "Admin " + k.GetClientIP() + " set [" + Arg(1) + "] " + Arg(2), 0);
    SendText(r, "ok", q.GetCmd());
    return 0;
}
