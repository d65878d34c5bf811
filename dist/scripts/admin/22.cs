// 22 held-learn ID spam|ham: teaches both Bayes filters a held message.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    int as = 0;
    if (Arg(2) == "spam") as = 1;
    if (Arg(2) == "ham") as = 2;
    if (as == 0) {
        SendRefusal(r, q.GetCmd(), "say spam or ham");
        return 0;
    }
    int learned = k.LearnHeld(Arg(1), as);
    if (learned < 0) {
        SendRefusal(r, q.GetCmd(), "not learned: no such held message, or nothing in it to learn");
        return 0;
    }
    if (learned == 0) SendText(r, "learned as " + Arg(2) + " already", q.GetCmd());
    else SendText(r, "learned as " + Arg(2), q.GetCmd());
    return 0;
}
