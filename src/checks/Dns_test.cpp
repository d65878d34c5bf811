#include "checks/Dns.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "checks/FakeDns.h"
#include "platform/TestTempDir.h"
#include "platform/UdpSocket.h"

namespace checks {
namespace {

TEST(DnsTest, LookupsOfEachKind) {
    FakeDns server;
    server.Add("mail.example.org", kTypeA, kTypeA, FakeDns::A(192, 0, 2, 25));
    server.Add("alias.example.org", kTypeA, kTypeCNAME, FakeDns::Name("mail.example.org"));
    server.Add("example.org", kTypeMX, kTypeMX, std::string("\0\x0a", 2) + FakeDns::Name("mx1.example.org"));
    server.Add("example.org", kTypeMX, kTypeMX, std::string("\0\x14", 2) + FakeDns::Name("mx2.example.org"));
    server.Add("example.org", kTypeNS, kTypeNS, FakeDns::Name("ns1.example.org"));
    // One record in two character-strings: it means their concatenation, nothing put between.
    server.Add("example.org", kTypeTXT, kTypeTXT,
               std::string("\x0dv=spf1 ip4:19"
                           "\x0d"
                           "2.0.2.25 -all"));
    server.Add("25.2.0.192.in-addr.arpa", kTypePTR, kTypePTR, FakeDns::Name("mail.example.org"));
    CDns dns("");
    dns.AddNameServer(server.Address());
    EXPECT_EQ(DnsResolve(dns, "mail.example.org"), "192.0.2.25");
    EXPECT_EQ(DnsResolve(dns, "alias.example.org"), "192.0.2.25") << "a CNAME answer is followed";
    EXPECT_EQ(DnsMx(dns, "example.org"), "mx1.example.org;mx2.example.org");
    EXPECT_EQ(DnsNs(dns, "example.org"), "ns1.example.org");
    EXPECT_EQ(DnsTxt(dns, "example.org"), "v=spf1 ip4:192.0.2.25 -all");
    EXPECT_EQ(DnsReverse(dns, "192.0.2.25"), "mail.example.org");
    EXPECT_TRUE(dns.Cache().Get("192.0.2.25 12")) << "the cache key is the address asked, not the reversed name";
    EXPECT_EQ(DnsResolve(dns, "nothing.example.org"), "");
}

TEST(DnsTest, CacheAnswersWithoutTheNetworkAlsoAfterARestart) {
    platform::TestTempDir dir;
    FakeDns server;
    server.Add("a.example.org", kTypeA, kTypeA, FakeDns::A(10, 0, 0, 1));
    {
        CDns dns(dir.File("cache_dns.db"));
        dns.AddNameServer(server.Address());
        EXPECT_EQ(DnsResolve(dns, "a.example.org"), "10.0.0.1");
        EXPECT_EQ(DnsResolve(dns, "a.example.org"), "10.0.0.1");
        EXPECT_EQ(server.Questions(), 1);
    }
    CDns again(dir.File("cache_dns.db"));
    again.AddNameServer(server.Address());
    EXPECT_EQ(DnsResolve(again, "a.example.org"), "10.0.0.1");
    EXPECT_EQ(server.Questions(), 1) << "answered from db/cache_dns.db";
}

TEST(DnsTest, FailoverScoresAndUnrelatedDatagrams) {
    FakeDns silent(true);
    FakeDns noisy(false, true);
    noisy.Add("b.example.org", kTypeA, kTypeA, FakeDns::A(10, 0, 0, 2));
    noisy.Add("c.example.org", kTypeA, kTypeA, FakeDns::A(10, 0, 0, 3));
    CDns dns("");
    dns.timeout_ms = 150;
    dns.AddNameServer(silent.Address());
    dns.AddNameServer(noisy.Address());
    dns.AddNameServer(noisy.Address());  // duplicates are ignored
    EXPECT_EQ(dns.Servers().size(), 2u);
    EXPECT_EQ(DnsResolve(dns, "b.example.org"), "10.0.0.2") << "a wrong-ID datagram is not the answer";
    auto servers = dns.Servers();
    EXPECT_EQ(servers[0].second, 150 + 1000) << "the silent server is scored time-out + 1000";
    EXPECT_LT(servers[1].second, 150);
    EXPECT_EQ(dns.PickServer(), noisy.Address());
    EXPECT_EQ(DnsResolve(dns, "c.example.org"), "10.0.0.3");
    EXPECT_EQ(silent.Questions(), 1) << "later queries go to the faster server";

    CDns none("");
    std::vector<DnsAnswer> answers;
    EXPECT_FALSE(none.Query("x.org", kTypeA, &answers));
    EXPECT_EQ(none.PickServer(), "127.0.0.1");
}

uint16_t ClosedPort() {
    platform::UdpSocket s;
    s.Open();
    s.BindLoopback(0);
    return s.LocalPort();  // closed when `s` goes: its datagrams are refused
}

// A DNS outage must not slow lookups down: a refused server fails at once, a failed server is
// left alone for a while (the others first), and with every server down lookups fail at once.
TEST(DnsTest, ServersAreReplacedWholeAndKeepTheirScores) {
    CDns dns("");
    dns.AddNameServer("10.0.0.1");
    dns.AddNameServer("10.0.0.2");
    dns.SetServerScore("10.0.0.2", 7);
    dns.SetNameServers({"10.0.0.2", "10.0.0.3", "", "10.0.0.3"});
    EXPECT_EQ(dns.Servers(), (std::vector<std::pair<std::string, int32_t>>{{"10.0.0.2", 7}, {"10.0.0.3", 0}}));
}

TEST(DnsTest, OutagesFailFastAndServersComeBack) {
    FakeDns good;
    good.Add("a.example.org", kTypeA, kTypeA, FakeDns::A(10, 0, 0, 1));
    good.Add("b.example.org", kTypeA, kTypeA, FakeDns::A(10, 0, 0, 2));
    const std::string refused = "127.0.0.1:" + std::to_string(ClosedPort());
    CDns dns("");
    // A time-out no test run could sit out unnoticed: waiting for the refused server would take
    // a minute, where the refusal itself takes microseconds (no bound tight enough to flake).
    dns.timeout_ms = 60000;
    dns.AddNameServer(refused);
    dns.AddNameServer(good.Address());
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(DnsResolve(dns, "a.example.org"), "10.0.0.1") << "the next server answers";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30)) << "the refusal is not waited out";
    EXPECT_EQ(dns.ServersUp(), 1u);

    // Every server down: no packet, no wait.
    FakeDns silent(true);
    CDns down("");
    down.timeout_ms = 150;
    down.down_ms = 300;
    down.AddNameServer(silent.Address());
    std::vector<DnsAnswer> answers;
    EXPECT_FALSE(down.Query("x.example.org", kTypeA, &answers));
    EXPECT_EQ(silent.Questions(), 1);
    // No packet is no wait: the question count says it without a clock.
    EXPECT_FALSE(down.Query("y.example.org", kTypeA, &answers));
    EXPECT_EQ(silent.Questions(), 1) << "a server that is down is not asked";
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    EXPECT_FALSE(down.Query("z.example.org", kTypeA, &answers));
    EXPECT_EQ(silent.Questions(), 2) << "asked again once its time is up";
}

TEST(DnsTest, SessionLookupsAreBoundedAndFailuresRemembered) {
    FakeDns silent(true);
    CDns dns("");
    dns.timeout_ms = 60000;  // the budget (200 ms) must end the lookup long before this
    dns.AddNameServer(silent.Address());
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(DnsReverseForSession(dns, "192.0.2.7", 200), "");
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(190));
    EXPECT_LT(took, std::chrono::seconds(30)) << "the budget bounds the lookup, not the server's time-out";
    EXPECT_EQ(dns.ServersUp(), 1u) << "cut short by the budget: the server is not blamed";
    EXPECT_EQ(DnsReverseForSession(dns, "192.0.2.7", 200), "");
    EXPECT_EQ(silent.Questions(), 1) << "the address's failure is remembered";
}

TEST(DnsTest, OversizedAnswerSetsFailAndAreNotCached) {
    FakeDns server;
    for (int i = 0; i < 60; ++i)
        server.Add("big.example.org", kTypeA, kTypeA, FakeDns::A(10, 0, 0, static_cast<uint8_t>(i)));
    CDns dns("");
    dns.AddNameServer(server.Address());
    EXPECT_EQ(DnsResolve(dns, "big.example.org"), "");
    EXPECT_FALSE(dns.Cache().Get("big.example.org 1"));
}

}  // namespace
}  // namespace checks
