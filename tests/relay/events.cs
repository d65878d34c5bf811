// Prints every event with its arguments, rewrites nothing: the relay tests read its lines.
CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);

int Say(string text) {
    k.Print("EVENT " + text + "\n");
    return 0;
}

int OnStartClientConnection(int id) {
    Say("start " + k.GetClientIP() + " relay=" + k.ClientIsRelay());
    if (k.ConnectToDefaultMTA() == 0) {
        k.SendToClient("421 no MTA\r\n");
        k.CloseClientConnAfterSendingQueue();
    }
    return 0;
}
int OnHelo(string host, string word) { return Say("helo " + word + " " + host); }
int OnMailFrom(string address) { return Say("mailfrom <" + address + ">"); }
int OnRcptTo(string address) { return Say("rcptto <" + address + ">"); }
int OnRcptToError(string line) { return Say("rcpttoerror <" + line + ">"); }
int OnCommandNOOP() { return Say("noop"); }
int OnCommandRSET() { return Say("rset"); }
int OnCommandData(int hold) { return Say("data " + hold); }
int OnEmailMessagesToAnalyzer() {
    return Say("analyse len=" + k.GetEmailLen() + " subject=" + k.GetEmailSubject() + " dkim=" + k.DkimResults());
}
int OverWriteCommandError(int count) { return Say("error " + count); }
int OnAuthenticatedToMTA() { return Say("authenticated relay=" + k.ClientIsRelay()); }
int OnClientTimeOut() { return Say("timeout"); }
int OnDestroyThis() { return Say("end"); }
