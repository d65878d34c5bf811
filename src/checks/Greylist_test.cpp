#include "checks/Greylist.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "checks/Dns.h"
#include "checks/FakeDns.h"

namespace checks {
namespace {

int64_t g_now = 1'700'000'000;
int64_t Now() {
    return g_now;
}

class GreylistTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = 1'700'000'000;
        grey_.SetEmbargo(60, 1);
    }
    float Stat(const char* name) { return stats_.Value(name).value_or(0.0f); }
    CStatitiche_Day stats_;
    CGreylist grey_{"", &stats_, &Now};
};

TEST_F(GreylistTest, TimelineBlockEarlyRetryPass) {
    std::string t = CGreylist::PrepareTriples("rcpt@example.net", "192.0.2.7", "s@example.org", "", "");
    EXPECT_EQ(t, "192.0.2.7\x02s@example.org\x02rcpt@example.net");
    EXPECT_EQ(grey_.Pass(t), 0) << "unknown: neither passed nor counted";
    grey_.Add(t);
    EXPECT_EQ(Stat("f8_grey_bloc"), 1.0f);
    grey_.Add(t);
    EXPECT_EQ(Stat("f8_grey_bloc"), 1.0f) << "a known triple is not counted again";
    g_now += 30;
    EXPECT_EQ(grey_.Pass(t), 0);
    EXPECT_EQ(grey_.GetForgedCount(t), 1);
    EXPECT_EQ(Stat("f8_grey_forze"), 1.0f);
    g_now += 31;
    EXPECT_EQ(grey_.Pass(t), 1);
    EXPECT_EQ(Stat("f8_grey_recall"), 1.0f);
    EXPECT_EQ(Stat("f8_grey_m5"), 1.0f);
    g_now += 3600;
    EXPECT_EQ(grey_.Pass(t), 1);
    EXPECT_EQ(Stat("f8_grey_mmax"), 1.0f) << "the age is counted from the first sighting";
}

TEST_F(GreylistTest, TheOperatorPassesAWaitingTripleAtItsNextRetry) {
    std::string t = CGreylist::PrepareTriples("rcpt@example.net", "192.0.2.7", "s@example.org", "", "");
    grey_.Add(t);
    script::CS_Array view;
    grey_.View(&view, 10, 0, "", 0);
    ASSERT_EQ(view.GetRecordCount(), 1);
    const std::string key = view.GetKeyByIndex(0);
    EXPECT_FALSE(grey_.PassNow("no such key"));
    EXPECT_TRUE(grey_.PassNow(key));
    EXPECT_EQ(grey_.Pass(t), 1) << "no wait left";
    EXPECT_EQ(Stat("f8_grey_forze"), 0.0f) << "not an early retry";
    g_now += 3600;
    EXPECT_TRUE(grey_.PassNow(key)) << "a passed record keeps passing";
    EXPECT_EQ(grey_.Pass(t), 1);
}

TEST_F(GreylistTest, TriplesGroupProvidersAndDropBatv) {
    std::string a =
        CGreylist::PrepareTriples("r@x.net", "198.51.100.1", "prvs=1234=user@example.org", "", "mx1.mail.provider.com");
    std::string b =
        CGreylist::PrepareTriples("r@x.net", "198.51.100.2", "user@example.org", "", "MX7.mail.provider.com");
    EXPECT_EQ(a.substr(0, a.find('\x02')), "mail.provider.com");
    EXPECT_EQ(b.substr(b.find('\x02')), a.substr(a.find('\x02'))) << "the BATV tag is removed";
    EXPECT_EQ(CGreylist::PrepareTriples("r@x.net", "198.51.100.1", "", "<>", "noreverse"),
              "198.51.100.1\x02<>\x02r@x.net")
        << "empty sender: the substitute; no parent domain: the address";
    EXPECT_EQ(CGreylist::PrepareTriples("r@x.net", "2001:DB8:1:2::7", "s@y.org", "", ""),
              CGreylist::PrepareTriples("r@x.net", "2001:db8:1:2:ffff::9", "s@y.org", "", ""))
        << "one /64, one IPv6 client";
    EXPECT_EQ(CGreylist::PrepareTriples("r@x.net", "2001:db8:1:2::7", "s@y.org", "", "").substr(0, 19),
              "2001:db8:1:2::/64\x02s");
    EXPECT_NE(CGreylist::PrepareTriples("r@x.net", "2001:db8:1:3::7", "s@y.org", "", ""),
              CGreylist::PrepareTriples("r@x.net", "2001:db8:1:2::7", "s@y.org", "", ""));
    EXPECT_EQ(CGreylist::PrepareTriples("r@x.net", "192.0.2.1", "s@y.org", "", "", common::ClientPrefix::Of(24, 64)),
              CGreylist::PrepareTriples("r@x.net", "192.0.2.200", "s@y.org", "", "", common::ClientPrefix::Of(24, 64)))
        << "an IPv4 pool of a /24 is one client when asked";
    EXPECT_NE(CGreylist::PrepareTriples("r@x.net", "192.0.2.1", "s@y.org", "", ""),
              CGreylist::PrepareTriples("r@x.net", "192.0.2.200", "s@y.org", "", ""));
    std::string two = CGreylist::PrepareTriples("a@x.net  b@x.net", "192.0.2.1", "s@y.org", "", "");
    ASSERT_NE(two.find('\x03'), std::string::npos);
    std::string second = two.substr(two.find('\x03') + 1);
    grey_.Add(second);
    g_now += 120;
    EXPECT_EQ(grey_.Pass(two), 1) << "a pass of either recipient passes the list";
}

TEST_F(GreylistTest, ResetClearsTheCountAndTheRecallStatistics) {
    std::string t = CGreylist::PrepareTriples("r@x.net", "192.0.2.9", "s@y.org", "", "");
    grey_.Add(t);
    g_now += 10;
    grey_.Pass(t);
    grey_.ResetForgedCount(t);
    EXPECT_EQ(grey_.GetForgedCount(t), 0);
    g_now += 100;
    EXPECT_EQ(grey_.Pass(t), 1);
    EXPECT_EQ(Stat("f8_grey_recall"), 0.0f) << "a reset triple passes without recall statistics";
    EXPECT_EQ(grey_.GetForgedCount("unknown"), 0);
}

TEST_F(GreylistTest, ViewListsAndFilters) {
    for (const char* r : {"a@x.net", "b@x.net", "c@y.net"})
        grey_.Add(CGreylist::PrepareTriples(r, "192.0.2.1", "s@y.org", "", ""));
    script::CS_Array all, filtered;
    EXPECT_EQ(grey_.View(&all, 0, 0, "", 0), 1);
    EXPECT_EQ(all.GetRecordCount(), 3);
    std::string v = all.GetByIndexS(0);
    EXPECT_EQ(v.substr(0, 10), std::to_string(g_now));
    EXPECT_EQ(std::count(v.begin(), v.end(), '\x02'), 5);
    grey_.View(&filtered, 100, 0, "X\\.NET$", 3);
    EXPECT_EQ(filtered.GetRecordCount(), 2) << "field 3 is the recipient, matched without case";
    EXPECT_EQ(grey_.View(nullptr, 1, 1, "", 0), 0);
}

TEST(AddressListTest, NamesAndRanges) {
    CAddressList list;
    size_t taken = list.Load({"google.com||big provider", "10.0.0.0|10.0.255.255|office", "192.0.2.5", "bad entry|x",
                              "10.9.0.0|10.1.0.0", "300.1.1.1|300.1.1.2", " 198.51.100.1 | 198.51.100.9 "});
    EXPECT_EQ(taken, 4u);
    EXPECT_EQ(list.PatternCount(), 1u);
    EXPECT_TRUE(list.InRange("10.0.7.1"));
    EXPECT_FALSE(list.InRange("10.1.0.1"));
    EXPECT_TRUE(list.InRange("192.0.2.5")) << "a single address";
    EXPECT_FALSE(list.InRange("192.0.2.6"));
    EXPECT_TRUE(list.InRange("198.51.100.9"));
    EXPECT_TRUE(list.NameMatches("mail-yw1.GOOGLE.com"));
    EXPECT_FALSE(list.NameMatches("example.org"));

    FakeDns server;
    server.Add("7.2.0.192.in-addr.arpa", kTypePTR, kTypePTR, FakeDns::Name("mx.google.com"));
    CDns dns("");
    dns.AddNameServer(server.Address());
    EXPECT_EQ(list.Contains("192.0.2.7", &dns), 1) << "by the reverse name";
    EXPECT_EQ(list.Contains("192.0.2.8", &dns), 0);
    EXPECT_EQ(list.Contains("10.0.0.1", nullptr), 1);
}

TEST(AddressListTest, IPv6RangesAndNetworksOfBothFamilies) {
    CAddressList list;
    size_t taken = list.Load({"2001:db8::/32|office", "2001:db8:ffff::1|2001:db9::5", "fd00::7", "172.16.0.0/12",
                              "2001:db9::9|2001:db9::1", "2001:db8::/129", "10.0.0.0/x", "::ffff:203.0.113.1"});
    EXPECT_EQ(taken, 5u) << "a reversed range, a too-long prefix and a bad length are skipped";
    EXPECT_TRUE(list.InRange("2001:db8:1234::1"));
    EXPECT_TRUE(list.InRange("2001:db9::5")) << "the range's last address";
    EXPECT_FALSE(list.InRange("2001:db9::6"));
    EXPECT_TRUE(list.InRange("FD00::7"));
    EXPECT_FALSE(list.InRange("fd00::8"));
    EXPECT_TRUE(list.InRange("172.31.255.255"));
    EXPECT_FALSE(list.InRange("172.32.0.0"));
    EXPECT_TRUE(list.InRange("::ffff:172.16.0.1")) << "a mapped client is its IPv4 address";
    EXPECT_TRUE(list.InRange("203.0.113.1")) << "a mapped entry is its IPv4 address";
    EXPECT_FALSE(list.InRange("::"));
    EXPECT_FALSE(list.InRange("2001:db8::1/64"));
    EXPECT_EQ(list.Contains("2001:db8::25", nullptr), 1);
}

}  // namespace
}  // namespace checks
