// Against a real DNS server (unbound, started by tests/dns_integration_test.sh on the address in
// MORVANE_TEST_DNS): every lookup kind, the cache, and the block-list check.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "checks/Dns.h"
#include "checks/DnsBL.h"
#include "checks/Reputation.h"
#include "checks/Spf.h"
#include "core/MorvaneCore.h"
#include "core/TestClient.h"
#include "platform/TestTempDir.h"

namespace checks {
namespace {

std::string Server() {
    const char* s = std::getenv("MORVANE_TEST_DNS");
    return s ? s : "";
}

class DnsIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        if (Server().empty()) GTEST_SKIP() << "MORVANE_TEST_DNS is not set";
        dns_.AddNameServer(Server());
        dns_.timeout_ms = 1000;
        // The server may still be starting: wait for its first answer.
        for (int i = 0; i < 50 && DnsResolve(dns_, "mail.example.test").empty(); ++i) {
            dns_.SetServerScore(Server(), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    CDns dns_{""};
};

TEST_F(DnsIntegration, LookupsOfEachKind) {
    EXPECT_EQ(DnsResolve(dns_, "mail.example.test"), "192.0.2.25");
    EXPECT_EQ(DnsResolve(dns_, "alias.example.test"), "192.0.2.25");
    EXPECT_EQ(DnsMx(dns_, "example.test"), "mx1.example.test;mx2.example.test");
    EXPECT_EQ(DnsNs(dns_, "example.test"), "ns1.example.test");
    EXPECT_EQ(DnsTxt(dns_, "example.test"), "v=spf1 ip4:192.0.2.0/24 -all") << "strings concatenated";
    EXPECT_EQ(DnsReverse(dns_, "192.0.2.25"), "mail.example.test");
    EXPECT_EQ(DnsResolve(dns_, "missing.example.test"), "");
}

// The same server asked over IPv6, about IPv6: AAAA, ip6.arpa names, block lists in nibbles.
TEST_F(DnsIntegration, IPv6ServerAndRecords) {
    const std::string port = Server().substr(Server().rfind(':') + 1);
    CDns dns6("");
    dns6.AddNameServer("[::1]:" + port);
    dns6.timeout_ms = 1000;
    EXPECT_EQ(DnsResolve6(dns6, "mail.example.test"), "2001:db8::25");
    EXPECT_EQ(DnsResolve6(dns6, "alias.example.test"), "2001:db8::25") << "through the alias";
    EXPECT_EQ(DnsResolve(dns6, "mail.example.test"), "192.0.2.25");
    EXPECT_EQ(DnsReverse(dns6, "2001:DB8:0::25"), "mail.example.test");
    CDnsBL bl("");
    bl.AddNameServer("[::1]:" + port);
    bl.SetZones({"bl1.test|1.5", "bl3.test|4.0|ipv4"});
    DnsBLResult r;
    ASSERT_EQ(bl.QueryDnsBL("2001:db8::2", &r), 1);
    EXPECT_EQ(r.text, "bl1.test");
    ASSERT_EQ(bl.QueryDnsBL("2001:db8::3", &r), 1);
    EXPECT_EQ(r.hits, 0);
}

// The evaluator against records served by a real name server: every mechanism the records
// above use, includes and loops, the cache, and a server that is gone.
TEST_F(DnsIntegration, SpfRecordsOfARealServer) {
    SpfDnsLookup lookup(&dns_);
    CSpf spf("", &lookup);
    EXPECT_EQ(spf.Query("192.0.2.7", "a@prefix.spf.test", "h"), kSpfPass);
    EXPECT_EQ(spf.Query("198.51.100.1", "a@prefix.spf.test", "h"), kSpfFail);
    EXPECT_EQ(spf.Query("192.0.2.7", "a@late.spf.test", "h"), kSpfFail) << "the first match decides";
    EXPECT_EQ(spf.Query("203.0.113.5", "a@outer.spf.test", "h"), kSpfPass);
    EXPECT_EQ(spf.Query("198.51.100.1", "a@outer.spf.test", "h"), kSpfSoftFail) << "an included Fail: no match";
    EXPECT_EQ(spf.Query("198.51.100.20", "a@chain.spf.test", "h"), kSpfPass) << "three includes deep";
    EXPECT_EQ(spf.Query("198.51.100.21", "a@chain.spf.test", "h"), kSpfFail);
    EXPECT_EQ(spf.Query("192.0.2.2", "a@loop-a.spf.test", "h"), kSpfPermError) << "the loop ends at ten terms";
    EXPECT_EQ(spf.Query("192.0.2.30", "", "helo.spf.test"), kSpfPass) << "empty MAIL FROM: the HELO's record";
    EXPECT_EQ(spf.Query("192.0.2.31", "", "helo.spf.test"), kSpfFail);
    EXPECT_EQ(spf.Query("192.0.2.7", "a@macro.spf.test", "h"), kSpfPass) << "%{ir} and %{d2}";
    EXPECT_EQ(spf.Query("192.0.2.8", "a@macro.spf.test", "h"), kSpfFail);
    EXPECT_EQ(spf.Query("192.0.2.8", "a@two.spf.test", "h"), kSpfPermError) << "two records";
    EXPECT_EQ(spf.Query("192.0.2.8", "a@none.spf.test", "h"), kSpfNone) << "no record";
    EXPECT_EQ(spf.Query("198.51.100.8", "a@example.test", "h"), kSpfFail) << "a record of two strings";
    EXPECT_EQ(spf.Query("192.0.2.8", "a@example.test", "h"), kSpfPass);

    // The second answer of a triple comes from the cache, even with the server gone; without
    // one, an unanswered lookup is TempError.
    CDns offline("");
    offline.AddNameServer("127.0.0.1:9");
    SpfDnsLookup gone(&offline);
    CSpf cached("", &gone);
    EXPECT_EQ(cached.Query("198.51.100.20", "a@chain.spf.test", "h"), kSpfTempError);
    EXPECT_EQ(spf.Query("198.51.100.20", "a@chain.spf.test", "h"), kSpfPass);
}

TEST_F(DnsIntegration, CacheSurvivesARestart) {
    platform::TestTempDir dir;
    {
        CDns dns(dir.File("cache_dns.db"));
        dns.AddNameServer(Server());
        EXPECT_EQ(DnsMx(dns, "example.test"), "mx1.example.test;mx2.example.test");
    }
    CDns offline(dir.File("cache_dns.db"));
    offline.AddNameServer("127.0.0.1:9");  // nothing listens there: only the cache can answer
    EXPECT_EQ(DnsMx(offline, "example.test"), "mx1.example.test;mx2.example.test");
}

TEST_F(DnsIntegration, BlockListCheck) {
    CDnsBL bl("");
    bl.AddNameServer(Server());
    for (const char* z : {"bl1.test|1.450", "bl2.test|1.450", "bl3.test|4.850", "bl4.test|4.500"}) bl.AddZone(z);
    bl.global_timeout_ms = 2100;
    bl.single_timeout_ms = 500;
    bl.maxhit = 3;
    bl.maxreplies = 4;
    DnsBLResult r;
    ASSERT_EQ(bl.QueryDnsBL("192.0.2.2", &r), 1);
    EXPECT_EQ(r.hits, 2) << "bl4's 127.255.255.254 is an error code, not a listing";
    EXPECT_FLOAT_EQ(r.score, 1.45f + 4.85f);
    EXPECT_EQ(r.text, r.text.find("bl1.test") == 0 ? "bl1.test bl3.test" : "bl3.test bl1.test");
    DnsBLResult clean;
    ASSERT_EQ(bl.QueryDnsBL("192.0.2.3", &clean), 1);
    EXPECT_EQ(clean.hits, 0);
    EXPECT_TRUE(bl.Cache().Get("192.0.2.3"));
}

TEST_F(DnsIntegration, HeloRefreshFindsOurMxHosts) {
    store::CDB_RAM domains;
    domains.Insert("local.test", "1");
    domains.Insert("example.test", "1");
    TableDomains source(domains);
    CHeloForget helo("");
    ASSERT_EQ(helo.Refresh("198.51.100.7", "gateway.local.test", &dns_, &source), 1);
    EXPECT_EQ(helo.Contains("mx.local.test"), 1);
    EXPECT_EQ(helo.Contains("[198.51.100.7]"), 1);
    EXPECT_EQ(helo.Contains("mx1.example.test"), 0) << "resolves to another address (or not at all)";
}

TEST_F(DnsIntegration, CoreRefusesABlockListedClient) {
    platform::TestTempDir dir;
    config::CKernelConfig config("");
    config.listen_ip = "127.0.0.1";
    config.listen_port = "0";
    config.script_enable = true;
    config.myname = "mx.test";
    config.dns_nameservers = {common::String(Server())};
    config.dnsbl_zones = {common::String("bl1.test|1.450"), common::String("bl2.test|1.450"),
                          common::String("bl3.test|4.850"), common::String("bl4.test|4.500")};
    config.maxhit = 2;
    core::CMorvaneCore core(config, dir.Path().string());
    int fd = core::testing::ConnectLoopback(core.Listener()->Port());
    ASSERT_GE(fd, 0);
    std::string reply;
    char buf[256];
    for (int i = 0; i < 500 && reply.find("\r\n") == std::string::npos; ++i) {
        core.Step();
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) reply.append(buf, static_cast<size_t>(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(fd);
    EXPECT_EQ(reply.substr(0, reply.find("\r\n")),
              "554 5.7.7 IP in the DNSBL " +
                  std::string(reply.find("bl1.test bl3.test") != std::string::npos ? "bl1.test bl3.test"
                                                                                   : "bl3.test bl1.test") +
                  " ");
    EXPECT_EQ(core.Statistics()->Value("f6_reject-dnsbl").value_or(0), 1.0f);
}

}  // namespace
}  // namespace checks
