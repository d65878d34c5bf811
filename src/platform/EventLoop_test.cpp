// Fibers on event loops: waits yield to the other fibers of the loop, a wait is woken by its
// descriptor, its time-out or its helper, and the ways a fiber could take its loop down
// (a lock held over a wait, a stack overflow) are contained.
#include "platform/EventLoop.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/ThreadSafety.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Collects the loop's log lines; any thread.
struct Lines {
    std::mutex mu;
    std::vector<std::string> lines;
    CEventLoop::LogFn Fn() {
        return [this](int, const std::string& text) {
            std::scoped_lock lock(mu);
            lines.push_back(text);
        };
    }
    bool Has(const std::string& part) {
        std::scoped_lock lock(mu);
        for (const auto& l : lines)
            if (l.find(part) != std::string::npos) return true;
        return false;
    }
};

// Waits until `done` reaches `n` (or 10 s pass).
bool WaitFor(std::atomic<int>& done, int n) {
    const auto t0 = Clock::now();
    while (done.load() < n && MsSince(t0) < 10000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done.load() >= n;
}

TEST(EventLoop, FibersWaitTogetherOnOneThread) {
    CEventLoop loop;
    ASSERT_TRUE(loop.Start());
    std::atomic<int> done{0};
    std::atomic<bool> on_fiber{true};
    std::set<std::thread::id>* ids = new std::set<std::thread::id>;
    std::mutex ids_mu;
    const auto t0 = Clock::now();
    // 200 sleeps of 200 ms on one thread: together, not one after another.
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(loop.Spawn([&] {
            if (!OnFiber()) on_fiber = false;
            {
                std::scoped_lock lock(ids_mu);
                ids->insert(std::this_thread::get_id());
            }
            SleepMs(200);
            ++done;
        }));
    }
    ASSERT_TRUE(WaitFor(done, 200));
    EXPECT_LT(MsSince(t0), 5000) << "the sleeps ran one after another";
    EXPECT_TRUE(on_fiber);
    EXPECT_EQ(ids->size(), 1u);
    delete ids;
    EXPECT_FALSE(OnFiber());
    EXPECT_TRUE(loop.Stop(5000));
    EXPECT_EQ(loop.Fibers(), 0u);
    EXPECT_FALSE(loop.Spawn([] {})) << "a stopped loop takes no work";
}

TEST(EventLoop, PollWakesOnDataTimeOutAndHangUp) {
    CEventLoop loop;
    ASSERT_TRUE(loop.Start());
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    std::atomic<int> step{0};
    std::atomic<int> timed_out{-1}, readable{-1}, hung_up{-1};
    std::atomic<int> ticks{0};
    ASSERT_TRUE(loop.Spawn([&] {
        pollfd p{sv[0], POLLIN, 0};
        timed_out = Poll(&p, 1, 50);  // nothing written yet
        step = 1;
        readable = Poll(&p, 1, 10000) == 1 && (p.revents & POLLIN) ? 1 : 0;
        char buf[8];
        [[maybe_unused]] ssize_t r = ::read(sv[0], buf, sizeof buf);
        step = 2;
        hung_up = Poll(&p, 1, 10000) == 1 && (p.revents & (POLLIN | POLLHUP)) ? 1 : 0;
        step = 3;
    }));
    // Another fiber keeps running while the first waits.
    ASSERT_TRUE(loop.Spawn([&] {
        for (int i = 0; i < 20; ++i) {
            SleepMs(5);
            ++ticks;
        }
    }));
    const auto t0 = Clock::now();
    while (step.load() < 1 && MsSince(t0) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(timed_out.load(), 0);
    ASSERT_EQ(::write(sv[1], "x", 1), 1);
    while (step.load() < 2 && MsSince(t0) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(readable.load(), 1);
    ::close(sv[1]);
    while (step.load() < 3 && MsSince(t0) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(hung_up.load(), 1);
    EXPECT_TRUE(loop.Stop(5000));
    EXPECT_EQ(ticks.load(), 20);
    ::close(sv[0]);

    // Off a fiber, Poll is poll(2).
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    pollfd p{sv[0], POLLIN, 0};
    EXPECT_EQ(Poll(&p, 1, 10), 0);
    ASSERT_EQ(::write(sv[1], "y", 1), 1);
    EXPECT_EQ(Poll(&p, 1, 10), 1);
    ::close(sv[0]);
    ::close(sv[1]);
}

// A fiber's timer entry outlives the wait that set it: each following wait must still end at
// its own time-out, whether that comes sooner or later than the entry.
TEST(EventLoop, EachWaitEndsAtItsOwnTimeOut) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    CEventLoop loop;
    ASSERT_TRUE(loop.Start());
    // A failed step leaves the fiber waiting without end: the hang-up ends it, so the loop stops.
    struct HangUp {
        int fd;
        ~HangUp() { ::close(fd); }
    } hang_up{sv[1]};
    std::atomic<int> step{0};
    std::atomic<int64_t> took[3] = {-1, -1, -1};
    ASSERT_TRUE(loop.Spawn([&] {
        pollfd p{sv[0], POLLIN, 0};
        char buf[8];
        // Ended by data long before its 100 ms: its entry is left in the map.
        step = 1;
        Poll(&p, 1, 100);
        [[maybe_unused]] ssize_t r = ::read(sv[0], buf, sizeof buf);
        // A later time-out: not ended by the earlier entry.
        auto t0 = Clock::now();
        Poll(&p, 1, 400);
        took[0] = MsSince(t0);
        // A long wait ended by data, then a short one: not held up by the long entry.
        step = 2;
        Poll(&p, 1, 10000);
        r = ::read(sv[0], buf, sizeof buf);
        t0 = Clock::now();
        Poll(&p, 1, 50);
        took[1] = MsSince(t0);
        // A wait without time-out after one with: only data ends it.
        t0 = Clock::now();
        step = 3;
        Poll(&p, 1, -1);
        took[2] = MsSince(t0);
        step = 4;
    }));
    const auto t0 = Clock::now();
    auto reach = [&](int n) {
        while (step.load() < n && MsSince(t0) < 10000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return step.load() >= n;
    };
    ASSERT_TRUE(reach(1));
    ASSERT_EQ(::write(sv[1], "a", 1), 1);
    ASSERT_TRUE(reach(2));
    ASSERT_EQ(::write(sv[1], "b", 1), 1);
    ASSERT_TRUE(reach(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(::write(sv[1], "c", 1), 1);
    ASSERT_TRUE(reach(4));
    EXPECT_GE(took[0].load(), 380) << "ended by the entry of an earlier, shorter wait";
    EXPECT_LT(took[0].load(), 3000);
    EXPECT_GE(took[1].load(), 45);
    EXPECT_LT(took[1].load(), 3000) << "held up by the entry of an earlier, longer wait";
    EXPECT_GE(took[2].load(), 280) << "a wait without time-out ended by an old entry";
    EXPECT_TRUE(loop.Stop(5000));
    ::close(sv[0]);
}

// A descriptor stays registered between a fiber's waits and is re-armed only once it fired:
// what is left armed must still serve the next wait, readiness that arrives during another wait
// must not be lost, and a closed descriptor's number must not inherit its registration.
TEST(EventLoop, RegistrationsKeptBetweenWaitsLoseNothing) {
    CEventLoop loop;
    ASSERT_TRUE(loop.Start());
    int a[2], b[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
    std::atomic<int> step{0};
    std::atomic<int> phase[5] = {-1, -1, -1, -1, -1};
    int reused[2] = {-1, -1};
    ASSERT_TRUE(loop.Spawn([&] {
        char buf[8];
        pollfd p[2] = {{a[0], POLLIN, 0}, {b[0], POLLIN, 0}};
        // 1. b fires; a stays armed.
        step = 1;
        phase[0] = Poll(p, 2, 10000) == 1 && p[1].revents == POLLIN && p[0].revents == 0;
        [[maybe_unused]] ssize_t r = ::read(b[0], buf, sizeof buf);
        // 2. The same two again: a's registration from the first wait serves this one.
        step = 2;
        phase[1] = Poll(p, 2, 10000) == 1 && p[0].revents == POLLIN;
        r = ::read(a[0], buf, sizeof buf);
        // 3. a and b armed again, b fires; then a's byte arrives while the fiber sleeps.
        step = 3;
        phase[2] = Poll(p, 2, 10000) == 1 && p[1].revents == POLLIN;
        r = ::read(b[0], buf, sizeof buf);
        step = 4;
        SleepMs(200);
        const auto t0 = Clock::now();
        phase[3] = Poll(p, 2, 10000) == 1 && p[0].revents == POLLIN && MsSince(t0) < 1000;
        r = ::read(a[0], buf, sizeof buf);
        // 4. a armed and timed out, closed; its number comes back for a new socket.
        phase[4] = Poll(p, 1, 20) == 0;
        const int number = a[0];
        CloseDescriptor(a[0]);
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, reused), 0);
        if (reused[0] != number) {
            ASSERT_EQ(::dup2(reused[0], number), number);
            ::close(reused[0]);
            reused[0] = number;
        }
        pollfd q{reused[0], POLLIN, 0};
        step = 5;
        phase[4] = phase[4] && Poll(&q, 1, 10000) == 1 && q.revents == POLLIN;
        step = 6;
    }));
    const auto t0 = Clock::now();
    auto reach = [&](int n) {
        while (step.load() < n && MsSince(t0) < 10000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // into its wait
        return step.load() >= n;
    };
    ASSERT_TRUE(reach(1));
    ASSERT_EQ(::write(b[1], "b", 1), 1);
    ASSERT_TRUE(reach(2));
    ASSERT_EQ(::write(a[1], "a", 1), 1);
    ASSERT_TRUE(reach(3));
    ASSERT_EQ(::write(b[1], "b", 1), 1);
    ASSERT_TRUE(reach(4));
    ASSERT_EQ(::write(a[1], "a", 1), 1);
    ASSERT_TRUE(reach(5));
    ASSERT_EQ(::write(reused[1], "c", 1), 1);
    while (step.load() < 6 && MsSince(t0) < 20000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(phase[0].load(), 1) << "the first descriptor to fire";
    EXPECT_EQ(phase[1].load(), 1) << "a registration left armed by the last wait";
    EXPECT_EQ(phase[2].load(), 1);
    EXPECT_EQ(phase[3].load(), 1) << "readiness that came during another wait";
    EXPECT_EQ(phase[4].load(), 1) << "a new socket on a closed descriptor's number";
    EXPECT_TRUE(loop.Stop(5000));
    for (int fd : {a[1], b[0], b[1], reused[0], reused[1]}) ::close(fd);
}

TEST(EventLoop, BlockingCallsRunBesideTheLoop) {
    CEventLoop loop;
    ASSERT_TRUE(loop.Start());
    std::atomic<int> done{0};
    std::atomic<int> ticks_during{0};
    std::atomic<bool> blocking{false};
    std::thread::id loop_id, helper_id;
    ASSERT_TRUE(loop.Spawn([&] {
        loop_id = std::this_thread::get_id();
        int result = 0;
        RunBlocking([&] {
            helper_id = std::this_thread::get_id();
            blocking = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            result = 42;
            blocking = false;
        });
        EXPECT_EQ(result, 42);
        ++done;
    }));
    ASSERT_TRUE(loop.Spawn([&] {
        for (int i = 0; i < 10; ++i) {
            SleepMs(5);
            if (blocking) ++ticks_during;
        }
        ++done;
    }));
    ASSERT_TRUE(WaitFor(done, 2));
    EXPECT_NE(loop_id, helper_id);
    EXPECT_GT(ticks_during.load(), 0) << "the loop stood still during the blocking call";
    EXPECT_TRUE(loop.Stop(5000));
    // Off a fiber it runs in place.
    std::thread::id here;
    RunBlocking([&] { here = std::this_thread::get_id(); });
    EXPECT_EQ(here, std::this_thread::get_id());
}

TEST(EventLoop, AnInterruptEndsAWaitButNeverABlockingCall) {
    CEventLoop loop;
    ASSERT_TRUE(loop.Start());
    std::mutex mu;
    std::condition_variable cv;
    FiberRef ref;
    std::atomic<int> step{0};
    std::atomic<int64_t> waited_ms{-1}, blocking_ms{-1}, next_ms{-1};
    std::atomic<bool> release{false};
    std::atomic<int> told{0};  // waits PollInterrupted said were interrupted
    std::atomic<bool> timeout_told{true};
    ASSERT_TRUE(loop.Spawn([&] {
        SleepMs(5);
        timeout_told = PollInterrupted();
        {
            std::scoped_lock lock(mu);
            ref = CurrentFiber();
        }
        cv.notify_all();
        auto t0 = Clock::now();
        SleepMs(20000);  // cut short
        waited_ms = MsSince(t0);
        if (PollInterrupted()) ++told;
        step = 1;
        t0 = Clock::now();
        RunBlocking([&] {
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        blocking_ms = MsSince(t0);
        t0 = Clock::now();
        pollfd none{-1, POLLIN, 0};
        Poll(&none, 1, 20000);  // the interrupt that came during the blocking call
        next_ms = MsSince(t0);
        if (PollInterrupted()) ++told;
        step = 2;
    }));
    {
        std::unique_lock lock(mu);
        cv.wait(lock, [&] { return static_cast<bool>(ref); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Interrupt(ref);
    const auto t0 = Clock::now();
    while (step.load() < 1 && MsSince(t0) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_LT(waited_ms.load(), 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Interrupt(ref);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    release = true;
    while (step.load() < 2 && MsSince(t0) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(blocking_ms.load(), 100) << "the blocking call was cut short under its helper";
    EXPECT_LT(next_ms.load(), 1000);
    EXPECT_EQ(told.load(), 2) << "both cut waits are told as interrupted";
    EXPECT_FALSE(timeout_told.load()) << "a time-out is not an interrupt";
    EXPECT_TRUE(loop.Stop(5000));
    Interrupt(ref);  // an ended fiber: nothing
    EXPECT_FALSE(CurrentFiber());
}

TEST(EventLoop, ALockHeldOverAWaitBlocksInsteadOfDeadlocking) {
    CEventLoop loop;
    ASSERT_TRUE(loop.Start());
    common::Mutex mu;
    std::atomic<int> done{0};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(loop.Spawn([&] {
            common::MutexLock lock(mu);
            SleepMs(20);  // would yield to the other fiber, which would then wait on `mu` for ever
            ++done;
        }));
    }
    EXPECT_TRUE(WaitFor(done, 2));
    EXPECT_TRUE(loop.Stop(5000));
}

TEST(EventLoop, SlowStepsAreLoggedWithTheFibersLabel) {
    Lines lines;
    CEventLoop loop(lines.Fn());
    ASSERT_TRUE(loop.Start());
    std::atomic<int> done{0};
    ASSERT_TRUE(loop.Spawn([&] {
        SetFiberLabel([] { return std::string("script policy.cs line 12"); });
        std::this_thread::sleep_for(std::chrono::milliseconds(CEventLoop::kSlowStepMs + 30));  // no yield
        ++done;
    }));
    ASSERT_TRUE(WaitFor(done, 1));
    EXPECT_TRUE(loop.Stop(5000));
    EXPECT_TRUE(lines.Has("script policy.cs line 12"));
}

#if !MORVANE_FIBER_ASAN && !MORVANE_FIBER_TSAN
// Not built with sanitizers: they take SIGSEGV for their own report.
int Deep(int n) {
    volatile char pad[512];
    pad[0] = static_cast<char>(n);
    return n > 1'000'000'000 ? pad[0] : Deep(n + 1) + pad[0];
}

TEST(EventLoop, AStackOverflowEndsOnlyItsFiber) {
    Lines lines;
    CEventLoop loop(lines.Fn());
    ASSERT_TRUE(loop.Start());
    std::atomic<int> abandoned{0}, done{0};
    ASSERT_TRUE(loop.Spawn([&] {
        SetFiberAbandonHook([&] { ++abandoned; });
        SetFiberLabel([] { return std::string("the deep one"); });
        SleepMs(10);
        Deep(0);
        ++done;  // never reached
    }));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(loop.Spawn([&] {
            SleepMs(50);
            ++done;
        }));
    EXPECT_TRUE(WaitFor(done, 3));
    EXPECT_EQ(abandoned.load(), 1);
    EXPECT_TRUE(lines.Has("ran out of its stack"));
    EXPECT_TRUE(lines.Has("the deep one"));
    // The loop goes on taking work.
    ASSERT_TRUE(loop.Spawn([&] { ++done; }));
    EXPECT_TRUE(WaitFor(done, 4));
    EXPECT_TRUE(loop.Stop(5000));
}
#endif

TEST(LoopGroup, SpreadsFibersOverItsLoops) {
    CLoopGroup group;
    ASSERT_TRUE(group.Resize(3));
    EXPECT_EQ(group.Size(), 3u);
    std::atomic<int> done{0};
    std::mutex mu;
    std::set<std::thread::id> threads;
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(group.Pick()->Spawn([&] {
            {
                std::scoped_lock lock(mu);
                threads.insert(std::this_thread::get_id());
            }
            SleepMs(100);
            ++done;
        }));
    }
    EXPECT_TRUE(WaitFor(done, 30));
    EXPECT_EQ(threads.size(), 3u);
    ASSERT_TRUE(group.Resize(1));
    EXPECT_EQ(group.Size(), 3u) << "loops are kept, not taken away under their fibers";
    EXPECT_TRUE(group.StopAll(5000));
}

}  // namespace
}  // namespace platform
