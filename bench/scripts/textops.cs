// SubStr, Replace and Split on header-like lines.
CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);
int main() {
    string line = "Received: from mail.example.org (mail.example.org [192.0.2.7]), by mx.example.net";
    int total = 0;
    int i = 0;
    while (i < 100000) {
        total = total + k.StrLen(k.SubStr(line, 10, 20));
        total = total + k.StrLen(k.Replace(line, "example", "ex"));
        total = total + k.StrLen(k.Split(line, ',', 1));
        i++;
    }
    return total;
}
