// 14 rule-add NAME REGEX TYPE SCORE [OPTIONS]: adds a rule to the kernel's table and saves it;
// 501 when it is refused (a bad pattern, a name taken).
#include "lib.csh"
#import(class, CS_RulesDB)
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    CS_RulesDB rules = k.GetRulesDB();
    if (rules.AddRule(Arg(1), Arg(2), k.CharToInt(Arg(3)), k.CharToFloat(Arg(4)), k.CharToInt(Arg(5))) != 1) {
        SendError(r, q.GetCmd(), 501);
        return 0;
    }
    rules.Save();
    k.WriteLog(1, "Admin " + k.GetClientIP() + " added the rule " + Arg(1), 0);
    SendText(r, "ok", q.GetCmd());
    return 0;
}
