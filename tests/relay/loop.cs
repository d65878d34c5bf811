// Loops for ever in its HELO event: a stopping kernel must still end the session.
CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);
int OnStartClientConnection(int id) { return k.ConnectToDefaultMTA() == 0; }
int OnHelo(string host, string word) {
    int i = 0;
    while (1) i++;
    return i;
}
