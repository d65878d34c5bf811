// Morvane's default antispam policy.
//
// The kernel raises these events for every client connection; this script decides what
// happens. It connects the client to the back-end MTA, watches the conversation, and reaches a
// verdict on each message before any of it reaches the MTA:
//
//   - a client that claims our own name in HELO is refused (or scored, see [HELO]);
//   - a recipient that is a spam trap ends the connection;
//   - an unknown sender/recipient/client triple is greylisted at DATA, unless the client is a
//     relay client, on the greylist white list, or the pair is auto-whitelisted;
//   - the block-list score of the client and the HELO checks add up to a total score:
//     from score_for_spam the subject is tagged (x_subject) and a header added
//     (x_morvane_spam); from score_for_spam_max_hit the message is refused (rfc554);
//   - the sender's SPF record is checked at MAIL FROM ([SPF] spf_enable): Fail refuses the
//     sender (spf_reject_fail) or adds spf_score_fail, SoftFail adds spf_score_softfail, Pass
//     adds spf_score_pass (usually 0 or negative); the result is one of the score's reasons;
//   - the held message is scored by the Bayes filter (trained with morvane-learn): a spam
//     probability p from [BAYES] bayes_spam_cutoff (0.9) up adds p_bayes_spam (6.1), one from
//     bayes_ham_cutoff (0.2) down adds p_bayes_ham (negative), and between them a share of it
//     in proportion to p's distance from 0.5; "bayes(0.97)" is one of the score's reasons, and
//     "bayes(untrained)" says the filter has not learned enough of both kinds to judge (it
//     then adds nothing). The message is quarantined under the filter's verdict (quarantine/
//     spam, ham, neutral for UNSURE, learn for UNTRAINED) so that an operator can sort it and
//     teach the filter from it (the GUI's message page, or morvane-learn);
//   - autolearning ([BAYES] bayes_autolearn=1, off by default): a message whose score without
//     the filter reaches bayes_autolearn_spam is learned as spam, one whose score is at most
//     bayes_autolearn_ham as ham; the filter never learns from its own verdict alone;
//   - the held message is checked against the rules of db/rules.db (compile them with
//     morvane-rules, e.g. rules/starter.rules; fit their scores with morvane-rules fit): the
//     scores of the matching rules and structural tests add up, and their names with their
//     points are one of the score's reasons ("rules(MIME_HTML_ONLY:1.20 ...)");
//   - a message that imitates a protected domain of db/phishing.db (IsPhishing) adds
//     [PHISHING] phishing_score, and the imitated domain is one of the score's reasons;
//   - once local domains exist (db/domain_local.db), a recipient outside them is refused
//     (rfc530) unless the client is a relay client: never an open relay;
//   - per-domain lists of the recipients' domains: a white-listed sender (address or domain,
//     table "wbip", data "1...") skips the content checks, a black-listed one ("0...") is
//     refused (rfc550); a spam lover (table "lover") gets spam tagged but never refused; a
//     domain's "perc_user_aggre" moves the total by that percentage of score_for_spam;
//   - mail sent by relay clients auto-whitelists its recipients, so their replies pass;
//   - a client (not a relay client) that sends more than [FIREWALL] cmd_noop NOOP commands is
//     told rfc421 and closed (a NOOP flood keeps a connection and the MTA busy for nothing);
//   - with cooperative-network servers ([COMMUNITY] server_0 and secret), the network is asked
//     about the client and sender at MAIL FROM and its verdict's score (cmy_softfail, cmy_fail,
//     cmy_hardfail) added; mail this policy refuses or tags as spam is announced to it;
//   - mail that came over STARTTLS says so in the score header: " tls(protocol cipher)";
//   - every message from a client that is not a relay client gets an Authentication-Results
//     field (SPF, each DKIM signature, DMARC; forged ones naming our authserv-id removed). A
//     DMARC fail whose policy is reject is refused at the end of DATA (550 5.7.1) when [DMARC]
//     enforce=1 (the default), else it adds p_dmarc_reject; quarantine adds
//     p_dmarc_quarantine (and the message is kept in the quarantine as every scored one is);
//     a DKIM pass aligned with the From domain adds p_dkim_aligned (negative). The verdict
//     is one of the score's reasons: " dmarc-fail(domain:policy)", " dkim-aligned(domain)".
//
// Every threshold is read from morvane.ini with GetConfig, so an operator tunes the policy
// there. Keys read here that the kernel itself does not use:
//   [GREYLIST] greylist_enable   0 turns greylisting off (default on)
//   [HEADER_MSG] score_header    0 leaves out the "X-Morvane-Score:" header (default on)
//   [BAYES] bayes_enable         0 turns the Bayes filter off (default on)
//   [BAYES] bayes_quarantine     0 keeps no quarantine copies (default on)
//   [BAYES] bayes_autolearn      1 turns autolearning on, with bayes_autolearn_spam and _ham
//   [RULES] rules_enable         0 turns the rules off (default on)
//   [PHISHING] phishing_enable   0 turns the phishing check off (default on)
//   [DMARC] dmarc_enable         0 leaves out the header and the DMARC and DKIM points (default on)
//   [DMARC] enforce              0 scores a DMARC reject instead of refusing the message
//   [DMARC] p_dmarc_reject, p_dmarc_quarantine, p_dkim_aligned   (5.0, 3.0, -1.0)
//   [QUARANTINE] hold_spam       1 holds mail past score_for_spam_max_hit for an operator
//                                (answered 250, kept whole in the held quarantine) instead of
//                                refusing it; a message larger than [QUARANTINE] max_bytes is
//                                refused as before (default 0)

#import(class, CS_RulesResult)

CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);
CS_RulesResult matched = new CS_RulesResult();

string client_ip = "";
string client_name = "";
string helo = "";
string mail_from = "";
string recipients = "";
int relay = 0;
int trusted = 0;
float score = 0.0;
string reasons = "";
int noops = 0;  // NOOP commands of this connection
// The SPF result of the current transaction: its points and its reason, counted in the total
// at the end of the message (a second MAIL FROM replaces them).
float spf_points = 0.0;
string spf_reason = "";
// The Bayes verdict on the current message, counted in its total.
float bayes_points = 0.0;
string bayes_reason = "";
// The rules' total on the current message and the names of the rules that matched.
float rules_points = 0.0;
string rules_reason = "";
// The phishing verdict on the current message.
float phishing_points = 0.0;
string phishing_reason = "";
// The cooperative network's verdict on the current transaction's client and sender.
float community_points = 0.0;
string community_reason = "";
int announced = 0;  // this transaction was reported to the network already
// The recipients' domains' verdict on the sender: 1 white, 0 black, -1 neither.
int listed = -1;
// Mail authentication of the current message: its points and reason, and a DMARC reject
// to enforce (the domain whose policy asks for it).
float auth_points = 0.0;
string auth_reason = "";
string dmarc_reject = "";

// A number from morvane.ini, or `def` when the key is missing.
float Setting(string section, string key, float def) {
    string v = k.GetConfig(section, key);
    if (v == "") return def;
    return k.CharToFloat(v);
}

// An [RFC] reply template with its "%s" replaced by `arg`, as a complete reply line. The
// template is the operator's text, so it is never used as a Format string.
string Reply(string key, string arg) {
    return k.Replace(k.GetConfig("RFC", key), "%s", arg) + "\r\n";
}

// The score header's note on how the client's mail came: over TLS, or nothing.
string TlsNote() {
    if (k.IsClientTLS() == 0) return "";
    return " tls(" + k.GetClientTLSInfo() + ")";
}

// Tells the cooperative network about spam from this client and sender (once per transaction;
// nothing without servers).
int Announce() {
    if (relay || announced || mail_from == "" || k.GetConfig("COMMUNITY", "server_0") == "") return 0;
    announced = 1;
    k.BrumaCommunityAnnunce(client_ip, mail_from, helo);
    return 0;
}

// Asks the cooperative network about this client and sender (nothing without servers).
int CheckCommunity(string address) {
    community_points = 0.0;
    community_reason = "";
    if (relay || k.GetConfig("COMMUNITY", "server_0") == "") return 0;
    community_points = k.BrumaCommunityQuery(client_ip, address, helo);
    if (community_points != 0.0)
        community_reason = " community-" + k.BrumaCommunityGetEnumStringFormScore(community_points);
    return 0;
}

// Answers the client ourselves and ends the connection once the answer is out.
int Refuse(string reply, string why) {
    k.DropBufferToMTA();
    k.SendToClient(reply);
    k.CloseClientConnAfterSendingQueue();
    k.WriteLog(1, "refused " + client_ip + ": " + why, "SCRIPT");
    k.HistoryNote(why);
    k.StatisticValue("f5_refused", 5, 0, 1.0, 1);  // the dashboard's "refused"
    Announce();
    return 0;
}

int AddScore(float points, string why) {
    score = score + points;
    reasons = reasons + " " + why;
    return 0;
}

int OnStartClientConnection(int id) {
    listed = -1;
    client_ip = k.GetClientIP();
    client_name = k.GetClientReverseDns();
    relay = k.ClientIsRelay();
    helo = "";
    mail_from = "";
    recipients = "";
    trusted = 0;
    score = 0.0;
    reasons = "";
    noops = 0;
    spf_points = 0.0;
    spf_reason = "";
    k.RegisterSessionIp(client_ip);
    if (k.ConnectToDefaultMTA() == 0) {
        Refuse(Reply("rfc421", k.GetConfig("CONFIG", "myname")), "no MTA answers");
        return 0;
    }
    if (relay == 0) {
        if (k.IsIpWhiteList(client_ip) == 0) {
            float bl = k.DNSBL_Score(client_ip);
            if (bl > 0.0) AddScore(bl, "dnsbl(" + k.DNSBL_Ns(client_ip) + ")");
        }
    }
    return 0;
}

int OnAuthenticatedToMTA() {
    relay = 1;
    return 0;
}

int OnHelo(string host, string word) {
    helo = host;
    if (relay) return 0;
    if (k.IsForgetHelo(host)) {
        if (Setting("HELO", "helo_forget_reject", 1.0) != 0.0) {
            Refuse(Reply("rfc554", "HELO " + host + " is ours, not yours"), "forged HELO " + host);
            return 0;
        }
        AddScore(Setting("HELO", "p_helo_forget", 10.0), "helo-forged");
        return 0;
    }
    // An address instead of a name: a dotted quad, or RFC 5321's IPv6 literal.
    if (k.REeq(host, "^\\[?\\d+\\.\\d+\\.\\d+\\.\\d+\\]?$", 0) || k.REeq(host, "^\\[IPv6:[0-9a-f:.]+\\]$", 1)) {
        AddScore(Setting("HELO", "helo_ip", 2.5), "helo-ip");
        return 0;
    }
    if (k.REeq(host, "\\.", 0) == 0) AddScore(Setting("HELO", "helo_rfc", 5.0), "helo-not-fqdn");
    return 0;
}

int OnCommandNOOP() {
    if (relay) return 0;
    noops = noops + 1;
    if (noops > Setting("FIREWALL", "cmd_noop", 3.0))
        Refuse(Reply("rfc421", k.GetConfig("CONFIG", "myname")), k.Format("%d NOOP commands", noops));
    return 0;
}

// The sender domain's SPF verdict on this client: 1 when the sender was refused.
int CheckSpf(string address) {
    spf_points = 0.0;
    spf_reason = "";
    if (relay || Setting("SPF", "spf_enable", 1.0) == 0.0) return 0;
    int r = k.SPFQuery(client_ip, address, helo);
    if (r == 2 && Setting("SPF", "spf_reject_fail", 1.0) != 0.0) {
        Refuse(Reply("rfc554", "SPF check failed for " + address), "spf fail " + address);
        return 1;
    }
    if (r == 2) spf_points = Setting("SPF", "spf_score_fail", 5.0);
    if (r == 1) spf_points = Setting("SPF", "spf_score_softfail", 4.9);
    if (r == 0) spf_points = Setting("SPF", "spf_score_pass", 0.0);
    spf_reason = " spf-" + k.SPFResultString(r);
    return 0;
}

int OnMailFrom(string address) {
    mail_from = address;
    recipients = "";
    trusted = 0;
    announced = 0;
    if (CheckSpf(address)) return 0;
    CheckCommunity(address);
    return 0;
}

int OnRcptTo(string address) {
    if (relay == 0 && k.GetLocalDomainCount() > 0 && k.IsLocalDomainByRCPT_TO(address) < 0) {
        k.DropBufferToMTA();
        k.SendToClient(Reply("rfc530", ""));
        k.WriteLog(2, "relaying refused for " + client_ip + " to " + address, "SCRIPT");
        return 0;
    }
    if (relay == 0) {
        if (k.IsSpamTrap(address)) {
            Refuse(k.GetSpamTrapResponse(), "spam trap " + address);
            return 0;
        }
        if (k.IsALWL(mail_from, address)) trusted = 1;
    }
    if (recipients == "") recipients = address;
    else recipients = recipients + " " + address;
    return 0;
}

int OnCommandData(int hold) {
    if (relay) return 0;
    // To hold spam instead of refusing it, the whole message must stay here until its end.
    if (Setting("QUARANTINE", "hold_spam", 0.0) != 0.0) k.HoldWholeMessage(0);
    // A client already past the refusal score is not worth greylisting (held spam is judged
    // at its end).
    if (score + spf_points + community_points >= Setting("CONFIG", "score_for_spam_max_hit", 20.0) &&
        Setting("QUARANTINE", "hold_spam", 0.0) == 0.0) {
        Refuse(Reply("rfc554", "Message refused as spam"),
               k.Format("score %.2f%s%s%s", score + spf_points + community_points, reasons, spf_reason, community_reason));
        return 0;
    }
    if (trusted) return 0;
    if (k.GetConfig("GREYLIST", "greylist_enable") == "0") return 0;
    if (k.IsWhiteIpGreyList(client_ip)) return 0;
    string key = k.PrepareTriplesGreyList(recipients, client_ip, mail_from, "<>", client_name);
    if (key == "") return 0;
    if (k.PassGreyList(key)) return 0;
    k.AddToGreyList(key);
    k.DropBufferToMTA();
    k.SendToClient(Reply("rfc451", ""));
    k.WriteLog(2, "greylisted " + client_ip + " " + mail_from + " -> " + recipients, "SCRIPT");
    return 0;
}

// Autolearning on the evidence other than the filter's own ([BAYES] bayes_autolearn).
int Autolearn(float other) {
    if (Setting("BAYES", "bayes_autolearn", 0.0) == 0.0 || Setting("BAYES", "bayes_enable", 1.0) == 0.0) return 0;
    if (other >= Setting("BAYES", "bayes_autolearn_spam", 10.0)) {
        if (k.BayesFilterLearn(1)) k.WriteLog(2, k.Format("autolearned as spam (score %.2f without the filter)", other), "SCRIPT");
    } else if (other <= Setting("BAYES", "bayes_autolearn_ham", -2.0)) {
        if (k.BayesFilterLearn(2)) k.WriteLog(2, k.Format("autolearned as ham (score %.2f without the filter)", other), "SCRIPT");
    }
    return 0;
}

int CheckRules() {
    rules_points = 0.0;
    rules_reason = "";
    if (Setting("RULES", "rules_enable", 1.0) == 0.0) return 0;
    rules_points = k.RegularExpressionCheck(0, matched);
    int n = matched.GetRulesCount();
    if (n == 0) return 0;
    // Each rule or test that matched, with the points it added.
    string names = "";
    int i = 0;
    while (i < n) {
        if (i > 0) names = names + " ";
        names = names + k.Format("%s:%.2f", matched.GetRulesName(i), matched.GetRulesScore(i));
        i = i + 1;
    }
    rules_reason = " rules(" + names + ")";
    return 0;
}

// DMARC and DKIM of the held message, and its Authentication-Results field.
int CheckAuthentication() {
    auth_points = 0.0;
    auth_reason = "";
    dmarc_reject = "";
    if (Setting("DMARC", "dmarc_enable", 1.0) == 0.0) return 0;
    k.AddAuthenticationResults();
    string verdict = k.DmarcResult();
    string result = k.Split(verdict, 32, 0);
    string policy = k.Split(verdict, 32, 1);
    string domain = k.Split(verdict, 32, 2);
    string aligned = k.Split(verdict, 32, 3);
    if (result == "fail") {
        auth_reason = " dmarc-fail(" + domain + ":" + policy + ")";
        if (policy == "reject" && Setting("DMARC", "enforce", 1.0) != 0.0) dmarc_reject = domain;
        else if (policy == "reject") auth_points = Setting("DMARC", "p_dmarc_reject", 5.0);
        else if (policy == "quarantine") auth_points = Setting("DMARC", "p_dmarc_quarantine", 3.0);
    } else if (aligned == "dkim" || aligned == "dkim+spf") {
        auth_points = Setting("DMARC", "p_dkim_aligned", -1.0);
        auth_reason = " dkim-aligned(" + domain + ")";
    }
    return 0;
}

int OnEmailMessagesToAnalyzer() {
    auth_points = 0.0;
    auth_reason = "";
    dmarc_reject = "";
    bayes_points = 0.0;
    bayes_reason = "";
    rules_points = 0.0;
    rules_reason = "";
    phishing_points = 0.0;
    phishing_reason = "";
    if (relay) return 0;
    CheckAuthentication();
    listed = k.IsWhiteBlackList(recipients, mail_from);
    if (listed == 1) return 0;  // white-listed by a recipient's domain: no content checks
    CheckRules();
    if (Setting("PHISHING", "phishing_enable", 1.0) != 0.0 && k.IsPhishing(0)) {
        phishing_points = Setting("PHISHING", "phishing_score", 10.0);
        phishing_reason = " phishing(" + k.GetFakePhishingDomain() + ")";
    }
    if (Setting("BAYES", "bayes_enable", 1.0) == 0.0) return 0;
    float p = k.BayesFilterScore("");
    int verdict = k.BayesFilterVerdict();
    if (p < 0.0) {
        bayes_reason = " bayes(untrained)";
    } else {
        // Full points at the verdicts' cut-offs, in proportion between them and 0.5.
        bayes_points = k.BayesFilterPoints(p);
        bayes_reason = k.Format(" bayes(%.2f)", p);
    }
    if (Setting("BAYES", "bayes_quarantine", 1.0) != 0.0)
        k.AddToBayesianQuarantine(client_ip + " " + mail_from, recipients, verdict);
    return 0;
}

int OnDoneAntispamFilter() {
    if (relay) {
        k.AddALWL(mail_from, recipients);
        k.StatisticValue("f5_passed", 5, 0, 1.0, 1);
        return 0;
    }
    if (listed == 0) {
        Refuse(Reply("rfc550", "sender refused by the recipient's domain"), "black-listed " + mail_from);
        return 0;
    }
    // The sender's domain asked for its unauthenticated mail to be refused; a recipient's white
    // list still wins.
    if (dmarc_reject != "" && listed != 1) {
        Refuse("550 5.7.1 Message refused: it fails the DMARC policy of " + dmarc_reject + "\r\n",
               "dmarc reject " + dmarc_reject);
        return 0;
    }
    float total = score + spf_points + auth_points + bayes_points + rules_points + phishing_points + community_points;
    string why = reasons + spf_reason + auth_reason + bayes_reason + rules_reason + phishing_reason + community_reason;
    if (listed == 1) why = why + " white-listed";
    if (trusted) total = total + Setting("ALWL", "alwl_score", -10.0);
    Autolearn(total - bayes_points);
    total = k.RecalculatingScoreByUser(total, Setting("CONFIG", "score_for_spam", 5.0), recipients);
    if (total >= Setting("CONFIG", "score_for_spam_max_hit", 20.0) && k.IsSpamLover(recipients) == 0) {
        if (k.GetConfig("HEADER_MSG", "score_header") != "0")
            k.WriteHeaderMessage(k.Format("X-Morvane-Score: %.2f%s%s", total, why, TlsNote()));
        // Held for an operator instead of refused, when asked and the whole message is here.
        // (Two ifs: both sides of && are evaluated, and HoldMessage acts.)
        if (Setting("QUARANTINE", "hold_spam", 0.0) != 0.0) {
            if (k.HoldMessage()) {
                k.HistoryNote(k.Format("held: score %.2f%s", total, why));
                k.StatisticValue("f5_held", 5, 0, 1.0, 1);
                return 0;
            }
        }
        Refuse(Reply("rfc554", "Message refused as spam"), k.Format("score %.2f%s", total, why));
        return 0;
    }
    if (k.GetConfig("HEADER_MSG", "score_header") != "0")
        k.WriteHeaderMessage(k.Format("X-Morvane-Score: %.2f%s%s", total, why, TlsNote()));
    if (total >= Setting("CONFIG", "score_for_spam", 5.0)) {
        k.ModifyHeaderSubject(k.GetConfig("HEADER_MSG", "x_subject"));
        k.WriteHeaderMessage(k.GetConfig("HEADER_MSG", "x_morvane_spam"));
        k.StatisticValue("f5_spam_tagged", 5, 0, 1.0, 1);
        Announce();
    }
    // Handed on to the MTA (the dashboard's "delivered").
    k.StatisticValue("f5_passed", 5, 0, 1.0, 1);
    return 0;
}
