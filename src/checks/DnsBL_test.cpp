#include "checks/DnsBL.h"

#include <gtest/gtest.h>

#include "checks/FakeDns.h"
#include "platform/UdpSocket.h"

namespace checks {
namespace {

const std::string kListed = FakeDns::A(127, 0, 0, 2);

class DnsBLTest : public ::testing::Test {
protected:
    void SetUp() override {
        bl_.AddNameServer(server_.Address());
        for (const char* z : {"one.test|1.5", "two.test|2.0", "three.test|4.0", "four.test|0.5"}) bl_.AddZone(z);
        bl_.global_timeout_ms = 400;
        bl_.single_timeout_ms = 100;
        bl_.maxhit = 3;
        bl_.maxreplies = 4;
    }
    void List(const char* zone, const std::string& rdata = kListed) {
        server_.Add(std::string("2.2.0.192.") + zone, kTypeA, kTypeA, rdata);
    }
    FakeDns server_;
    CDnsBL bl_{""};
};

TEST_F(DnsBLTest, OneListingAmongFourZones) {
    List("two.test");
    DnsBLResult r;
    ASSERT_EQ(bl_.QueryDnsBL("192.0.2.2", &r), 1);
    EXPECT_EQ(r.hits, 1);
    EXPECT_FLOAT_EQ(r.score, 2.0f);
    EXPECT_EQ(r.text, "two.test");
    EXPECT_EQ(server_.Questions(), 4) << "one datagram per zone";
    EXPECT_EQ(bl_.ZoneWeight("three.test"), 4.0f);
    EXPECT_EQ(bl_.ZoneWeight("THREE.test"), -1.0f);
    EXPECT_EQ(DNSBL_Ns(&bl_, "192.0.2.2"), "two.test") << "what scripts see";
    EXPECT_FLOAT_EQ(DNSBL_Score(&bl_, "192.0.2.2"), 2.0f);
    EXPECT_EQ(DNSBL_Ns(nullptr, "192.0.2.2"), "");
}

TEST_F(DnsBLTest, MaxhitEndsTheLoopAndErrorCodesAreNotListings) {
    List("one.test");
    List("two.test");
    List("three.test", FakeDns::A(127, 255, 255, 254));  // "query refused": the operator's error code
    List("four.test");
    DnsBLResult r;
    bl_.QueryDnsBL("192.0.2.2", &r);
    EXPECT_EQ(r.hits, 3);
    EXPECT_FLOAT_EQ(r.score, 1.5f + 2.0f + 0.5f);
    EXPECT_EQ(r.text.find("three.test"), std::string::npos);
}

TEST_F(DnsBLTest, MaxrepliesEndsTheLoop) {
    for (const char* z : {"one.test", "two.test", "three.test", "four.test"}) List(z);
    bl_.maxreplies = 2;
    DnsBLResult r;
    bl_.QueryDnsBL("192.0.2.2", &r);
    EXPECT_EQ(r.hits, 2) << "two replies were expected; both listed";
}

TEST_F(DnsBLTest, CachedListingsAreRescoredOrDroppedWithTheirZones) {
    List("one.test");
    List("four.test");
    DnsBLResult r;
    bl_.QueryDnsBL("192.0.2.2", &r);
    ASSERT_EQ(r.hits, 2);
    int asked = server_.Questions();
    bl_.ClearZones();
    for (const char* z : {"one.test|3.0", "two.test|2.0", "three.test|4.0", "four.test|1.0"}) bl_.AddZone(z);
    bl_.QueryDnsBL("192.0.2.2", &r);
    EXPECT_FLOAT_EQ(r.score, 4.0f) << "re-scored from the cache with the new weights";
    EXPECT_EQ(server_.Questions(), asked);
    bl_.ClearZones();
    for (const char* z : {"two.test|2.0", "four.test|1.0"}) bl_.AddZone(z);
    bl_.QueryDnsBL("192.0.2.2", &r);
    EXPECT_EQ(server_.Questions(), asked + 2) << "one.test left the configuration: asked again";
    EXPECT_EQ(r.text, "four.test");
}

TEST_F(DnsBLTest, CleanAddressesAreCachedButSilenceIsNot) {
    DnsBLResult r;
    bl_.QueryDnsBL("192.0.2.9", &r);
    EXPECT_EQ(r.hits, 0);
    EXPECT_TRUE(bl_.Cache().Get("192.0.2.9")) << "a clean answer is cached";

    FakeDns silent(true);
    CDnsBL dead("");
    dead.AddNameServer(silent.Address());
    dead.AddZone("one.test|1");
    dead.global_timeout_ms = 150;
    dead.single_timeout_ms = 50;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(dead.QueryDnsBL("192.0.2.9", &r), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(140)) << "waited for the deadline";
    EXPECT_EQ(r.hits, 0);
    EXPECT_FALSE(dead.Cache().Get("192.0.2.9")) << "no answer is not a clean answer";

    // A server whose port is closed refuses at once: the check does not wait for its deadline.
    platform::UdpSocket probe;
    probe.Open();
    probe.BindLoopback(0);
    const std::string closed = "127.0.0.1:" + std::to_string(probe.LocalPort());
    probe.Close();
    CDnsBL refused("");
    refused.AddNameServer(closed);
    refused.AddZone("one.test|1");
    refused.global_timeout_ms = 2000;
    t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(refused.QueryDnsBL("192.0.2.9", &r), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_FALSE(refused.Cache().Get("192.0.2.9"));
}

TEST_F(DnsBLTest, ForeignDatagramsDoNotCount) {
    FakeDns noisy(false, true);
    noisy.Add("2.2.0.192.one.test", kTypeA, kTypeA, kListed);
    CDnsBL bl("");
    bl.AddNameServer(noisy.Address());
    bl.AddZone("one.test|1");
    bl.AddZone("two.test|1");
    DnsBLResult r;
    bl.QueryDnsBL("192.0.2.2", &r);
    EXPECT_EQ(r.hits, 1) << "the wrong-ID copies of the listing are ignored";
}

TEST_F(DnsBLTest, IPv6ClientsAreAskedInNibblesOfTheirListsOnly) {
    bl_.SetZones({"one.test|1.5", "two.test|2.0|ipv4", "three.test|4.0| IPv4 "});
    const std::string nibbles = "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.";
    server_.Add(nibbles + "one.test", kTypeA, kTypeA, kListed);
    server_.Add(nibbles + "two.test", kTypeA, kTypeA, kListed);
    DnsBLResult r;
    ASSERT_EQ(bl_.QueryDnsBL("2001:db8::1", &r), 1);
    EXPECT_EQ(r.text, "one.test");
    EXPECT_EQ(server_.Questions(), 1) << "the IPv4-only lists are not asked";
    List("two.test");
    ASSERT_EQ(bl_.QueryDnsBL("192.0.2.2", &r), 1);
    EXPECT_EQ(r.text, "two.test") << "they still answer for IPv4 clients";
}

TEST(DnsBLZonesTest, ZonesAreReplacedWhole) {
    CDnsBL bl("");
    bl.AddZone("old.example|1.5");
    bl.SetZones({"a.example|2.5", "|3", "b.example"});
    ASSERT_EQ(bl.ZoneCount(), 2u);
    EXPECT_FLOAT_EQ(bl.ZoneWeight("a.example"), 2.5f);
    EXPECT_FLOAT_EQ(bl.ZoneWeight("b.example"), 0.0f);
    EXPECT_FLOAT_EQ(bl.ZoneWeight("old.example"), -1.0f);
}

TEST(DnsBLRecordTest, CacheRecordFormat) {
    DnsBLResult r{2, 3.5f, "a.test b.test"};
    std::string data = CDnsBL::EncodeResult(r);
    EXPECT_EQ(data.size(), 8u + r.text.size());
    EXPECT_EQ(data.substr(0, 4), std::string("\x02\0\0\0", 4));
    DnsBLResult back;
    ASSERT_TRUE(CDnsBL::DecodeResult(data, &back));
    EXPECT_EQ(back.hits, 2);
    EXPECT_FLOAT_EQ(back.score, 3.5f);
    EXPECT_EQ(back.text, r.text);
    EXPECT_FALSE(CDnsBL::DecodeResult("short", &back));
}

}  // namespace
}  // namespace checks
