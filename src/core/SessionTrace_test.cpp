#include "core/SessionTrace.h"

#include <gtest/gtest.h>

namespace core {
namespace {

// A client's conversation as the relay sees it: (phase or "" for none, reply to the client).
SessionTrace Converse(std::initializer_list<std::pair<const char*, const char*>> steps) {
    SessionTrace t;
    t.Start(1700000000, 1000);
    for (const auto& [phase, reply] : steps) {
        if (std::string_view(phase) == "end") {
            t.EndOfData();
        } else if (*phase) {
            t.Command(phase);
        }
        t.Replies(reply);
    }
    return t;
}

TEST(SessionTraceTest, OutcomesAndTheStepThatDecidedThem) {
    auto delivered = Converse({{"", "220 mx ready\r\n"},
                               {"helo", "250-mx\r\n250 8BITMIME\r\n"},
                               {"mail", "250 ok\r\n"},
                               {"rcpt", "250 ok\r\n"},
                               {"data", "354 go\r\n"},
                               {"end", "250 2.0.0 queued\r\n"},
                               {"", "421 idle too long\r\n"}});
    auto r = delivered.Record(1250);
    EXPECT_EQ(r.action, "delivered");
    EXPECT_EQ(r.step, "end of data");
    EXPECT_EQ(r.reply, "250 2.0.0 queued") << "a later 421 does not undo a delivery";
    EXPECT_EQ(r.messages, 1);
    EXPECT_EQ(r.duration_ms, 250);

    r = Converse({{"helo", "250 mx\r\n"}, {"mail", "550 5.7.1 SPF check failed\r\n"}}).Record(0);
    EXPECT_EQ(r.action, "refused");
    EXPECT_EQ(r.step, "mail");

    r = Converse({{"mail", "250 ok\r\n"},
                  {"rcpt", "550 no such user\r\n"},
                  {"rcpt", "250 ok\r\n"},
                  {"data", "354 go\r\n"},
                  {"end", "250 ok\r\n"}})
            .Record(0);
    EXPECT_EQ(r.action, "delivered") << "one recipient refused among others is no verdict";
    r = Converse({{"mail", "250 ok\r\n"}, {"rcpt", "550 no such user\r\n"}}).Record(0);
    EXPECT_EQ(r.action, "refused");
    EXPECT_EQ(r.step, "rcpt");

    r = Converse({{"mail", "250 ok\r\n"}, {"rcpt", "250 ok\r\n"}, {"data", "451 4.7.1 try again later\r\n"}}).Record(0);
    EXPECT_EQ(r.action, "tempfail");
    SessionTrace grey;
    grey.Command("mail");
    grey.Greylisted();
    grey.Command("data");
    grey.Replies("451 4.7.1 GREY LIST try again later\r\n");
    EXPECT_EQ(grey.Record(0).action, "greylisted");

    r = Converse({{"", "554 5.7.1 IP in the DNSBL bl.test\r\n"}}).Record(0);
    EXPECT_EQ(r.step, "connect");
    r = Converse({{"helo", "250 mx\r\n"}, {"mail", "501 5.5.4 syntax\r\n"}, {"", "500 what?\r\n"}}).Record(0);
    EXPECT_EQ(r.action, "no mail") << "syntax errors decide nothing";
    EXPECT_EQ(Converse({}).Record(0).action, "no mail");

    // A second transaction starts afresh: its refusal is the outcome the session ends with.
    r = Converse({{"mail", "250 ok\r\n"},
                  {"rcpt", "250 ok\r\n"},
                  {"data", "354\r\n"},
                  {"end", "250 ok\r\n"},
                  {"mail", "250 ok\r\n"},
                  {"rcpt", "250 ok\r\n"},
                  {"data", "354\r\n"},
                  {"end", "554 spam\r\n"}})
            .Record(0);
    EXPECT_EQ(r.action, "refused");
    EXPECT_EQ(r.step, "end of data");
    EXPECT_EQ(r.messages, 1);
}

TEST(SessionTraceTest, PolicyMarksAndBounds) {
    SessionTrace t;
    t.Command("mail");
    for (int i = 0; i < 1000; ++i) t.Recipient("someone" + std::to_string(i) + "@example.org");
    t.Command("data");
    t.MessageBytes(1234);
    t.MessageStart("Subject: x\r\nmessage-id:  <a@b>  \r\n\r\nMessage-Id: <body@not.header>\r\n");
    t.HeaderAdded("X-Other: 1");
    t.HeaderAdded("X-Morvane-Score: 7.50 helo-ip bayes(0.99)");
    t.Tagged();
    for (int i = 0; i < 500; ++i) t.Note("spam trap hit");
    t.EndOfData();
    t.Replies("250 2.0.0 ok\r\n");
    auto r = t.Record(0);
    EXPECT_EQ(r.action, "tagged");
    EXPECT_EQ(r.reasons, "7.50 helo-ip bayes(0.99)");
    EXPECT_EQ(r.message_id, "<a@b>");
    EXPECT_EQ(r.size, 1234);
    EXPECT_LE(r.recipients.size(), SessionTrace::kMaxText);
    EXPECT_LE(r.note.size(), SessionTrace::kMaxText);
    EXPECT_EQ(SessionTrace::MessageId("Subject: none\r\n\r\nMessage-Id: <x@y>\r\n"), "") << "only the header counts";
}

}  // namespace
}  // namespace core
