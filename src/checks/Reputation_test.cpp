#include "checks/Reputation.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "checks/Dns.h"
#include "checks/FakeDns.h"
#include "checks/FakeRedis.h"
#include "checks/Greylist.h"
#include "common/Clock.h"
#include "platform/TestTempDir.h"

namespace checks {
namespace {

TEST(ReputationTest, LanRanges) {
    struct Case {
        const char* ip;
        int want;
    } cases[] = {{"172.16.5.5", 1}, {"172.31.0.1", 1},  {"172.32.0.1", 0},      {"127.0.0.1", 1},      {"127.1.0.1", 0},
                 {"10.200.1.1", 1}, {"192.168.0.1", 1}, {"192.169.0.1", 0},     {"8.8.8.8", 0},        {"10.0.0", 0},
                 {"", 0},           {"::1", 1},         {"fd12:3456::1", 1},    {"fe80::1", 1},        {"febf::1", 1},
                 {"fec0::1", 0},    {"2001:db8::1", 0}, {"::ffff:10.1.1.1", 1}, {"::ffff:8.8.8.8", 0}, {"::2", 0}};
    for (const Case& c : cases) EXPECT_EQ(IsLanIp(c.ip), c.want) << c.ip;
}

TEST(ReputationTest, EmbargoKeepsTheFirstExpiryAndExpires) {
    platform::TestTempDir dir;
    {
        CIpInferno inferno(dir.File("ip_imbargo.db"));
        inferno.Add("192.0.2.1", 1000);
        inferno.Add("192.0.2.1", 5000);
        inferno.Add("192.0.2.2", 3000);
        EXPECT_EQ(inferno.Contains("192.0.2.1"), 1);
        EXPECT_EQ(inferno.Table().Get("192.0.2.1")->data, "1000");
        EXPECT_EQ(inferno.Hygiene(2000), 1);
        EXPECT_EQ(inferno.Contains("192.0.2.1"), 0);
        EXPECT_EQ(inferno.Contains("192.0.2.2"), 1);
    }
    CIpInferno reloaded(dir.File("ip_imbargo.db"));
    EXPECT_EQ(reloaded.Contains("192.0.2.2"), 1) << "the hygiene saved the table";
    EXPECT_EQ(reloaded.Contains("192.0.2.1"), 0);
}

TEST(ReputationTest, EmbargoGroupsClientsAndKeepsOldRecords) {
    CIpInferno inferno("");
    inferno.Add("2001:db8:1:2::7", 1000);
    EXPECT_EQ(inferno.Table().Get("2001:db8:1:2::/64")->data, "1000") << "an IPv6 client is embargoed by its /64";
    EXPECT_EQ(inferno.Contains("2001:db8:1:2:ffff::9"), 1);
    EXPECT_EQ(inferno.Contains("2001:db8:1:3::7"), 0);
    inferno.Add("192.0.2.1", 1000);
    EXPECT_EQ(inferno.Contains("192.0.2.1"), 1);
    EXPECT_EQ(inferno.Contains("192.0.2.2"), 0) << "IPv4 clients count one by one by default";
    inferno.SetPrefix(common::ClientPrefix::Of(24, 128));
    EXPECT_EQ(inferno.Contains("192.0.2.1"), 1) << "a record written before the prefix changed still holds";
    EXPECT_EQ(inferno.Contains("2001:db8:1:2::7"), 0) << "a /64 record is not this /128 client's";
    inferno.Add("198.51.100.9", 2000);
    EXPECT_EQ(inferno.Contains("198.51.100.200"), 1);
    EXPECT_TRUE(inferno.Table().Get("198.51.100.0/24"));
}

TEST(ReputationTest, AutoWhitelistWorksInTheReplyDirection) {
    CAutoWhitelist alwl("");
    alwl.Add("s@local.org", "a@x.net b@y.net s@local.org");
    EXPECT_EQ(alwl.Table().GetCount(), 2) << "the sender itself is not whitelisted";
    EXPECT_EQ(alwl.Contains("a@x.net", "s@local.org"), 1);
    EXPECT_EQ(alwl.Contains("B@Y.NET", "S@local.org"), 1) << "case does not matter";
    EXPECT_EQ(alwl.Contains("s@local.org", "a@x.net"), 0) << "only the reply direction";
    EXPECT_EQ(alwl.Contains("prvs=0123=a@x.net", "s@local.org"), 1) << "a BATV-tagged sender is the same sender";
    alwl.Add("prvs=99=s2@local.org", "c@z.net");
    EXPECT_EQ(alwl.Contains("c@z.net", "s2@local.org"), 1);
    script::CS_Array view;
    alwl.View(&view, 100, 0, "^c@", 2);
    EXPECT_EQ(view.GetRecordCount(), 1);
    EXPECT_EQ(alwl.Contains("", "x"), 0);
}

TEST(ReputationTest, SpamTrapsIgnoreCase) {
    CSpamTrap traps("");
    traps.Add("Trap@Example.org");
    EXPECT_EQ(traps.Contains("a@b.c TRAP@example.ORG"), 1);
    EXPECT_EQ(traps.Contains("a@b.c"), 0);
    std::string response = CSpamTrap::Response();
    EXPECT_EQ(std::count(response.begin(), response.end(), '\n'), 9);
    EXPECT_EQ(response.rfind("550 5.7.1 LASCIATE OGNI SPERANZA, VOI CH'ENTRATE...\r\n"), response.size() - 53);
}

TEST(ReputationTest, SessionCounter) {
    CSessionCounter c;
    c.SetMaximum(2);
    c.Add("192.0.2.1");
    c.Add("192.0.2.1");
    c.Add("192.0.2.2");
    EXPECT_EQ(c.Count("192.0.2.1"), 2);
    EXPECT_EQ(c.Refusals(), 1) << "a count at the maximum is a refusal";
    EXPECT_TRUE(c.Remove("192.0.2.1"));
    EXPECT_EQ(c.Count("192.0.2.1"), 1);
    EXPECT_FALSE(c.Remove("203.0.113.1"));
    // IPv6 clients of one /64 are one client; a new prefix applies to sessions already open.
    c.SetMaximum(10);
    c.Add("2001:db8:1:2::1");
    c.Add("2001:db8:1:2::2");
    c.Add("2001:db8:1:3::1");
    EXPECT_EQ(c.Count("2001:db8:1:2:ffff::5"), 2);
    c.SetPrefix(common::ClientPrefix::Of(24, 128));
    EXPECT_EQ(c.Count("2001:db8:1:2::1"), 1);
    EXPECT_EQ(c.Count("192.0.2.200"), 2) << "192.0.2.1 and 192.0.2.2 in one /24";
    EXPECT_FALSE(c.Remove("2001:db8:1:2::9")) << "removal is of the address registered";
    EXPECT_TRUE(c.Remove("2001:db8:1:2::2"));
    EXPECT_EQ(c.Count("not an address"), 0);
}

TEST(ReputationTest, SessionCounterAdmitsUpToTheMaximum) {
    CSessionCounter c;
    c.SetMaximum(2);
    EXPECT_TRUE(c.Admit("192.0.2.1"));
    EXPECT_TRUE(c.Admit("192.0.2.1"));
    EXPECT_FALSE(c.Admit("192.0.2.1")) << "the third of a group at a maximum of 2";
    EXPECT_EQ(c.Refusals(), 1);
    EXPECT_EQ(c.Count("192.0.2.1"), 2) << "a refused one is not registered";
    EXPECT_TRUE(c.Remove("192.0.2.1"));
    EXPECT_TRUE(c.Admit("192.0.2.1"));
    // Redis configured but not answering: the local count decides at once.
    CRedis down;
    CRedis::Settings s;
    s.server = "127.0.0.1:1";
    down.Configure(s);
    CSessionCounter shared;
    shared.SetShared(&down, "node");
    shared.SetMaximum(1);
    EXPECT_TRUE(shared.Admit("192.0.2.9"));
    EXPECT_FALSE(shared.Admit("192.0.2.9"));
    EXPECT_FALSE(down.Up());
}

TEST(ReputationTest, ListsAreSharedByTwoKernelsOnRedis) {
    FakeRedis server;
    CRedis redis;
    redis.Configure(server.Settings());
    // Kernel A lists, kernel B (its own empty tables) finds.
    CIpInferno inferno_a(""), inferno_b("");
    CSpamTrap traps_a(""), traps_b("");
    CAutoWhitelist alwl_a(""), alwl_b("");
    inferno_a.SetShared(&redis, "embargo");
    inferno_b.SetShared(&redis, "embargo");
    traps_a.SetShared(&redis, "spamtrap");
    traps_b.SetShared(&redis, "spamtrap");
    alwl_a.SetShared(&redis, "alwl");
    alwl_b.SetShared(&redis, "alwl");
    inferno_a.Add("192.0.2.66", static_cast<int32_t>(common::NowSeconds() + 3600));
    traps_a.Add("Trap@Local.Test");
    EXPECT_EQ(traps_b.Contains("trap@local.test"), 0) << "B knows the site's traps from its last sync";
    traps_b.SyncShared();
    alwl_a.Add("user@local.test", "friend@far.test");
    EXPECT_EQ(inferno_b.Contains("192.0.2.66"), 1);
    EXPECT_EQ(inferno_b.Contains("192.0.2.67"), 0);
    EXPECT_EQ(traps_b.Contains("x@y.test trap@local.test"), 1);
    EXPECT_EQ(alwl_b.Contains("friend@far.test", "user@local.test"), 1) << "the reply direction, as locally";
    EXPECT_EQ(inferno_b.Table().GetCount(), 0) << "B's own table is not filled";
    // The operator's delete at B removes the site's record.
    EXPECT_TRUE(inferno_b.ForgetShared("192.0.2.66"));
    EXPECT_EQ(inferno_a.Contains("192.0.2.66"), 1) << "A still has its own record";
    EXPECT_EQ(inferno_b.Contains("192.0.2.66"), 0);
    // Greylist: first seen at A, the retry after the delay passes at B.
    CGreylist grey_a("", nullptr), grey_b("", nullptr);
    grey_a.SetShared(&redis, "greylist");
    grey_b.SetShared(&redis, "greylist");
    grey_a.SetEmbargo(1, 0);
    grey_b.SetEmbargo(1, 0);
    const std::string triples = CGreylist::PrepareTriples("<r@local.test>", "192.0.2.70", "<s@far.test>", "<>", "");
    EXPECT_EQ(grey_b.Pass(triples), 0);
    grey_a.Add(triples);
    EXPECT_EQ(grey_b.Pass(triples), 1);
}

class FixedDomains : public LocalDomains {
public:
    std::vector<std::string> Domains() override { return {"local.test", "other.test"}; }
};

TEST(ReputationTest, HeloRefreshFromMxRecords) {
    FakeDns server;
    server.Add("local.test", kTypeMX, kTypeMX, std::string("\0\x0a", 2) + FakeDns::Name("MX.local.test"));
    server.Add("mx.local.test", kTypeA, kTypeA, FakeDns::A(198, 51, 100, 7));
    server.Add("other.test", kTypeMX, kTypeMX, std::string("\0\x0a", 2) + FakeDns::Name("mx.elsewhere.test"));
    server.Add("mx.elsewhere.test", kTypeA, kTypeA, FakeDns::A(203, 0, 113, 1));
    CDns dns("");
    dns.AddNameServer(server.Address());
    FixedDomains domains;
    CHeloForget helo("");
    helo.Table().Insert("stale.name", "x");
    EXPECT_EQ(helo.Refresh("", "mail.local.test", &dns, &domains), 0) << "no public address: nothing happens";
    EXPECT_EQ(helo.Refresh("198.51.100.7", "Mail.Local.Test", &dns, &domains), 1);
    for (const char* name : {"[198.51.100.7]", "friends", "localhost", "LOCALHOST", "198.51.100.7", "mx.local.test",
                             "mail.local.test", "'198.51.100.7'"})
        EXPECT_EQ(helo.Contains(name), 1) << name;
    EXPECT_EQ(helo.Contains("mx.elsewhere.test"), 0) << "an MX host of another address is not ours";
    EXPECT_EQ(helo.Contains("stale.name"), 0) << "the list is rebuilt";
    EXPECT_EQ(helo.Contains("[198.51.100.8]"), 0);

    // A public IPv6 address: MX hosts are matched by their AAAA records, literals in any spelling.
    server.Add("mx.local.test", kTypeAAAA, kTypeAAAA, std::string("\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\0\0\0\x25", 16));
    EXPECT_EQ(helo.Refresh("2001:DB8::25", "mail.local.test", &dns, &domains), 1);
    for (const char* name :
         {"mx.local.test", "[IPv6:2001:db8::25]", "[ipv6:2001:DB8:0:0::25]", "2001:db8::25", "[2001:db8:0::25]"})
        EXPECT_EQ(helo.Contains(name), 1) << name;
    EXPECT_EQ(helo.Contains("[IPv6:2001:db8::26]"), 0);
}

}  // namespace
}  // namespace checks
