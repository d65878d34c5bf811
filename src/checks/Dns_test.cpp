#include "checks/Dns.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "platform/TestTempDir.h"
#include "platform/UdpSocket.h"

namespace checks {
namespace {

// A loopback DNS responder with canned answers, counting the questions it gets.
class FakeDns {
public:
    using Records = std::vector<std::pair<uint16_t, std::string>>;  // (type, rdata)
    explicit FakeDns(bool silent = false, bool send_noise_first = false)
        : silent_(silent), noise_(send_noise_first) {
        sock_.BindLoopback(0);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeDns() {
        stop_ = true;
        thread_.join();
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(sock_.LocalPort()); }
    void Add(const std::string& name, uint16_t type, uint16_t rtype, const std::string& rdata) {
        std::scoped_lock lock(mu_);
        records_[{name, type}].push_back({rtype, rdata});
    }
    int Questions() const { return questions_; }

    static std::string A(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
        return std::string{static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d)};
    }
    static std::string Name(const std::string& n) {
        std::string out;
        size_t start = 0;
        while (start < n.size()) {
            size_t dot = n.find('.', start);
            if (dot == std::string::npos) dot = n.size();
            out += static_cast<char>(dot - start);
            out += n.substr(start, dot - start);
            start = dot + 1;
        }
        return out + '\0';
    }

private:
    void Serve() {
        std::string in;
        platform::Endpoint from;
        while (!stop_) {
            if (!sock_.RecvFrom(in, 512, 20, &from)) continue;
            ++questions_;
            if (silent_) continue;
            auto q = ParseReply(in);  // a query parses as a message with no answers
            if (!q) continue;
            Records recs;
            {
                std::scoped_lock lock(mu_);
                recs = records_[{q->question, q->qtype}];
            }
            std::string out = in.substr(0, 2) + std::string("\x81\x80\x00\x01", 4);
            out += static_cast<char>(recs.size() >> 8);
            out += static_cast<char>(recs.size() & 0xFF);
            out += std::string(4, '\0');
            out += in.substr(12);  // the question
            for (const auto& [type, rdata] : recs) {
                out += std::string("\xc0\x0c", 2);
                out += static_cast<char>(type >> 8);
                out += static_cast<char>(type & 0xFF);
                out += std::string("\x00\x01\x00\x00\x01\x2c", 6);
                out += static_cast<char>(rdata.size() >> 8);
                out += static_cast<char>(rdata.size() & 0xFF);
                out += rdata;
            }
            if (noise_) {
                std::string wrong = out;
                wrong[0] = static_cast<char>(wrong[0] ^ 0x55);  // another query's ID
                sock_.SendTo(from, wrong, 100);
            }
            sock_.SendTo(from, out, 100);
        }
    }

    platform::UdpSocket sock_;
    bool silent_, noise_;
    std::atomic<bool> stop_{false};
    std::atomic<int> questions_{0};
    std::mutex mu_;
    std::map<std::pair<std::string, uint16_t>, Records> records_;
    std::thread thread_;
};

TEST(DnsTest, LookupsOfEachKind) {
    FakeDns server;
    server.Add("mail.example.org", kTypeA, kTypeA, FakeDns::A(192, 0, 2, 25));
    server.Add("alias.example.org", kTypeA, kTypeCNAME, FakeDns::Name("mail.example.org"));
    server.Add("example.org", kTypeMX, kTypeMX, std::string("\0\x0a", 2) + FakeDns::Name("mx1.example.org"));
    server.Add("example.org", kTypeMX, kTypeMX, std::string("\0\x14", 2) + FakeDns::Name("mx2.example.org"));
    server.Add("example.org", kTypeNS, kTypeNS, FakeDns::Name("ns1.example.org"));
    server.Add("example.org", kTypeTXT, kTypeTXT, std::string("\x06v=spf1\x04-all"));
    server.Add("25.2.0.192.in-addr.arpa", kTypePTR, kTypePTR, FakeDns::Name("mail.example.org"));
    CDns dns("");
    dns.AddNameServer(server.Address());
    EXPECT_EQ(DnsResolve(dns, "mail.example.org"), "192.0.2.25");
    EXPECT_EQ(DnsResolve(dns, "alias.example.org"), "192.0.2.25") << "a CNAME answer is followed";
    EXPECT_EQ(DnsMx(dns, "example.org"), "mx1.example.org;mx2.example.org");
    EXPECT_EQ(DnsNs(dns, "example.org"), "ns1.example.org");
    EXPECT_EQ(DnsTxt(dns, "example.org"), "v=spf1.-all");
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

TEST(DnsTest, OversizedAnswerSetsFailAndAreNotCached) {
    FakeDns server;
    for (int i = 0; i < 60; ++i) server.Add("big.example.org", kTypeA, kTypeA, FakeDns::A(10, 0, 0, static_cast<uint8_t>(i)));
    CDns dns("");
    dns.AddNameServer(server.Address());
    EXPECT_EQ(DnsResolve(dns, "big.example.org"), "");
    EXPECT_FALSE(dns.Cache().Get("big.example.org 1"));
}

}  // namespace
}  // namespace checks
