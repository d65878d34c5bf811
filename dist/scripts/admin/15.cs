// 15 rule-del NAME: deletes a rule from the kernel's table and saves it; 501 when unknown.
#include "lib.csh"
#import(class, CS_RulesDB)
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    CS_RulesDB rules = k.GetRulesDB();
    if (rules.DeleteRule(Arg(1)) != 1) { SendError(r, q.GetCmd(), 501); return 0; }
    rules.Save();
    k.WriteLog(1, "Admin " + k.GetClientIP() + " deleted the rule " + Arg(1), 0);
    SendText(r, "ok", q.GetCmd());
    return 0;
}
