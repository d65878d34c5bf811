// 24 rule-test PATTERN TYPE MESSAGE [OPTIONS]: whether a rule would match the message, before
// it is added or changed: "match" with the first captures, "no match", or 501 with the reason
// the rule is refused (a bad pattern or type).
#include "lib.csh"
#import(class, CS_RulesDB)
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    if (Arg(3) == "") { SendRefusal(r, q.GetCmd(), "rule-test needs PATTERN TYPE MESSAGE [OPTIONS]"); return 0; }
    string v = k.TestRule(Arg(1), k.CharToInt(Arg(2)), k.CharToInt(Arg(4)), Arg(3));
    if (v != "no match" && k.REeq(v, "^match", 0) == 0) { SendRefusal(r, q.GetCmd(), v); return 0; }
    SendText(r, v, q.GetCmd());
    return 0;
}
