#include "platform/MyThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace platform {
namespace {

class Counter : public CMyThread {
public:
    ~Counter() override { Join(); }
    std::atomic<int> turns{0};

protected:
    void Run() override {
        while (SleepWhileRunning(1)) ++turns;
    }
};

// Ignores the stop request until released: a worker stuck in a slow call.
class Stubborn : public CMyThread {
public:
    ~Stubborn() override { Join(); }
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};

protected:
    void Run() override {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        finished = true;
    }
};

TEST(MyThreadTest, StopsCooperativelyAndCanRestart) {
    Counter c;
    ASSERT_TRUE(c.Start());
    EXPECT_FALSE(c.Start()) << "a running thread is not started twice";
    while (c.turns < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(c.Stop());
    EXPECT_TRUE(c.HasEnded());
    EXPECT_FALSE(c.IsRunning());
    int before = c.turns;
    ASSERT_TRUE(c.Start());
    while (c.turns <= before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(c.Stop());
}

TEST(MyThreadTest, StuckThreadIsReportedNotKilled) {
    auto s = std::make_unique<Stubborn>();
    ASSERT_TRUE(s->Start());
    EXPECT_FALSE(s->Stop(20)) << "still running after the wait";
    EXPECT_FALSE(s->HasEnded());
    s->release = true;
    Stubborn* raw = s.get();
    s.reset();  // the destructor waits for Run() instead of destroying it under the thread
    (void)raw;
}

TEST(MyThreadTest, SleepWakesAtOnceOnStop) {
    class Sleeper : public CMyThread {
    public:
        ~Sleeper() override { Join(); }

    protected:
        void Run() override { SleepWhileRunning(60000); }
    } s;
    ASSERT_TRUE(s.Start());
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(s.Stop());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

}  // namespace
}  // namespace platform
