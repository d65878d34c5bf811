#include "checks/Redis.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace checks {
namespace {

// A loopback server that speaks just enough RESP: every command gets ":1" (or "-ERR x" for
// GET), or, silent, nothing at all. `Kick` closes the connections it holds, as a restart would.
class FakeRedis {
public:
    explicit FakeRedis(bool silent) : silent_(silent) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::listen(fd_, 8);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeRedis() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    void Kick() { kick_ = true; }

private:
    void Run() {
        std::vector<int> clients;
        while (!stop_) {
            if (kick_.exchange(false)) {
                for (int c : clients) ::close(c);
                clients.clear();
            }
            std::vector<pollfd> p{{fd_, POLLIN, 0}};
            for (int c : clients) p.push_back({c, POLLIN, 0});
            if (::poll(p.data(), p.size(), 20) <= 0) continue;
            if (p[0].revents & POLLIN) clients.push_back(::accept(fd_, nullptr, nullptr));
            for (size_t i = 1; i < p.size(); ++i) {
                if (!(p[i].revents & POLLIN)) continue;
                char buf[4096];
                const ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
                if (n <= 0 || silent_) continue;
                // One reply per command: each starts with '*'.
                const std::string in(buf, static_cast<size_t>(n));
                for (size_t at = in.find('*'); at != std::string::npos; at = in.find('*', at + 1)) {
                    const bool get = in.compare(at, 13, "*2\r\n$3\r\nGET\r\n") == 0;
                    const std::string reply = get ? "-ERR x\r\n" : ":1\r\n";
                    (void)::send(p[i].fd, reply.data(), reply.size(), MSG_NOSIGNAL);
                }
            }
        }
        for (int c : clients) ::close(c);
    }

    bool silent_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false}, kick_{false};
    std::thread thread_;
};

CRedis::Settings On(const std::string& server) {
    CRedis::Settings s;
    s.server = server;
    s.prefix = "t:";
    s.timeout_ms = 100;
    s.backoff_seconds = 1;
    return s;
}

TEST(RedisTest, PipelinesRepliesAndAnErrorReplyIsNoFailure) {
    FakeRedis server(false);
    CRedis r;
    EXPECT_FALSE(r.Run({{"PING"}})) << "off without a server";
    r.Configure(On(server.Address()));
    EXPECT_EQ(r.Key("greylist", "abc"), "t:greylist:abc");
    const auto replies = r.Run({{"SET", "a", "1"}, {"GET", "a"}, {"EXISTS", "a"}});
    ASSERT_TRUE(replies);
    ASSERT_EQ(replies->size(), 3u);
    EXPECT_EQ((*replies)[0].integer, 1);
    EXPECT_EQ((*replies)[1].type, RedisReply::Type::kError);
    EXPECT_TRUE(r.Up()) << "an error reply is the command's, Redis is fine";
    EXPECT_EQ(r.GetCounters().failures, 0u);
    // The server restarts: the pooled connection is dead, the call goes on a new one.
    server.Kick();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(r.Command({"EXISTS", "a"}));
    EXPECT_TRUE(r.Up());
}

TEST(RedisTest, ASilentServerCostsOneTimeOutThenTheBackOffAnswersAtOnce) {
    FakeRedis server(true);
    CRedis r;
    r.Configure(On(server.Address()));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(r.Command({"EXISTS", "a"}));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
    EXPECT_FALSE(r.Up());
    EXPECT_NE(r.TakeNews().find("local tables for 1 s"), std::string::npos);
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) EXPECT_FALSE(r.Command({"EXISTS", "a"}));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100)) << "no waiting in the back-off";
    EXPECT_EQ(r.GetCounters().failures, 1u);
    EXPECT_EQ(r.TakeNews(), "") << "an outage is told once";
}

TEST(RedisTest, NoServerBacksOffAndAReturnIsTold) {
    uint16_t port = 0;
    {
        FakeRedis gone(false);
        port = static_cast<uint16_t>(std::stoi(gone.Address().substr(10)));
    }
    CRedis r;
    r.Configure(On("127.0.0.1:" + std::to_string(port)));
    EXPECT_FALSE(r.Command({"PING"}));
    EXPECT_FALSE(r.Up());
    FakeRedis back(false);
    r.Configure(On(back.Address()));  // a reload: the back-off is forgotten
    EXPECT_TRUE(r.Command({"PING"}));
    (void)r.TakeNews();
}

}  // namespace
}  // namespace checks
