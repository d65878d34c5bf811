#include "checks/Community.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "platform/TestTempDir.h"

namespace checks {
namespace {

const std::string kSecret = "site-secret";

int64_t Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

CommunityMessage Announcement(const std::string& ip, const std::string& sender, const std::string& peer) {
    CommunityMessage m;
    m.type = kCmyAnnounce;
    m.id = 42;
    m.time = static_cast<uint32_t>(Now());
    m.verdict = kCmyFail;
    m.client_ip = ip;
    m.sender = sender;
    m.helo = "helo.test";
    m.peer = peer;
    return m;
}

TEST(CommunityTest, DatagramsAreSignedCheckedAndBounded) {
    CommunityMessage m = Announcement("192.0.2.7", "a@Spam.TEST", "k1");
    std::string d = EncodeCommunity(m, kSecret);
    CommunityMessage got;
    ASSERT_EQ(DecodeCommunity(d, kSecret, Now(), &got), CmyDecode::kOk);
    EXPECT_EQ(got.id, 42u);
    EXPECT_EQ(got.sender, "a@Spam.TEST");
    EXPECT_EQ(got.peer, "k1");
    // Another secret, a flipped byte, no signature, a clock 10 minutes off, junk.
    EXPECT_EQ(DecodeCommunity(d, "other", Now(), &got), CmyDecode::kForged);
    std::string flipped = d;
    flipped[25] ^= 1;
    EXPECT_EQ(DecodeCommunity(flipped, kSecret, Now(), &got), CmyDecode::kForged);
    EXPECT_NE(DecodeCommunity(d.substr(0, d.size() - kCmyMacBytes), kSecret, Now(), &got), CmyDecode::kOk);
    EXPECT_EQ(DecodeCommunity(d, kSecret, Now() + 600, &got), CmyDecode::kStale);
    EXPECT_EQ(DecodeCommunity("MVC1", kSecret, Now(), &got), CmyDecode::kMalformed);
    EXPECT_EQ(DecodeCommunity(std::string(2000, 'x'), kSecret, Now(), &got), CmyDecode::kMalformed);
    // Fields are cut to 255 bytes, so the largest datagram fits the limit.
    m.client_ip = m.sender = m.helo = m.peer = std::string(1000, 'z');
    d = EncodeCommunity(m, kSecret);
    EXPECT_LE(d.size(), kCmyMaxDatagram);
    ASSERT_EQ(DecodeCommunity(d, kSecret, Now(), &got), CmyDecode::kOk);
    EXPECT_EQ(got.sender.size(), 255u);
    EXPECT_EQ(SenderDomain("<Bob@Example.ORG>"), "example.org");
}

TEST(CommunityTest, ServerCountsDistinctPeersWithinTheAge) {
    platform::TestTempDir dir;
    CCommunityServer s(dir.File("community.db"));
    CCommunityServer::Settings st;
    st.secret = kSecret;
    st.age_hours = 1;
    ASSERT_TRUE(s.Configure(st));  // port 0: not serving, the table still judges
    const int64_t now = Now();
    EXPECT_EQ(s.Judge("192.0.2.7", "x@spam.test", now), kCmyNeutral);
    s.Record("192.0.2.7", "a@spam.test", "k1", now);
    s.Record("192.0.2.7", "b@spam.test", "k1", now);  // the same peer again
    EXPECT_EQ(s.Judge("192.0.2.7", "x@other.test", now), kCmySoftfail);
    EXPECT_EQ(s.Judge("198.51.100.1", "y@SPAM.test", now), kCmySoftfail);  // by the sender's domain
    s.Record("203.0.113.9", "c@spam.test", "k2", now);
    s.Record("203.0.113.9", "c@spam.test", "k3", now);
    EXPECT_EQ(s.Judge("198.51.100.1", "y@spam.test", now), kCmyHardfail);
    EXPECT_EQ(s.Judge("192.0.2.7", "", now + 2 * 3600), kCmyNeutral);  // aged out
    ASSERT_TRUE(s.Save());
    CCommunityServer again(dir.File("community.db"));
    ASSERT_TRUE(again.Configure(st));
    EXPECT_EQ(again.Judge("198.51.100.1", "y@spam.test", now), kCmyHardfail) << "the table survives a restart";
}

class CommunityNetTest : public ::testing::Test {
protected:
    void SetUp() override {
        CCommunityServer::Settings st;
        st.port = 0;
        st.secret = kSecret;
        server_ = std::make_unique<CCommunityServer>(dir_.File("server.db"));
        // Any free port: bind once to learn one, then serve on it.
        platform::UdpSocket probe;
        ASSERT_TRUE(probe.BindLoopback(0));
        st.port = probe.LocalPort();
        probe.Close();
        ASSERT_TRUE(server_->Configure(st));
        client_ = std::make_unique<CBrumaCommunity>(dir_.File("cache.db"));
    }
    CBrumaCommunity::Settings Client(std::vector<std::string> servers, int timeout_ms = 400) {
        CBrumaCommunity::Settings c;
        c.servers = std::move(servers);
        c.secret = kSecret;
        c.peer = "k2";
        c.timeout_ms = timeout_ms;
        return c;
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(server_->Port()); }

    platform::TestTempDir dir_;
    std::unique_ptr<CCommunityServer> server_;
    std::unique_ptr<CBrumaCommunity> client_;
};

TEST_F(CommunityNetTest, AnnouncementsRaiseTheScoreOfOtherKernels) {
    client_->Configure(Client({Address()}));
    EXPECT_EQ(client_->Query("192.0.2.7", "a@spam.test", "h"), 0.0f);
    EXPECT_EQ(client_->Test("probe@x.test"), 1);
    CBrumaCommunity other(dir_.File("other.db"));
    CBrumaCommunity::Settings o = Client({Address()});
    o.peer = "k1";
    other.Configure(o);
    other.Announce("192.0.2.7", "a@spam.test", "h");
    for (int i = 0; i < 100 && server_->Announcements() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // The client remembers its neutral answer for a while; another sender of the same domain
    // is asked afresh.
    EXPECT_EQ(client_->Query("198.51.100.1", "b@spam.test", "h"), 2.5f);
    EXPECT_EQ(client_->NameOfScore(2.5f), "SOFTFAIL");
    script::CS_Array out;
    client_->Servers(&out);
    EXPECT_NE(out.GetS(Address().c_str()), "");
}

TEST_F(CommunityNetTest, UnsignedForgedAndReplayedDatagramsAreDropped) {
    platform::UdpSocket s;
    ASSERT_TRUE(s.Open());
    auto to = platform::ParseEndpoint(Address(), 0);
    ASSERT_TRUE(to);
    CommunityMessage m = Announcement("192.0.2.99", "evil@forged.test", "mallory");
    s.SendTo(*to, "not a datagram", 100);
    s.SendTo(*to, EncodeCommunity(m, "wrong secret"), 100);
    std::string good = EncodeCommunity(Announcement("192.0.2.50", "a@replay.test", "k9"), kSecret);
    s.SendTo(*to, good, 100);
    s.SendTo(*to, good, 100);  // the same id again
    for (int i = 0; i < 100 && server_->Drops().stale.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(server_->Drops().malformed.load(), 1u);
    EXPECT_EQ(server_->Drops().forged.load(), 1u);
    EXPECT_EQ(server_->Drops().stale.load(), 1u);
    EXPECT_EQ(server_->Announcements(), 1u);
    EXPECT_EQ(server_->Judge("192.0.2.99", "x@forged.test", Now()), kCmyNeutral);
}

TEST_F(CommunityNetTest, SilentServersCostTheTimeOutAndNoServersNothing) {
    platform::UdpSocket silent;
    ASSERT_TRUE(silent.BindLoopback(0));
    client_->Configure(Client(
        {"127.0.0.1:" + std::to_string(silent.LocalPort()), "127.0.0.1:" + std::to_string(silent.LocalPort())}, 300));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client_->Query("192.0.2.1", "a@b.test", "h"), 0.0f);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 1000) << "one time-out for all servers";
    // No servers (or no secret): neutral at once, nothing sent.
    CBrumaCommunity none(dir_.File("none.db"));
    none.Configure(Client({}));
    EXPECT_EQ(none.Query("192.0.2.1", "a@b.test", "h"), 0.0f);
    none.Announce("192.0.2.1", "a@b.test", "h");
    CBrumaCommunity::Settings nosecret = Client({Address()});
    nosecret.secret.clear();
    none.Configure(nosecret);
    EXPECT_EQ(none.Query("192.0.2.1", "a@b.test", "h"), 0.0f);
    EXPECT_EQ(none.DatagramsSent(), 0u);
}

}  // namespace
}  // namespace checks
