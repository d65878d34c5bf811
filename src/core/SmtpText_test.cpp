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

TEST(SmtpTextTest, DataCommands) {
    EXPECT_FALSE(RecognizeData("DATA\r\n")->bdat);
    auto b = RecognizeData("BDAT 1200 LAST\r\n");
    ASSERT_TRUE(b);
    EXPECT_TRUE(b->bdat);
    EXPECT_EQ(b->size, 1200);
    EXPECT_FALSE(RecognizeData("MAIL FROM:<a@b.c>\r\n"));
}

// The end of message data wherever the reads split it; the scan of the whole text is the
// reference.
TEST(SmtpTextTest, DataEndAcrossReads) {
    const std::string message = "Subject: x\r\n\r\n..stuffed\r\n..\r\nlast\r\n.\r\nQUIT\r\n";
    const size_t end = message.find("\r\n.\r\n") + 5;
    for (size_t cut = 0; cut <= message.size(); ++cut) {
        DataEndScanner scan;
        size_t first = scan.Scan(std::string_view(message).substr(0, cut));
        size_t found = first != std::string::npos ? first : cut + scan.Scan(std::string_view(message).substr(cut));
        EXPECT_EQ(found, end) << "cut at " << cut;
    }
    DataEndScanner scan;
    EXPECT_EQ(scan.Scan(".\r\nRSET\r\n"), 3u) << "an empty message";
    scan.Reset();
    EXPECT_EQ(scan.Scan("a\n.\nb"), 4u) << "bare line feeds end lines too";
    scan.Reset();
    EXPECT_EQ(scan.Scan("a.\r\n .\r\n.x\r\n"), std::string::npos) << "a dot not alone on its line";
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

TEST(SmtpTextTest, SubjectTagAndHeaderLine) {
    EXPECT_EQ(ModifyHeaderSubject("From: a\r\nSubject: Hello\r\n\r\nbody\r\n", "***SPAM***"),
              "From: a\r\nSubject: ***SPAM*** Hello\r\n\r\nbody\r\n");
    EXPECT_EQ(ModifyHeaderSubject("Subject: \r\nFrom: a\r\n\r\nb", "[X]"), "Subject: [X]\r\nFrom: a\r\n\r\nb");
    EXPECT_EQ(ModifyHeaderSubject("From: a\r\n\r\nb", "[X]"), "Subject: [X]\r\nFrom: a\r\n\r\nb");
    EXPECT_EQ(WriteHeaderMessage("From: a\r\nTo: b\r\n\r\nbody", "X-MORVANE-Spam: YES"),
              "From: a\r\nTo: b\r\nX-MORVANE-Spam: YES\r\n\r\nbody");
    EXPECT_EQ(WriteHeaderMessage("no header", "X-A: 1"), "X-A: 1\r\n\r\nno header");
}

}  // namespace
}  // namespace core::smtp
