// Fails at run time in its first event: it is disabled, the other scripts go on.
CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);
int OnHelo(string host, string word) {
    int zero = 0;
    return 1 % zero;
}
