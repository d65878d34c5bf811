#include "web/MetricsServer.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

namespace web {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class MetricsServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(server_.Start("127.0.0.1:0", &why)) << why;
        ASSERT_GT(server_.Port(), 0);
    }
    int Connect() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(server_.Port());
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        return fd;
    }
    // Sends `text` and reads until the server closes (or 5 s).
    std::string Exchange(const std::string& text) {
        const int fd = Connect();
        if (!text.empty()) (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        std::string got;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < until) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        ::close(fd);
        return got;
    }

    std::atomic<int> scrapes_{0};
    std::string problem_;
    MetricsServer server_{[this] {
                              ++scrapes_;
                              return std::string("# TYPE morvane_up gauge\nmorvane_up 1\n");
                          },
                          [this] { return problem_; }};
};

TEST_F(MetricsServerTest, ServesMetricsAndHealthOverTcp) {
    const std::string metrics = Exchange("GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_THAT(metrics, StartsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_THAT(metrics, HasSubstr("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"));
    EXPECT_THAT(metrics, HasSubstr("Content-Length: 37\r\n"));
    EXPECT_THAT(metrics, EndsWith("\r\n\r\n# TYPE morvane_up gauge\nmorvane_up 1\n"));
    EXPECT_THAT(Exchange("GET /healthz HTTP/1.0\r\n\r\n"), EndsWith("\r\n\r\nok\n"));
    problem_ = "the back-end MTA 127.0.0.1 port 25 does not answer";
    const std::string sick = Exchange("GET /healthz?verbose HTTP/1.1\r\n\r\n");
    EXPECT_THAT(sick, StartsWith("HTTP/1.1 503 Service Unavailable\r\n"));
    EXPECT_THAT(sick, EndsWith("does not answer\n"));
}

TEST_F(MetricsServerTest, RefusesWhatIsNotAScrape) {
    EXPECT_THAT(Exchange("POST /metrics HTTP/1.1\r\n\r\n"), StartsWith("HTTP/1.1 405 "));
    EXPECT_THAT(Exchange("GET /admin HTTP/1.1\r\n\r\n"), StartsWith("HTTP/1.1 404 "));
    EXPECT_THAT(Exchange("GET /metrics SPDY/3\r\n\r\n"), StartsWith("HTTP/1.1 400 "));
    const std::string head = Exchange("HEAD /metrics HTTP/1.1\r\n\r\n");
    EXPECT_THAT(head, HasSubstr("Content-Length: 37\r\n"));
    EXPECT_THAT(head, EndsWith("\r\n\r\n"));
    // A head that never ends is cut at the size limit and left unanswered; the server goes on.
    EXPECT_EQ(Exchange("GET /metrics HTTP/1.1\r\nX: " + std::string(MetricsServer::kMaxRequest, 'a')), "");
    EXPECT_THAT(Exchange("GET /metrics HTTP/1.1\r\n\r\n"), StartsWith("HTTP/1.1 200 "));
}

TEST_F(MetricsServerTest, ASilentClientHoldsTheServerForTheRequestLimitOnly) {
    const int silent = Connect();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_THAT(Exchange("GET /metrics HTTP/1.1\r\n\r\n"), StartsWith("HTTP/1.1 200 "));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(MetricsServer::kRequestMs + 2500));
    ::close(silent);
}

TEST(MetricsServerStartTest, SaysWhyItCannotListen) {
    MetricsServer a([] { return std::string(); }, [] { return std::string(); });
    std::string why;
    ASSERT_TRUE(a.Start("127.0.0.1:0", &why));
    MetricsServer b([] { return std::string(); }, [] { return std::string(); });
    EXPECT_FALSE(b.Start("127.0.0.1:" + std::to_string(a.Port()), &why));
    EXPECT_THAT(why, HasSubstr("cannot listen on"));
    EXPECT_FALSE(b.Start("not an address:x", &why));
}

}  // namespace
}  // namespace web
