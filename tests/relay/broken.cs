// Does not compile: the relay test expects it to be reported and skipped.
CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);
int OnHelo(string host, string word) { return undefined_function(host); }
