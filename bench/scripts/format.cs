// Format with several conversions per call.
CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);
int main() {
    int total = 0;
    int i = 0;
    while (i < 300000) {
        string s = k.Format("%d-%s-%5.2f|%x", i, "ab", 1.5, i);
        total = total + k.StrLen(s);
        i++;
    }
    return total;
}
