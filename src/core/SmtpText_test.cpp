#include "core/SmtpText.h"

#include <gtest/gtest.h>

namespace core::smtp {
namespace {

TEST(SmtpTextTest, CommandsOfEachKind) {
    struct Case {
        const char* line;
        bool relay;
        CommandKind kind;
        const char* arg;
    } cases[] = {
        {"EHLO mail.example.org\r\n", false, CommandKind::Helo, "mail.example.org"},
        {"helo [192.0.2.1]\r\n", false, CommandKind::Helo, "[192.0.2.1]"},
        {"MAIL FROM:<Sender@Example.org> SIZE=100\r\n", false, CommandKind::MailFrom, "Sender@Example.org"},
        {"mail from: <>\r\n", false, CommandKind::MailFrom, ""},
        {"RCPT TO:<user@example.net>\r\n", false, CommandKind::RcptTo, "user@example.net"},
        {"RCPT TO:<user%other.net@example.net>\r\n", false, CommandKind::RcptToError,
         "RCPT TO:<user%other.net@example.net>"},
        {"RCPT TO:<user%other.net@example.net>\r\n", true, CommandKind::RcptTo, "user%other.net@example.net"},
        {"RCPT TO: host.example!user\r\n", false, CommandKind::RcptTo, "user@host.example"},
        {"RCPT TO:<nobody>\r\n", false, CommandKind::RcptToError, "RCPT TO:<nobody>"},
        {"RCPT TO:<nobody>\r\n", true, CommandKind::None, ""},
        {"NOOP\r\n", false, CommandKind::Noop, ""},
        {" rset\r\n", false, CommandKind::Rset, ""},
        {"QUIT\r\n", false, CommandKind::None, ""},
    };
    for (const Case& c : cases) {
        Command got = RecognizeCommand(c.line, c.relay);
        EXPECT_EQ(got.kind, c.kind) << c.line;
        EXPECT_EQ(got.arg, c.arg) << c.line;
    }
    EXPECT_EQ(RecognizeCommand("EHLO x.org\r\n", false).word, "EHLO");
}

TEST(SmtpTextTest, DataCommandsAndLinesTheMtaCouldReadOtherwise) {
    EXPECT_FALSE(RecognizeData("DATA\r\n")->bdat);
    auto b = RecognizeData("BDAT 1200 LAST\r\n");
    ASSERT_TRUE(b);
    EXPECT_TRUE(b->bdat);
    EXPECT_TRUE(b->last);
    EXPECT_EQ(b->size, 1200);
    EXPECT_FALSE(RecognizeData("bdat\t7\r\n")->last);
    EXPECT_TRUE(RecognizeData("bdat\t7\r\n")->valid);
    for (const char* odd : {"BDAT +11\r\n", "BDAT 5 LAST x\r\n", "BDAT\r\n", "BDAT 99999999999999999999\r\n"}) {
        auto bad = RecognizeData(odd);
        ASSERT_TRUE(bad) << odd;
        EXPECT_TRUE(bad->bdat && !bad->valid) << odd << ": an MTA may read it its own way";
    }
    EXPECT_FALSE(RecognizeData("MAIL FROM:<a@b.c>\r\n"));
    EXPECT_TRUE(IsStartTls("starttls\r\n"));
    EXPECT_TRUE(IsStartTls(" STARTTLS \n"));
    EXPECT_TRUE(IsStartTls("STARTTLS now\r\n"));
    EXPECT_TRUE(IsStartTls("STARTTLSX\r\n")) << "an MTA may split the verb its own way";
    EXPECT_FALSE(IsAmbiguousLine("EHLO a\r\n"));
    EXPECT_FALSE(IsAmbiguousLine("EHLO a\n"));
    EXPECT_TRUE(IsAmbiguousLine(std::string("EHLO a\0b.example.org\r\n", 23)));
    EXPECT_TRUE(IsAmbiguousLine("MAIL FROM:<a@b.c>\rRCPT TO:<d@e.f>\r\n"));
    EXPECT_TRUE(IsAmbiguousLine("NOOP\r\r\n"));
}

// Normalises `wire` in two pieces cut at `cut`; the output, and where the end was found (npos
// when not).
std::pair<std::string, size_t> Normalize(std::string_view wire, size_t cut) {
    DataNormalizer n;
    n.Reset(DataNormalizer::Kind::Data);
    std::string out;
    size_t end = n.Feed(wire.substr(0, cut), &out);
    if (end == std::string::npos) {
        end = n.Feed(wire.substr(cut), &out);
        if (end != std::string::npos) end += cut;
    }
    return {out, end};
}

TEST(SmtpTextTest, UnstuffedMessageIsTheMessageAsSent) {
    EXPECT_EQ(UnstuffedMessage("Subject: x\r\n\r\n..dot\r\n...two\r\nplain\r\n.\r\n"),
              "Subject: x\r\n\r\n.dot\r\n..two\r\nplain\r\n");
    EXPECT_EQ(UnstuffedMessage(".\r\n"), "");
    EXPECT_EQ(UnstuffedMessage("a\r\nb\r\n"), "a\r\nb\r\n") << "held before its end: no final line yet";
    EXPECT_EQ(UnstuffedMessage("a\r\n.\r\nafter\r\n"), "a\r\n") << "nothing after the final line";
    EXPECT_EQ(UnstuffedMessage("a.\r\n.b"), "a.\r\nb");
}

TEST(SmtpTextTest, DataEndIsCrLfDotCrLfWhereverTheReadsSplitIt) {
    const std::string message = "Subject: x\r\n\r\n..stuffed\r\n..\r\nlast\r\n.\r\nQUIT\r\n";
    const size_t end = message.find("\r\n.\r\n") + 5;
    for (size_t cut = 0; cut <= message.size(); ++cut) {
        auto [out, found] = Normalize(message, cut);
        EXPECT_EQ(found, end) << "cut at " << cut;
        EXPECT_EQ(out, message.substr(0, end)) << "a clean message passes unchanged, cut at " << cut;
    }
    EXPECT_EQ(Normalize(".\r\nRSET\r\n", 1).second, 3u) << "an empty message";
    EXPECT_EQ(Normalize("a.\r\n .\r\n.x\r\n", 2).second, std::string::npos) << "a dot not alone on its line";
}

// The known smuggling sequences: none ends the message for the proxy, and each leaves it as
// lines that no MTA reads as the end either, with the commands after it still message data.
TEST(SmtpTextTest, SmugglingSequencesAreDataWrittenAsStuffedLines) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\n.\nMAIL FROM:<x@y.z>\r\n", "a\r\n..\r\nMAIL FROM:<x@y.z>\r\n"},
        {"a\r.\rMAIL FROM:<x@y.z>\r\n", "a\r\n..\r\nMAIL FROM:<x@y.z>\r\n"},
        {"a\r\n.\nMAIL FROM:<x@y.z>\r\n", "a\r\n..\r\nMAIL FROM:<x@y.z>\r\n"},
        {"a\n.\r\nMAIL FROM:<x@y.z>\r\n", "a\r\n..\r\nMAIL FROM:<x@y.z>\r\n"},
        {"a\r.\r\nMAIL FROM:<x@y.z>\r\n", "a\r\n..\r\nMAIL FROM:<x@y.z>\r\n"},
        {"a\r\n.\r\r\nRSET\r\n", "a\r\n..\r\n\r\nRSET\r\n"},
        {"bare\rcr and\nlf\r\n", "bare\r\ncr and\r\nlf\r\n"},
    };
    for (const auto& [wire, want] : cases) {
        for (size_t cut = 0; cut <= wire.size(); ++cut) {
            auto [out, end] = Normalize(wire, cut);
            EXPECT_EQ(end, std::string::npos) << wire;
            EXPECT_EQ(out, want) << "cut at " << cut;
            // What the proxy writes ends for a strict reader exactly where the proxy ends it.
            EXPECT_EQ(Normalize(out + ".\r\n", out.size()).second, out.size() + 3);
        }
    }
}

TEST(SmtpTextTest, BdatChunksBecomeOneStuffedMessage) {
    DataNormalizer n;
    n.Reset(DataNormalizer::Kind::Bdat);
    std::string out;
    EXPECT_EQ(n.Feed(".\r\nline\r", &out), std::string::npos);
    n.Feed("\n.x\nend", &out);  // the CR LF split between chunks stays one line end
    n.Finish(&out);
    EXPECT_EQ(out, "..\r\nline\r\n..x\r\nend\r\n.\r\n");
    out.clear();
    n.Finish(&out);
    EXPECT_EQ(out, ".\r\n") << "an empty message";
}

TEST(SmtpTextTest, ExtensionsTheRelayCannotCarryAreRemoved) {
    std::string removed;
    EXPECT_EQ(RemoveExtensions("250-mx\r\n250-STARTTLS\r\n250-chunking\r\n250 HELP\r\n", &removed),
              "250-mx\r\n250 HELP\r\n");
    EXPECT_EQ(removed, "STARTTLS CHUNKING");
    EXPECT_EQ(RemoveExtensions("250-mx\r\n250-PIPELINING\r\n250 starttls\r\n", nullptr), "250-mx\r\n250 PIPELINING\r\n")
        << "the line before a removed last line becomes the last";
    EXPECT_EQ(RemoveExtensions("250-mx\r\n250-BINARYMIME\r\n250 CHUNKING\r\n", nullptr), "250 mx\r\n");
    EXPECT_EQ(RemoveExtensions("250 STARTTLS\r\n", nullptr), "250 STARTTLS\r\n") << "a single line is no EHLO reply";
    EXPECT_EQ(RemoveExtensions("250 ok\r\n250-mx\r\n250 STARTTLS\r\n", nullptr), "250 ok\r\n250 mx\r\n")
        << "replies of pipelined commands are edited one by one";
    EXPECT_EQ(RemoveExtensions("214-STARTTLS\r\n214 help\r\n", nullptr), "214-STARTTLS\r\n214 help\r\n");
    EXPECT_EQ(RemoveExtensions("250-mx\r\n250-STARTTLSX\r\n250 X\r\n", nullptr),
              "250-mx\r\n250-STARTTLSX\r\n250 X\r\n");
    // The proxy's own STARTTLS goes into the EHLO reply, whatever shape it has.
    EXPECT_EQ(AddExtension("250-mx\r\n250 HELP\r\n", "STARTTLS"), "250-mx\r\n250-STARTTLS\r\n250 HELP\r\n");
    EXPECT_EQ(AddExtension(RemoveExtensions("250-mx\r\n250 STARTTLS\r\n", nullptr), "STARTTLS"),
              "250-mx\r\n250 STARTTLS\r\n");
    EXPECT_EQ(AddExtension("250\r\n", "STARTTLS"), "250-\r\n250 STARTTLS\r\n");
    EXPECT_EQ(AddExtension("250 mx\r\n250 ok\r\n", "STARTTLS"), "250-mx\r\n250 STARTTLS\r\n250 ok\r\n")
        << "only the first reply";
    EXPECT_EQ(AddExtension("550 go away\r\n", "STARTTLS"), "550 go away\r\n");
    EXPECT_EQ(AddExtension("250-mx", "STARTTLS"), "250-mx") << "not a whole line";
    EXPECT_EQ(CompleteReplies("250-a\r\n250 b\r\n250-c\r\n"), 14u);
    EXPECT_EQ(CompleteReplies("250-a\r\n250-b"), 0u);
}

TEST(SmtpTextTest, ReplyEditingAndCodes) {
    std::string insert = "250-X-MORVANE\r\n", drop = "250-pipelining\r\n250-chunking\r";
    std::string reply = "250-mx.example.net\r\n250-PIPELINING\r\n250-CHUNKING\r\n250 HELP\r\n";
    EXPECT_EQ(EditReply(reply, &insert, &drop), "250-mx.example.net\r\n250-X-MORVANE\r\n250 HELP\r\n");
    EXPECT_TRUE(insert.empty());
    EXPECT_TRUE(drop.empty());
    std::string keep = "ins";
    EXPECT_EQ(EditReply("250 OK\r\n", &keep, nullptr), "250 OK\r\n") << "only multi-line 250- replies";
    EXPECT_EQ(keep, "ins");
    EXPECT_TRUE(IsCountedError("503 5.5.1 bad sequence"));
    EXPECT_FALSE(IsCountedError("550 5.1.1 no such user")) << "550 is not counted";
    EXPECT_TRUE(IsAuthenticated("235 2.7.0 Authentication successful"));
}

TEST(SmtpTextTest, SubjectTagAndHeaderLineStayInTheHeader) {
    EXPECT_EQ(ModifyHeaderSubject("From: a\r\nSubject: Hello\r\n\r\nbody\r\n", "***SPAM***"),
              "From: a\r\nSubject: ***SPAM*** Hello\r\n\r\nbody\r\n");
    EXPECT_EQ(ModifyHeaderSubject("Subject: \r\nFrom: a\r\n\r\nb", "[X]"), "Subject: [X]\r\nFrom: a\r\n\r\nb");
    EXPECT_EQ(ModifyHeaderSubject("subject:Hi\r\n\r\nb", "[X]"), "subject: [X] Hi\r\n\r\nb");
    EXPECT_EQ(ModifyHeaderSubject("From: a\r\n\r\nb", "[X]"), "Subject: [X]\r\nFrom: a\r\n\r\nb");
    EXPECT_EQ(ModifyHeaderSubject("From: a\r\n\r\nSubject: in the body\r\n", "[X]"),
              "Subject: [X]\r\nFrom: a\r\n\r\nSubject: in the body\r\n")
        << "a Subject line of the body is not the message's";
    EXPECT_EQ(ModifyHeaderSubject("X-Subject: a\r\nSubject: b\r\n\r\n", "[X]"),
              "X-Subject: a\r\nSubject: [X] b\r\n\r\n");
    // The header's end is not held (a header longer than the held bytes): only a Subject line
    // among them is changed; none is added, the real one may come later.
    std::string received;
    for (int i = 0; i < 450; ++i) received += "Received: from hop" + std::to_string(i) + " by relay\r\n";
    EXPECT_EQ(ModifyHeaderSubject(received, "[X]", false), received);
    EXPECT_EQ(ModifyHeaderSubject(received, "[X]", true), "Subject: [X]\r\n" + received);
    EXPECT_EQ(ModifyHeaderSubject("Received: a\r\nSubject: s\r\n", "[X]", false), "Received: a\r\nSubject: [X] s\r\n");

    EXPECT_EQ(WriteHeaderMessage("From: a\r\nTo: b\r\n\r\nbody", "X-MORVANE-Spam: YES"),
              "From: a\r\nTo: b\r\nX-MORVANE-Spam: YES\r\n\r\nbody");
    EXPECT_EQ(WriteHeaderMessage(received, "X-A: 1"), "X-A: 1\r\n" + received)
        << "no blank line: the original header stays header";
    EXPECT_EQ(WriteHeaderMessage("\r\nbody only", "X-A: 1"), "X-A: 1\r\n\r\nbody only");
}

}  // namespace
}  // namespace core::smtp
