#include "core/LauchAntispam.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/AntispamScript.h"
#include "core/MorvaneCore.h"
#include "core/SessionProbe.h"
#include "platform/TestTempDir.h"

namespace core {
namespace {

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

// A session on a core of its own, with the given core script; no listener, no network.
class SessionTest : public ::testing::Test {
protected:
    void Start(const std::string& script, int recv_size = 64) {
        std::filesystem::create_directories(dir_.Path() / "scripts");
        WriteFile(dir_.File("scripts/core.cs"), "CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);\n" + script);
        config_.listen_port = "";
        if (!core_) core_ = std::make_unique<CMorvaneCore>(config_, dir_.Path().string());
        session_ = std::make_unique<CLauchAntispam>(*core_, false);
        auto settings = std::make_shared<SessionSettings>();
        settings->recv_size = recv_size;
        settings->error_max = 3;
        settings->scripts = {common::String("1|core.cs")};
        settings->script_dir = dir_.File("scripts/");
        settings_ = settings;
        probe_ = std::make_unique<SessionProbe>(*session_, settings);
        probe_->Mta("220 mta ready\r\n");
    }
    // Ends the session; the core stays for the next Start.
    void TearDown() override {
        probe_.reset();
        session_.reset();
    }
    // One command and the MTA's answer; what went to the MTA for it.
    std::string Command(const std::string& line, const std::string& reply) {
        probe_->to_mta.clear();
        probe_->Client(line);
        std::string sent = probe_->to_mta;
        if (!reply.empty()) probe_->Mta(reply);
        return sent;
    }

    platform::TestTempDir dir_;
    config::CKernelConfig config_{""};
    std::unique_ptr<CMorvaneCore> core_;
    std::unique_ptr<CLauchAntispam> session_;
    std::unique_ptr<SessionProbe> probe_;
    std::shared_ptr<const SessionSettings> settings_;
};

constexpr const char* kPass = "int OnHelo(string h, string w) { return 0; }\n";

TEST_F(SessionTest, MessageReachesTheMtaUnchangedWhereverTheReadsSplitIt) {
    const std::string wire =
        "Subject: split\r\n\r\n..leading dot\r\n...\r\n" + std::string(300, 'x') + "\r\n..\r\nlast\r\n.\r\n";
    for (size_t cut = 1; cut < wire.size(); ++cut) {
        Start(kPass, 4096);
        Command("EHLO a.test\r\n", "250 ok\r\n");
        Command("MAIL FROM:<a@a.test>\r\n", "250 ok\r\n");
        Command("RCPT TO:<b@b.test>\r\n", "250 ok\r\n");
        EXPECT_EQ(Command("DATA\r\n", "354 go\r\n"), "DATA\r\n");
        probe_->to_mta.clear();
        probe_->Client(wire.substr(0, cut));
        probe_->Client(wire.substr(cut) + "QUIT\r\n");
        ASSERT_EQ(probe_->to_mta, wire) << "cut at " << cut;
        EXPECT_EQ(probe_->Mode(), CLauchAntispam::kCommand);
        EXPECT_EQ(probe_->Pending(), "QUIT\r\n") << "the next command waits for the MTA's answer";
        probe_->Mta("250 queued\r\n");
        EXPECT_EQ(probe_->to_mta, wire + "QUIT\r\n");
        TearDown();
    }
}

TEST_F(SessionTest, MessageWaitsForTheMtaToAcceptDataAndIsDroppedWhenItRefuses) {
    Start(kPass);
    Command("MAIL FROM:<a@a.test>\r\n", "250 ok\r\n");
    // A client that does not wait for 354 sends everything at once.
    probe_->to_mta.clear();
    probe_->Client("DATA\r\nSubject: early\r\n\r\nbody\r\n");
    EXPECT_EQ(probe_->to_mta, "DATA\r\n") << "no message byte before the MTA accepted DATA";
    probe_->Mta("554 no valid recipients\r\n");
    EXPECT_EQ(probe_->Mode(), CLauchAntispam::kCommand);
    probe_->Client("more body\r\n.\r\nNOOP\r\n");
    EXPECT_EQ(probe_->to_mta, "DATA\r\nNOOP\r\n") << "the rest of the message is not taken as commands";
    EXPECT_EQ(probe_->to_client.find("554 no valid recipients\r\n") != std::string::npos, true);
}

// The known smuggling sequences end nothing: the message goes on with them as stuffed lines,
// and the commands after them reach the MTA as message data, as the proxy saw them.
TEST_F(SessionTest, SmugglingSequencesStayMessageDataForTheMtaToo) {
    const std::string smuggled = "MAIL FROM:<evil@x.test>\r\nRCPT TO:<victim@y.test>\r\nDATA\r\nforged\r\n";
    for (const std::string seq : {"\n.\n", "\r.\r", "\r\n.\n", "\n.\r\n", "\r.\r\n"}) {
        Start(kPass);
        Command("MAIL FROM:<a@a.test>\r\n", "250 ok\r\n");
        Command("DATA\r\n", "354 go\r\n");
        probe_->to_mta.clear();
        probe_->Client("Subject: s\r\n\r\nbody" + seq + smuggled + ".\r\nQUIT\r\n");
        EXPECT_EQ(probe_->to_mta, "Subject: s\r\n\r\nbody\r\n..\r\n" + smuggled + ".\r\n");
        EXPECT_EQ(probe_->Pending(), "QUIT\r\n");
        TearDown();
    }
}

TEST_F(SessionTest, CommandLinesTheMtaCouldReadOtherwiseAreRefused) {
    Start(kPass);
    EXPECT_EQ(Command(std::string("EHLO a\0b.example.org\r\n", 23), ""), "");
    EXPECT_EQ(Command("MAIL FROM:<a@a.test>\rRCPT TO:<b@b.test>\r\n", ""), "");
    EXPECT_EQ(probe_->to_client, "220 mta ready\r\n500 5.5.2 Syntax error\r\n500 5.5.2 Syntax error\r\n");
    EXPECT_EQ(probe_->Errors(), 2) << "counted as the MTA's 500 replies are";
    EXPECT_EQ(Command("EHLO a.test\n", "250 ok\r\n"), "EHLO a.test\r\n") << "a bare LF ends a line, sent as CR LF";
    probe_->to_client.clear();
    EXPECT_EQ(Command("BDAT +11\r\n", ""), "") << "no BDAT an MTA could read its own way is passed on";
    EXPECT_EQ(probe_->to_client, "501 5.5.4 Syntax: BDAT size [LAST]\r\n");
    // An MTA that takes for DATA a line the relay did not would read the next lines as a
    // message no policy saw: its connection is closed.
    probe_->to_client.clear();
    EXPECT_EQ(Command("\tDATA\r\n", "354 go ahead\r\n"), "\tDATA\r\n");
    EXPECT_EQ(probe_->to_client, "421 4.3.0 Protocol error at the mail server, closing connection\r\n");
    EXPECT_FALSE(probe_->MtaOpen());
    EXPECT_TRUE(probe_->Ended());
}

TEST_F(SessionTest, StartTlsIsNeitherOfferedNorRelayed) {
    Start(kPass);
    Command("EHLO a.test\r\n", "250-mta\r\n250-STARTTLS\r\n250-PIPELINING\r\n250 chunking\r\n");
    EXPECT_EQ(probe_->to_client, "220 mta ready\r\n250-mta\r\n250 PIPELINING\r\n");
    probe_->to_client.clear();
    EXPECT_EQ(Command("STARTTLS\r\n", ""), "");
    EXPECT_EQ(probe_->to_client, "454 4.7.0 TLS not available\r\n");
    EXPECT_EQ(Command("NOOP\r\n", "250 ok\r\n"), "NOOP\r\n") << "the session goes on in the clear";
}

// A client's BDAT chunks go to the MTA as one DATA transaction: dot-stuffed, line ends
// normalised, the policy's header line in the header, replies mapped back.
TEST_F(SessionTest, BdatChunksGoToTheMtaAsOneDataTransaction) {
    Start("int OnDoneAntispamFilter() { k.WriteHeaderMessage(\"X-A: 1\"); return 0; }\n");
    Command("MAIL FROM:<a@a.test>\r\n", "250 ok\r\n");
    probe_->to_mta.clear();
    probe_->to_client.clear();
    // Pipelined chunks, a CR LF split between them, a line that is a lone dot, a bare LF.
    probe_->Client("BDAT 11\r\nSubject: a\rBDAT 15 LAST\r\n\n\r\n.\r\n.x\nno end");
    probe_->Client("NOOP\r\n");
    EXPECT_EQ(probe_->to_mta, "DATA\r\n") << "no message byte before the MTA accepted DATA";
    probe_->Mta("354 go\r\n");
    EXPECT_EQ(probe_->to_client, "250 2.0.0 11 octets received\r\n") << "354 is not the chunk's reply";
    EXPECT_EQ(probe_->to_mta, "DATA\r\nSubject: a\r\nX-A: 1\r\n\r\n..\r\n..x\r\nno end\r\n.\r\n");
    probe_->Mta("250 queued\r\n");
    EXPECT_EQ(probe_->to_client, "250 2.0.0 11 octets received\r\n250 queued\r\n");
    EXPECT_EQ(probe_->to_mta, "DATA\r\nSubject: a\r\nX-A: 1\r\n\r\n..\r\n..x\r\nno end\r\n.\r\nNOOP\r\n");
    EXPECT_EQ(probe_->Mode(), CLauchAntispam::kCommand);
}

TEST_F(SessionTest, RefusedBdatChunksAreReadAndDroppedNeverTakenAsCommands) {
    // The MTA refuses the transaction: the chunk gets its reply, the later chunk a local 503.
    Start(kPass);
    probe_->Client("BDAT 22\r\nMAIL FROM:<e@x.test>\r\nBDAT 12 LAST\r\nRSET\r\nRSET\r\nNOOP\r\n");
    probe_->Mta("554 no valid recipients\r\n");
    EXPECT_EQ(probe_->to_client,
              "220 mta ready\r\n554 no valid recipients\r\n503 5.5.1 Earlier chunk failed, send RSET\r\n");
    EXPECT_EQ(probe_->to_mta, "DATA\r\nNOOP\r\n");
    TearDown();
    // The policy refuses the transaction itself (greylisting): the declared bytes are dropped.
    Start("int OnCommandData(int hold) { k.DropBufferToMTA(); k.SendToClient(\"451 later\\r\\n\"); return 0; }\n");
    EXPECT_EQ(Command("BDAT 26 LAST\r\nRCPT TO:<b@b.test>\r\nDATA\r\nNOOP\r\n", "250 ok\r\n"), "NOOP\r\n");
    EXPECT_EQ(probe_->HoldLimit(), CLauchAntispam::kHoldLimit);
    TearDown();
    // A command between chunks: NOOP is answered; anything else cannot reach an MTA that reads
    // message data, so the MTA connection closes (nothing is delivered) and the session ends.
    Start(kPass);
    probe_->Client("BDAT 3\r\nabc");
    probe_->Mta("354 go\r\n");
    probe_->to_client.clear();
    EXPECT_EQ(Command("NOOP\r\n", ""), "");
    EXPECT_EQ(probe_->to_client, "250 2.0.0 OK\r\n");
    EXPECT_EQ(Command("RSET\r\n", ""), "");
    EXPECT_EQ(probe_->to_client, "250 2.0.0 OK\r\n421 4.3.0 BDAT transaction aborted, closing connection\r\n");
    EXPECT_TRUE(probe_->Ended());
    EXPECT_FALSE(probe_->MtaOpen());
}

TEST_F(SessionTest, NextCommandWaitsForTheLastLineOfAReply) {
    Start(kPass);
    probe_->Client("EHLO a.test\r\nNOOP\r\n");
    probe_->Mta("250-mta\r\n250-PIPE");
    EXPECT_EQ(probe_->to_mta, "EHLO a.test\r\n");
    probe_->Mta("LINING\r\n250 HELP\r\n");
    EXPECT_EQ(probe_->to_mta, "EHLO a.test\r\nNOOP\r\n");
    EXPECT_EQ(probe_->to_client, "220 mta ready\r\n250-mta\r\n250-PIPELINING\r\n250 HELP\r\n");
}

TEST_F(SessionTest, ScriptEditsTheEhloReply) {
    Start(
        "int OnHelo(string h, string w) { k.InjectionExtensionMTA(\"250-X-MORVANE\\r\\n\");"
        " k.DropExtensionMTA(\"250-pipelining\\r\"); return 0; }\n");
    Command("EHLO a.test\r\n", "250-mta\r\n250-PIPELINING\r\n250 HELP\r\n");
    EXPECT_EQ(probe_->to_client, "220 mta ready\r\n250-mta\r\n250-X-MORVANE\r\n250 HELP\r\n");
}

TEST_F(SessionTest, ErrorRepliesEndTheSessionPastTheLimitAndAuthenticationMakesRelay) {
    Start(kPass);
    Command("XX\r\n", "500 what\r\n");
    Command("RCPT TO:<x@y.test>\r\n", "550 unknown user\r\n");  // not counted
    Command("XX\r\n", "502 no\r\n");
    Command("XX\r\n", "500 what\r\n");
    EXPECT_EQ(probe_->Errors(), 3);
    EXPECT_FALSE(probe_->Ended());
    Command("AUTH PLAIN abc\r\n", "235 2.7.0 ok\r\n");
    EXPECT_TRUE(probe_->Relay());
    Command("XX\r\n", "500 what\r\n");
    EXPECT_TRUE(probe_->Ended());
}

TEST_F(SessionTest, LineWithoutEndIsRefusedAndCommandsPauseTheReader) {
    Start(kPass);
    std::string line(CLauchAntispam::kMaxLine + 200, 'a');
    probe_->Client(line);
    EXPECT_TRUE(probe_->Ended());
    TearDown();
    Start(kPass);
    // A flood of pipelined commands is read only as fast as they are answered.
    std::string flood;
    while (flood.size() < 3 * CLauchAntispam::kMaxLine) flood += "NOOP\r\n";
    size_t taken = probe_->Client(flood);
    EXPECT_LT(taken, flood.size());
    EXPECT_LE(probe_->Pending().size(), CLauchAntispam::kMaxLine + probe_->RecvSize());
    EXPECT_FALSE(probe_->Ended());
}

TEST_F(SessionTest, LargeMessageIsAnalysedAtTheHoldLimitAndRewritten) {
    Start(
        "int OnDoneAntispamFilter() { k.ModifyHeaderSubject(\"[T]\"); k.WriteHeaderMessage(\"X-A: 1\");"
        " if (k.GetEmailLen() != 30720) k.SendToClient(\"bad length\\r\\n\"); return 0; }\n",
        4096);
    Command("DATA\r\n", "354 go\r\n");
    std::string body;
    while (body.size() < 100000) body += "line of the body\r\n";
    const std::string wire = "Subject: big\r\n\r\n" + body + ".\r\n";
    probe_->Client(wire);
    EXPECT_EQ(probe_->to_mta, "DATA\r\nSubject: [T] big\r\nX-A: 1\r\n\r\n" + body + ".\r\n");
    EXPECT_EQ(probe_->to_client.find("bad length"), std::string::npos);
}

// The header line goes into the header even when its end is not held, and no rewrite reaches
// the body once the header has gone to the MTA.
TEST_F(SessionTest, HeaderRewritesNeverCorruptTheMessage) {
    Start(
        "int OnDoneAntispamFilter() { k.WriteHeaderMessage(\"X-A: 1\"); k.ModifyHeaderSubject(\"[T]\"); return 0; }\n"
        "int OnAllDataMessage(string d, int end) { k.WriteHeaderMessage(\"X-P: 1\"); return 0; }\n",
        4096);
    Command("DATA\r\n", "354 go\r\n");
    std::string header;
    for (int i = 0; header.size() < 40000; ++i) header += "Received: from hop" + std::to_string(i) + "\r\n";
    std::string body;
    while (body.size() < 60000) body += "Subject: not this one\r\n\r\n";
    probe_->Client(header + "Subject: late\r\n\r\n" + body + ".\r\n");
    const std::string& got = probe_->to_mta;
    const size_t blank = got.find("\r\n\r\n");
    ASSERT_NE(blank, std::string::npos);
    EXPECT_EQ(got.substr(blank + 4), body + ".\r\n") << "the body is untouched";
    EXPECT_EQ(got.substr(got.find(header), header.size()), header);
    EXPECT_EQ(got.compare(0, 14, "DATA\r\nX-A: 1\r\n"), 0) << "the line went to the top of the header";
    EXPECT_NE(got.find("\r\nSubject: late\r\n"), std::string::npos) << "a Subject line not held is not touched";
    EXPECT_EQ(got.find("[T]"), std::string::npos);
}

TEST_F(SessionTest, RejectedMessageIsDroppedAndTheMtaNeverGetsItsEnd) {
    const std::string reject =
        "int OnDoneAntispamFilter() { k.DropBufferToMTA(); k.SendToClient(\"554 spam\\r\\n\"); return 0; }\n";
    Start(reject, 4096);
    Command("DATA\r\n", "354 go\r\n");
    std::string body;
    while (body.size() < 50000) body += "spam spam spam\r\n";
    probe_->Client("Subject: x\r\n\r\n" + body + ".\r\nNOOP\r\nMAIL FROM:<x@y.test>\r\n");
    // The MTA reads message data: no byte of the rejected message and no later command may reach
    // it; its connection closes and the session ends once the client has the answer.
    EXPECT_EQ(probe_->to_mta, "DATA\r\n");
    EXPECT_NE(probe_->to_client.find("554 spam\r\n"), std::string::npos);
    EXPECT_TRUE(probe_->Ended());
    EXPECT_FALSE(probe_->MtaOpen());
    TearDown();
    // Rejected before DATA went to the MTA (the client did not wait for 354): the session goes on.
    Start(reject);
    probe_->Client("DATA\r\nSubject: x\r\n\r\nspam\r\n.\r\nNOOP\r\n");
    EXPECT_EQ(probe_->to_mta, "NOOP\r\n");
    EXPECT_FALSE(probe_->Ended());
}

// Without caching a script is compiled once per session and each connection gets a fresh
// instance of it; an edited file is compiled again; a failure is reported once.
TEST_F(SessionTest, ScriptsCompileOnceAndStartAfreshForEachConnection) {
    const std::string counting =
        "int connections = 0;\nconnections = connections + 1;\n"
        "int OnHelo(string h, string w) { k.SendToClient(\"250 seen \" + connections + \"\\r\\n\"); "
        "k.DropBufferToMTA(); return 0; }\n";
    Start(counting);
    script::Interpreter* first = session_->Scripts()->Scripts()[0]->in.get();
    for (int connection = 0; connection < 3; ++connection) {
        if (connection > 0) {
            probe_.reset();
            probe_ = std::make_unique<SessionProbe>(*session_, settings_);
            probe_->Mta("220 mta ready\r\n");
        }
        probe_->to_client.clear();
        Command("EHLO a.test\r\n", "");
        EXPECT_EQ(probe_->to_client, "250 seen 1\r\n") << "connection " << connection << ": its own globals";
        EXPECT_EQ(session_->Scripts()->Scripts()[0]->in.get(), first) << "not compiled again";
    }
    // Edited: compiled again at the next connection.
    WriteFile(dir_.File("scripts/core.cs"),
              "CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);\n" +
                  std::string("int OnHelo(string h, string w) { k.SendToClient(\"250 edited\\r\\n\"); "
                              "k.DropBufferToMTA(); return 0; }\n"));
    probe_.reset();
    probe_ = std::make_unique<SessionProbe>(*session_, settings_);
    probe_->Mta("220 mta ready\r\n");
    probe_->to_client.clear();
    Command("EHLO a.test\r\n", "");
    EXPECT_EQ(probe_->to_client, "250 edited\r\n");

    // A broken script is reported once, however many connections find it broken.
    WriteFile(dir_.File("scripts/core.cs"), "int OnHelo( {\n");
    for (int connection = 0; connection < 3; ++connection) {
        probe_.reset();
        probe_ = std::make_unique<SessionProbe>(*session_, settings_);
        EXPECT_FALSE(probe_->CheckScripts()) << "the core script failed: the session ends";
    }
    probe_.reset();
    int reports = 0;
    for (auto& item : session_->TakeAll()) reports += item.entry.str().find("-- ERROR SCRIPT:") != std::string::npos;
    EXPECT_EQ(reports, 1);
}

// The script host on its own: several scripts, OR-ed results, shared variables, failures.
TEST(AntispamScriptHost, EventsOrResultsShareVariablesAndDisableFailingScripts) {
    platform::TestTempDir dir;
    const std::string head = "CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);\n";
    WriteFile(
        dir.File("a.cs"),
        head +
            "k.RegisterGlobalVariable(\"color\");\n"
            "int Both() { return 0; }\n"
            "int Set() { k.SetGlobalVariable(\"color\", \"blue\"); k.SetGlobalVariable(\"x\", \"y\"); return 0; }\n"
            "int Lan() { return k.IsLanIp(\"172.20.1.1\") * 8 + k.IsLanIp(\"172.15.1.1\") * 4"
            " + k.IsLanIp(\"172.32.0.1\") * 2 + k.IsLanIp(\"127.0.1.1\"); }\n");
    WriteFile(dir.File("b.cs"),
              head +
                  "string got = \"\";\n"
                  "int Both() { return 2; }\n"
                  "int NotificationGlobalVariable(string n, string v) { got = got + n + \"=\" + v; return 0; }\n"
                  "int Got() { return got == \"color=blue\"; }\n"
                  "int Fail() { int z = 0; return 1 % z; }\n");
    WriteFile(dir.File("c.cs"), head + "int Both( { return 4; }\n");
    CS_PROXY_ANTISPAM_INSTANCE host(nullptr);
    host.Register({common::String("1|a.cs"), common::String("1|b.cs"), common::String("1|c.cs")}, dir.File(""), false);
    ASSERT_EQ(host.Count(), 3);
    EXPECT_TRUE(host.AnyFailed()) << "c.cs does not compile";
    EXPECT_EQ(host.Event("Both"), 2) << "the compiled scripts' results OR-ed";
    EXPECT_EQ(host.Event("Missing"), 0);
    EXPECT_EQ(host.Event("Set"), 0);
    EXPECT_EQ(host.Event("Got"), 1) << "only the registered variable is notified, once";
    EXPECT_EQ(host.Event("Lan"), 8);
    EXPECT_EQ(host.Event("Fail"), 0);
    EXPECT_EQ(host.Event("Both"), 0) << "the failed script receives no further events";

    CS_PROXY_ANTISPAM_INSTANCE none(nullptr);
    none.Register({}, dir.File(""), false);
    EXPECT_EQ(none.Count(), -1);
    EXPECT_EQ(none.Event("Both"), 1) << "a connection without scripts ends at its first event";
}

}  // namespace
}  // namespace core
