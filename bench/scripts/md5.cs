// MD5 digests of short keys, as the tables' composite keys are made.
CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);
int main() {
    int total = 0;
    int i = 0;
    while (i < 100000) {
        string d = k.MD5("192.0.2.1\002sender@example.org\002rcpt" + i);
        total = total + k.HextoInt(k.SubStr(d, 0, 2));
        i++;
    }
    return total;
}
