// REeq over header lines, with captures.
CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);
int main() {
    string h[4] = { "Subject: cheap pills", "From: Someone <a@example.org>", "X-Mailer: thing", "subject: again" };
    int hits = 0;
    int i = 0;
    while (i < 200000) {
        if (k.REeq(h[i % 4], "^(subject|from): (.*)$", 1)) hits = hits + k.StrLen(k.$2());
        i++;
    }
    return hits;
}
