// Second of two scripts: hears the other's global variable, and ends the session when the MTA
// answers HELP (its OnReplyMTA result is OR-ed with the first script's 0).
CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);

int NotificationGlobalVariable(string name, string value) {
    k.Print("EVENT notify " + name + "=" + value + "\n");
    return 0;
}
int OnReplyMTA(string reply) { return k.REeq(reply, "^250 Supported", 1); }
