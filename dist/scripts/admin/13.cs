// 13 rules: the rules of the kernel's table, NAME SCORE TYPE OPTIONS PATTERN ENABLED HITS HITS_24H
// rows (the hits: matches in live mail in all, and in the last 24 hours).
#include "lib.csh"
#import(class, CS_RulesDB)
int Main(CAdminRequest q, CAdminResponse r) {
    CS_RulesDB rules = k.GetRulesDB();
    HashArray h = new HashArray();
    rules.ViewRules(h);
    int i = 0;
    while (i < h.GetRecordCount()) {
        string v = h.GetByIndexS(i);
        r.Addnew();
        r.SetFieldAt(1, h.GetKeyByIndex(i));
        int f = 0;
        while (f < 4) { r.SetFieldAt(f + 2, k.Split(v, 2, f)); f = f + 1; }
        // Option bit 16 keeps a rule disabled.
        string enabled = "yes";
        if ((k.CharToInt(k.Split(v, 2, 2)) & 16) != 0) enabled = "no";
        r.SetFieldAt(6, enabled);
        string hits = rules.RuleHits(h.GetKeyByIndex(i));
        r.SetFieldAt(7, k.Split(hits, 9, 0));
        r.SetFieldAt(8, k.Split(hits, 9, 1));
        i = i + 1;
    }
    r.Send(q.GetCmd(), 0);
    return 0;
}
