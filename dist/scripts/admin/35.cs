// 35 drain: the kernel stops accepting connections (a balancer or the MX peer moves on), lets
// the running sessions finish, then exits. The same as SIGUSR1.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    if (k.DrainKernel() == 0) {
        SendRefusal(r, q.GetCmd(), "no kernel to drain");
        return 0;
    }
    k.WriteLog(1, "Admin " + k.GetClientIP() + " asked the kernel to drain", 0);
    SendText(r, "draining", q.GetCmd());
    return 0;
}
