// 18 history [NAME=VALUE ...]: the message history, newest first. NAME is address, sender,
// recipient, reason (substrings), action (delivered, tagged, refused, greylisted, tempfail,
// held, no mail), from and to (seconds since 1970), start and count (default 0 and 50, at most
// 1000). from and to may also be local dates, YYYY-MM-DD[ HH:MM[:SS]]. The first row names the
// columns; each further row is one session.
#include "lib.csh"
int Main(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    HashArray filter = new HashArray();
    int start = 0;
    int count = 50;
    int n = 1;
    while (Arg(n) != "") {
        string name = k.Split(Arg(n), 61, 0);
        string value = k.SubStr(Arg(n), k.StrLen(name) + 1, k.StrLen(Arg(n)));
        if (k.REeq(name, "^(address|sender|recipient|reason|action|from|to)$", 0)) filter.AddValueS(name, value);
        else if (name == "start") start = k.CharToInt(value);
        else if (name == "count") count = k.CharToInt(value);
        else {
            SendRefusal(r, q.GetCmd(), "unknown filter " + name + " (address, sender, recipient, reason, action, from, to, start, count)");
            return 0;
        }
        n = n + 1;
    }
    HashArray rows = new HashArray();
    if (k.ViewHistory(filter, rows, start, count) < 0) {
        SendRefusal(r, q.GetCmd(), "from and to are seconds since 1970 or dates YYYY-MM-DD[ HH:MM[:SS]]");
        return 0;
    }
    SendRow(r, k.HistoryColumns());
    SendRows(r, rows);
    r.Send(q.GetCmd(), 0);
    return 0;
}
