#include "checks/DnsMessage.h"

#include <gtest/gtest.h>

#include "checks/FakeDns.h"

namespace checks {
namespace {

// A reply built by hand: header, one question, then the given answer records.
struct Builder {
    std::string msg;
    explicit Builder(uint16_t id, const std::string& qname, uint16_t qtype, uint16_t ancount) {
        U16(id);
        U16(0x8180);
        U16(1);
        U16(ancount);
        U16(0);
        U16(0);
        Name(qname);
        U16(qtype);
        U16(1);
    }
    void U16(uint16_t v) {
        msg += static_cast<char>(v >> 8);
        msg += static_cast<char>(v & 0xFF);
    }
    void U32(uint32_t v) {
        U16(static_cast<uint16_t>(v >> 16));
        U16(static_cast<uint16_t>(v));
    }
    void Name(const std::string& n) { msg += FakeDns::Name(n); }
    void Pointer(uint16_t offset) { U16(static_cast<uint16_t>(0xC000 | offset)); }
    // Owner as a pointer to the question name (offset 12).
    void Record(uint16_t type, const std::string& rdata) {
        Pointer(12);
        U16(type);
        U16(1);
        U32(300);
        U16(static_cast<uint16_t>(rdata.size()));
        msg += rdata;
    }
};

std::string Txt(std::initializer_list<std::string> parts) {
    std::string out;
    for (const std::string& p : parts) out += static_cast<char>(p.size()) + p;
    return out;
}

TEST(DnsMessageTest, QueryBytes) {
    auto q = BuildQuery(0x1234, "mail.example.org", kTypeMX);
    ASSERT_TRUE(q);
    EXPECT_EQ(*q, std::string("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
                              "\x04mail\x07"
                              "example\x03org\x00\x00\x0f\x00\x01",
                              12 + 18 + 4));
    EXPECT_EQ(*BuildQuery(1, "example.org.", kTypeA), *BuildQuery(1, "example.org", kTypeA));
    EXPECT_FALSE(BuildQuery(1, "a..b", kTypeA)) << "empty label";
    EXPECT_FALSE(BuildQuery(1, std::string(64, 'x') + ".org", kTypeA)) << "label over 63";
    std::string long_name;
    for (int i = 0; i < 30; ++i) long_name += "abcdefghi.";
    EXPECT_FALSE(BuildQuery(1, long_name, kTypeA)) << "does not fit the query buffer";
    EXPECT_EQ(ReverseName("1.2.3.4"), "4.3.2.1.in-addr.arpa");
}

TEST(DnsMessageTest, AnswersOfEachType) {
    Builder b(7, "example.org", kTypeMX, 5);
    b.Record(kTypeA, std::string("\xc0\x00\x02\x07", 4));
    std::string mx;
    mx += '\0';
    mx += '\x0a';
    mx += "\x02mx";
    mx += std::string("\xc0\x0c", 2);  // "mx." + pointer to example.org
    b.Record(kTypeMX, mx);
    b.Record(kTypeTXT, Txt({"v=spf1", "-all"}));
    b.Record(kTypeNS, std::string("\x03ns1\xc0\x0c", 6));
    b.Record(99, "opaque");
    auto r = ParseReply(b.msg);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->question, "example.org");
    ASSERT_EQ(r->answers.size(), 5u);
    EXPECT_EQ(r->answers[0].data, "192.0.2.7");
    EXPECT_EQ(r->answers[0].owner, "example.org");
    EXPECT_EQ(r->answers[1].data, "mx.example.org");
    EXPECT_EQ(r->answers[1].preference, 10);
    EXPECT_EQ(r->answers[2].data, "v=spf1-all") << "character-strings concatenated, nothing between";
    EXPECT_EQ(r->answers[3].data, "ns1.example.org");
    EXPECT_EQ(r->answers[4].data, "") << "an unknown type keeps its extent but no data";
    EXPECT_TRUE(ReplyMatches(*r, 7, "EXAMPLE.org."));
    EXPECT_FALSE(ReplyMatches(*r, 8, "example.org"));
    EXPECT_FALSE(ReplyMatches(*r, 7, "example.net"));
}

TEST(DnsMessageTest, TooManyAnswersAndPointerLoopsFail) {
    Builder many(1, "x.org", kTypeA, 60);
    for (int i = 0; i < 60; ++i) many.Record(kTypeA, std::string("\x7f\0\0\x02", 4));
    EXPECT_FALSE(ParseReply(many.msg));
    Builder fiftyone(1, "x.org", kTypeA, 51);
    for (int i = 0; i < 51; ++i) fiftyone.Record(kTypeA, std::string("\x7f\0\0\x02", 4));
    EXPECT_TRUE(ParseReply(fiftyone.msg));

    Builder loop(1, "x.org", kTypeNS, 1);
    size_t at = loop.msg.size();
    loop.Record(kTypeNS, std::string("\xc0\x00", 2));
    loop.msg[at + 12 + 0] = static_cast<char>(0xC0);  // the record's data points at itself
    loop.msg[at + 12 + 1] = static_cast<char>(at + 12);
    EXPECT_FALSE(ParseReply(loop.msg));
    EXPECT_FALSE(ParseReply(std::string(11, '\0')));
}

TEST(DnsMessageTest, TruncatedRepliesNeverReadPastTheEnd) {
    Builder b(9, "example.org", kTypeTXT, 2);
    b.Record(kTypeTXT, Txt({"one", "two"}));
    b.Record(kTypeA, std::string("\x01\x02\x03\x04", 4));
    for (size_t cut = 0; cut < b.msg.size(); ++cut) {
        auto r = ParseReply(std::string_view(b.msg).substr(0, cut));
        EXPECT_FALSE(r) << "cut at " << cut;
    }
    EXPECT_TRUE(ParseReply(b.msg));
}

}  // namespace
}  // namespace checks
