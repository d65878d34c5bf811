// 16 plugins [install|uninstall DIRECTORY ID]: the installed plug-ins (ID DIRECTORY rows), or
// installs / uninstalls the plug-in ID of scripts/admin/plugin/DIRECTORY; 501 when that fails.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    int ok = 1;
    if (Arg(1) == "install") ok = k.PlugInInstall(Arg(2), Arg(3));
    if (Arg(1) == "uninstall") ok = k.PlugInUninstall(Arg(2), Arg(3));
    if (ok != 1) { SendError(r, q.GetCmd(), 501); return 0; }
    HashArray h = new HashArray();
    k.GetPlugInInstalled(h);
    SendPairs(r, h, q.GetCmd());
    return 0;
}
