// 14 rule-add NAME REGEX TYPE SCORE [OPTIONS]: adds a rule to the kernel's table and saves it;
// 501 with the reason when it is refused (a bad pattern or type, a name taken).
#include "lib.csh"
#import(class, CS_RulesDB)
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    CS_RulesDB rules = k.GetRulesDB();
    if (Arg(1) == "") { SendRefusal(r, q.GetCmd(), "rule-add needs NAME REGEX TYPE SCORE [OPTIONS]"); return 0; }
    string why = rules.CheckRule(Arg(2), k.CharToInt(Arg(3)), k.CharToInt(Arg(5)));
    if (why != "") { SendRefusal(r, q.GetCmd(), why); return 0; }
    if (rules.AddRule(Arg(1), Arg(2), k.CharToInt(Arg(3)), k.CharToFloat(Arg(4)), k.CharToInt(Arg(5))) != 1) {
        SendRefusal(r, q.GetCmd(), "the name " + Arg(1) + " is taken");
        return 0;
    }
    rules.Save();
    k.WriteLog(1, "Admin " + k.GetClientIP() + " added the rule " + Arg(1), 0);
    SendText(r, "ok", q.GetCmd());
    return 0;
}
