// First of two scripts: connects, and shares the HELO host through a global variable.
CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);
k.RegisterGlobalVariable("helo_host");

int OnStartClientConnection(int id) { return k.ConnectToDefaultMTA() == 0; }
int OnHelo(string host, string word) {
    k.SetGlobalVariable("helo_host", host);
    return 0;
}
int OnReplyMTA(string reply) { return 0; }
