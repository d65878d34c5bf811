#include "checks/Statistics.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "checks/FakeRedis.h"
#include "common/Clock.h"
#include "platform/TestTempDir.h"

namespace checks {
namespace {

int64_t g_now = 0;
int64_t Now() {
    return g_now;
}

// Local noon of a day, so the date does not depend on the time zone.
int64_t Noon(int year, int month, int day) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&t));
}

TEST(StatisticsTest, CombineModes) {
    CStatitiche_Day s;
    s.AddItem("f1new", 1, 0, 9, 1);
    EXPECT_EQ(s.Value("f1new"), 1.0f);
    s.AddItem("f3set", 3, 0, 7, 3);
    EXPECT_EQ(s.Value("f3set"), 7.0f);
    for (float v : {3.0f, 9.0f, 4.0f}) s.AddItem("f1max", 1, 0, v, 6);
    EXPECT_EQ(s.Value("f1max"), 9.0f);
    for (float v : {3.0f, 9.0f, 4.0f}) s.AddItem("f1min", 1, 0, v, 7);
    EXPECT_EQ(s.Value("f1min"), 0.0f) << "a new counter starts from 0";
    s.AddItem("f4", 4, 2, 2.5, 4);
    s.AddItem("f4", 4, 2, 1.0, 5);
    s.AddItem("f4", 4, 2, 0, 2);
    s.AddItem("f4", 4, 2, 0, 99);
    EXPECT_EQ(s.Value("f4"), 0.5f);
    s.AddItem("", 1, 0, 1, 1);
    EXPECT_EQ(s.Counters().size(), 5u) << "an empty name is ignored";
}

TEST(StatisticsTest, FileFormatAndDamage) {
    std::vector<StatCounter> cs = {{"f8_grey_bloc", 8, 0, 2.0f}, {"f6_dnsbl_[x]", 6, 1, 1.5f}};
    std::string bytes = SerializeStats(1234, cs);
    EXPECT_EQ(bytes.size(), 8u + (4 + 12 + 8) + (4 + 12 + 8));
    StatFile f = ParseStats(bytes);
    ASSERT_EQ(f.counters.size(), 2u);
    EXPECT_EQ(f.time, 1234u);
    EXPECT_EQ(f.counters[1].name, "f6_dnsbl_[x]");
    EXPECT_EQ(f.counters[1].sub_type, 1);
    std::string damaged = bytes;
    damaged[8 + 4 + 12 + 8] = 0;  // the second name's length becomes 0
    EXPECT_TRUE(ParseStats(damaged).counters.empty()) << "a damaged entry loads no counters";
    for (size_t cut = 0; cut < bytes.size(); ++cut) ParseStats(std::string_view(bytes).substr(0, cut));
}

TEST(StatisticsTest, DayFilesAndMidnight) {
    platform::TestTempDir dir;
    std::filesystem::create_directories(dir.File("db"));
    g_now = Noon(2026, 3, 9);
    CStatitiche_Day s(dir.Path().string() + "/", &Now);
    s.Start();
    EXPECT_EQ(s.DayFile(), dir.File("db/DAY_2026-03-09.stc"));
    s.PeriodicWrite();
    EXPECT_FALSE(std::filesystem::exists(s.DayFile())) << "no counters, no file";
    s.AddItem("f1n_restart_service", 1, 0, 777, 3);
    s.AddItem("f1tot_conn", 1, 0, 0, 1);
    s.PeriodicWrite();
    ASSERT_TRUE(std::filesystem::exists(dir.File("db/DAY_2026-03-09.stc")));
    s.AddItem("f1tot_conn", 1, 0, 0, 1);  // counted in the last period before midnight
    g_now = Noon(2026, 3, 10);
    s.PeriodicWrite();
    CStatitiche_Day yesterday;
    ASSERT_TRUE(yesterday.Load(dir.File("db/DAY_2026-03-09.stc")));
    EXPECT_EQ(yesterday.Value("f1tot_conn"), 2.0f) << "the last period is in the finished day's file";
    EXPECT_EQ(s.Counters().size(), 1u) << "only the restart time survives the day change";
    EXPECT_EQ(s.Value("f1n_restart_service"), 777.0f);
    s.PeriodicWrite();
    EXPECT_TRUE(std::filesystem::exists(dir.File("db/DAY_2026-03-10.stc")));

    CStatitiche_Day restarted(dir.Path().string(), &Now);
    restarted.Start();
    EXPECT_EQ(restarted.Value("f1n_restart_service"), 777.0f) << "today's file is loaded at start";
}

TEST(StatisticsTest, ConcurrentCountingLosesNothing) {
    CStatitiche_Day s;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&s, t] {
            for (int i = 0; i < 2000; ++i) {
                s.AddItem("f1tot_conn", 1, 0, 0, 1);
                s.AddItem("f9_t" + std::to_string(t), 9, 0, 1, 4);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(s.Value("f1tot_conn"), 16000.0f);
    EXPECT_EQ(s.Counters().size(), 9u);
}

}  // namespace
}  // namespace checks

namespace checks {
namespace {

TEST(StatisticsTest, AdditiveCountersJoinTheSitesTotalsOnRedis) {
    FakeRedis server;
    CRedis redis;
    redis.Configure(server.Settings("site:"));
    CStatitiche_Day day;
    day.AddItem("f1tot_conn", 1, 0, 1, 1);  // before sharing began: the site never sees it
    day.FlushShared(&redis);
    for (int i = 0; i < 3; ++i) day.AddItem("f1tot_conn", 1, 0, 1, 1);
    day.AddItem("f2bytes", 2, 0, 2.5f, 4);
    day.AddItem("f1max_conn_contemp", 1, 0, 7, 6);  // a maximum is no sum: not shared
    day.FlushShared(&redis);
    std::string key = "site:stats:" + CStatitiche_Day::DayName(common::NowSeconds());
    key.resize(key.size() - 4);  // the day, without the file's ".stc"
    const auto got =
        redis.Run({{"HGET", key, "f1tot_conn"}, {"HGET", key, "f2bytes"}, {"HGET", key, "f1max_conn_contemp"}});
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)[0].str, "3");
    EXPECT_EQ((*got)[1].str, "2.5");
    EXPECT_EQ((*got)[2].type, RedisReply::Type::kNil);
    EXPECT_EQ(day.Value("f1tot_conn").value_or(0), 4.0f) << "the local counter is as ever";
}

}  // namespace
}  // namespace checks
