// 25 rule-set NAME FIELD=VALUE...: changes a rule of the kernel's table and saves it. FIELD is
// score, pattern, type, options or enabled (1 or 0); a changed pattern, type or options is
// compiled first and refused with the reason, as rule-add does. 501 for an unknown rule.
#include "lib.csh"
#import(class, CS_RulesDB)
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    CS_RulesDB rules = k.GetRulesDB();
    HashArray all = new HashArray();
    rules.ViewRules(all);
    string name = Arg(1);
    if (name == "" || all.KeyExists(name) == 0) { SendRefusal(r, q.GetCmd(), "there is no rule " + name); return 0; }
    string v = all.GetS(name);
    float score = k.CharToFloat(k.Split(v, 2, 0));
    int type = k.CharToInt(k.Split(v, 2, 1));
    int options = k.CharToInt(k.Split(v, 2, 2));
    string pattern = k.Split(v, 2, 3);
    int n = 2;
    while (Arg(n) != "") {
        string field = k.Split(Arg(n), 61, 0);
        string value = k.SubStr(Arg(n), k.StrLen(field) + 1, k.StrLen(Arg(n)));
        if (field == "score") score = k.CharToFloat(value);
        else if (field == "pattern") pattern = value;
        else if (field == "type") type = k.CharToInt(value);
        else if (field == "options") options = (options & 16) | k.CharToInt(value);
        else if (field == "enabled" && value == "1") options = options & 15;
        else if (field == "enabled" && value == "0") options = options | 16;
        else {
            SendRefusal(r, q.GetCmd(), "unknown change " + Arg(n) + " (score=, pattern=, type=, options=, enabled=1|0)");
            return 0;
        }
        n = n + 1;
    }
    string why = rules.CheckRule(pattern, type, options);
    if (why != "") { SendRefusal(r, q.GetCmd(), why); return 0; }
    rules.UpdateRule(name, pattern, type, score, options);
    rules.Save();
    k.WriteLog(1, "Admin " + k.GetClientIP() + " changed the rule " + name, 0);
    SendText(r, "ok", q.GetCmd());
    return 0;
}
