// Helpers of the shipped admin command scripts (included, never run as a command).
#import(class, HashArray)

CS_ADMIN_SCRIPT k = new CS_ADMIN_SCRIPT($_this);
HashArray args = new HashArray();

// Reads the request's first row into args: args.GetS("c1"), "c2", ...
void ReadArgs(CAdminRequest q) {
    args.Reset();
    if (q.GetRecordCount() > 0) args.Merge(q.GetRow());
}

string Arg(int n) {
    return args.GetS(k.Format("c%d", n));
}

// Answers the pairs of h as rows KEY, VALUE.
void SendPairs(CAdminResponse r, HashArray h, int cmd) {
    int i = 0;
    while (i < h.GetRecordCount()) {
        r.Addnew();
        r.SetFieldAt(1, h.GetKeyByIndex(i));
        r.SetFieldAt(2, h.GetByIndexS(i));
        i = i + 1;
    }
    r.Send(cmd, 0);
}

// Answers one row with one cell.
void SendText(CAdminResponse r, string text, int cmd) {
    r.Addnew();
    r.SetFieldAt(1, text);
    r.Send(cmd, 0);
}

// Answers an error code (501: bad arguments) with the short form.
void SendError(CAdminResponse r, int cmd, int code) {
    r.Send(cmd, code);
}

// Answers 501 with the reason, which morvanectl prints (older clients see the code alone).
void SendRefusal(CAdminResponse r, int cmd, string reason) {
    r.SetErrorText(reason);
    r.Send(cmd, 501);
}

// The paged list commands' arguments COUNT START FILTER (after ReadArgs): 1 when the filter is a
// pattern, else 0 with the refusal sent; `page_count` and `page_start` hold the page.
int page_count = 100;
int page_start = 0;
int PageArgs(CAdminRequest q, CAdminResponse r) {
    ReadArgs(q);
    string why = k.FilterError(Arg(3));
    if (why != "") { SendRefusal(r, q.GetCmd(), why); return 0; }
    page_count = 100;
    if (Arg(1) != "") page_count = k.CharToInt(Arg(1));
    page_start = k.CharToInt(Arg(2));
    return 1;
}

// Adds one row whose cells are the tab-separated fields of `row`.
void SendRow(CAdminResponse r, string row) {
    r.Addnew();
    int fields = k.StrLen(row) - k.StrLen(k.Replace(row, "\t", "")) + 1;
    int i = 0;
    while (i < fields) {
        r.SetFieldAt(i + 1, k.Split(row, 9, i));
        i = i + 1;
    }
}

// Adds a row for each value of `rows` (tab-separated cells), in key order.
void SendRows(CAdminResponse r, HashArray rows) {
    int i = 0;
    while (i < rows.GetRecordCount()) {
        SendRow(r, rows.GetByIndexS(i));
        i = i + 1;
    }
}
