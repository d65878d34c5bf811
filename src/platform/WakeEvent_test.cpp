#include "platform/WakeEvent.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// The main loop's pattern: Clear, take the work, WaitFor: a raise after the Clear ends the
// wait, however it is timed against it.
TEST(WakeEventTest, ARaiseAfterTheClearEndsTheWait) {
    CWakeEvent w;
    w.Notify();
    w.Notify();  // a burst is one raise
    auto t0 = Clock::now();
    w.WaitFor(2000);
    EXPECT_LT(MsSince(t0), 500) << "raised: no wait";
    w.Clear();
    t0 = Clock::now();
    w.WaitFor(50);
    EXPECT_GE(MsSince(t0), 40) << "cleared: the whole time-out";
    // Raised from another thread while the loop sleeps.
    std::thread raiser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        w.Notify();
    });
    t0 = Clock::now();
    w.WaitFor(5000);
    EXPECT_LT(MsSince(t0), 2000);
    raiser.join();
    // Rounds of a raise from a thread started right after the Clear.
    for (int i = 0; i < 200; ++i) {
        w.Clear();
        std::thread t([&] { w.Notify(); });
        t0 = Clock::now();
        w.WaitFor(3000);
        t.join();
        ASSERT_LT(MsSince(t0), 2000) << "round " << i << " waited out its raise";
    }
}

TEST(WakeEventTest, AReadableDescriptorEndsTheWait) {
    CWakeEvent w;
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int idle[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, idle), 0);
    std::vector<int> ready{42};
    auto t0 = Clock::now();
    EXPECT_TRUE(w.WaitFor(50, {sv[0], idle[0]}, &ready));
    EXPECT_GE(MsSince(t0), 40) << "nothing to read: the time-out";
    EXPECT_TRUE(ready.empty());
    ASSERT_EQ(::write(sv[1], "x", 1), 1);
    t0 = Clock::now();
    EXPECT_TRUE(w.WaitFor(5000, {idle[0], sv[0]}, &ready));
    EXPECT_LT(MsSince(t0), 2000);
    EXPECT_EQ(ready, std::vector<int>{sv[0]}) << "only the readable one";
    // Raised: no wait, and nothing known of the descriptors.
    w.Notify();
    EXPECT_FALSE(w.WaitFor(5000, {sv[0]}, &ready));
    EXPECT_TRUE(ready.empty());
    ::close(idle[0]);
    ::close(idle[1]);
    ::close(sv[0]);
    ::close(sv[1]);
}

}  // namespace
}  // namespace platform
