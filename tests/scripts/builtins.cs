#import(class, HashArray)
CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);
int main() {
    HashArray h = new HashArray();
    h.AddValueS("b", "2");
    h.AddValueI("a", 1);
    k.Print(k.Format("%d-%s %5.2f|%q|", 7, "x", 3.14159) + "\n");
    k.Print(k.SubStr("abc", 1, 10) + " " + k.Split("a,b,,c", ',', 3) + " " + k.MD5("abc") + "\n");
    k.Print(k.URLEncode("a b/c") + " " + k.Encode64("foobar") + " " + k.DateTimeFormat("%Y", 86400) + "\n");
    if (k.REeq("Subject: hello world", "^subject: (\\w+) (\\w+)", 1)) k.Print(k.$2() + k.$1() + "\n");
    k.Print(h.GetKeyByIndex(0) + h.GetS("b") + GetMorvaneVersion() + "\n");
    k.Print("x=" + sqrt(16) + " r=" + rand(1));  // no line end: the result still gets its own line
    return h.GetRecordCount();
}
