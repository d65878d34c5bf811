#include "checks/Redis.h"

#include "checks/FakeRedis.h"

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

CRedis::Settings On(const std::string& server) {
    CRedis::Settings s;
    s.server = server;
    s.prefix = "t:";
    s.timeout_ms = 100;
    s.backoff_seconds = 1;
    return s;
}

TEST(RedisTest, PipelinesRepliesAndReconnectsAfterARestart) {
    FakeRedis server(false);
    CRedis r;
    EXPECT_FALSE(r.Run({{"PING"}})) << "off without a server";
    r.Configure(On(server.Address()));
    EXPECT_EQ(r.Key("greylist", "abc"), "t:greylist:abc");
    const auto replies = r.Run({{"SET", "a", "1", "NX"}, {"GET", "a"}, {"EXISTS", "a", "b"}});
    ASSERT_TRUE(replies);
    ASSERT_EQ(replies->size(), 3u);
    EXPECT_EQ((*replies)[0].type, RedisReply::Type::kStatus);
    EXPECT_EQ((*replies)[1].str, "1");
    EXPECT_EQ((*replies)[2].integer, 1);
    EXPECT_TRUE(r.Up());
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
