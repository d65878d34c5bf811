#pragma once
// Event loops and fibers: thousands of sessions on a few threads, each session's code still
// written as one sequence of calls that wait.
//
// A CEventLoop is one thread with an epoll set. Work spawned on it runs on a fiber: a stackful
// coroutine (Boost.Context) with its own stack. When a fiber must wait - for a descriptor
// (Poll), a time (SleepMs), or a call that cannot yield (RunBlocking) - it hands its thread back
// to the loop, which runs the other fibers until the wait is over. Called on any other thread,
// the same functions block as poll(2) and a sleep do, so engines shared with cron, admin and
// the tools need no second form.
//
// Rules a fiber lives by:
// - It stays on the loop that started it; thread_locals are its thread's, shared with the other
//   fibers of that loop, so nothing per-session may be kept in one across a wait.
// - It never yields while holding a common::Mutex: the wait then blocks the thread, as it did on
//   a thread of its own, rather than let another fiber of the thread wait for that lock for ever.
// - Anything that would hold the thread long (a blocking library call, a file write of size)
//   goes through RunBlocking. A step that holds its loop over kSlowStepMs is logged with the
//   fiber's label (its script and line), so such a call is found.
//
// Stacks are mmap'd with a guard page below them and only the touched pages become resident. A
// fiber that runs into its guard page is ended there with a log line (its memory is left, not
// freed: nothing on its stack was unwound); the process goes on.
//
// Thread safety: Spawn, Stop and the counters from any thread; everything else from a fiber or
// the loop's own thread.
#include <poll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Sanitizers must be told of every switch between stacks (gcc and clang name them apart).
#if defined(__SANITIZE_ADDRESS__)
#define MORVANE_FIBER_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define MORVANE_FIBER_TSAN 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MORVANE_FIBER_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define MORVANE_FIBER_TSAN 1
#endif
#endif
#ifndef MORVANE_FIBER_ASAN
#define MORVANE_FIBER_ASAN 0
#endif
#ifndef MORVANE_FIBER_TSAN
#define MORVANE_FIBER_TSAN 0
#endif

namespace platform {

// poll(2) for the calling fiber: the fiber yields until a descriptor is ready or the time-out
// passes (a negative time-out waits without end). Off a fiber, with a lock held, or with a zero
// time-out, it is ::poll. Each descriptor appears once.
int Poll(pollfd* fds, size_t n, int timeout_ms);
// close(2) for a descriptor a fiber may have waited on: its loop forgets what it registered for
// that number first, since the number comes back for the next socket. A fiber closes its own
// descriptors this way, on its own thread; elsewhere it is ::close.
int CloseDescriptor(int fd);
// Sleeps `ms` milliseconds; a fiber yields meanwhile.
void SleepMs(int ms);
// True on a fiber of an event loop.
bool OnFiber();
// Runs `fn` on a small helper pool while the calling fiber waits; off a fiber it runs `fn`
// at once. For calls that block without a descriptor to wait on (a client library, a large
// file write). `fn` must not touch the fiber's stack after it returns.
void RunBlocking(const std::function<void()>& fn);
// What the slow-step log line says of the current fiber (a session's script and line); read on
// its loop only, when a step was slow. No effect off a fiber.
void SetFiberLabel(std::function<std::string()> label);
// Gives the system back the pages of the current fiber's stack below the frames in use: a
// session calls it once its setup (script start, lookups) is done and it settles into waiting,
// so an idle session keeps only the stack its wait needs. One system call, made only when the
// loop holds many fibers (few cost little memory, and the call flushes every core's TLB);
// nothing off a fiber.
void TrimFiberStack();
// A fiber as another thread names it, to interrupt its waits. Empty off a fiber.
struct FiberRef {
    void* loop = nullptr;  // the loop's insides; loops outlive what names their fibers
    uint32_t slot = 0;
    uint64_t serial = 0;
    explicit operator bool() const { return loop != nullptr; }
};
FiberRef CurrentFiber();
// Any thread: ends the fiber's current Poll or SleepMs early (as a time-out with nothing
// ready), or its next one if it is running; a RunBlocking wait is not cut short. Nothing when
// the fiber has ended. For a stop: the fiber's code then sees its own stop flag.
void Interrupt(const FiberRef& fiber);
// True when the current fiber's last Poll or SleepMs was ended by Interrupt, not by a
// descriptor or its time-out. False off a fiber.
bool PollInterrupted();
// Milliseconds the current fiber has run since it last waited (0 off a fiber): whether a step
// that is ending was slow, while its caller still knows where it is.
int64_t FiberStepMs();
// Called on the loop thread when the current fiber runs into its stack's guard page, before it
// is abandoned: the session closes its sockets there. No effect off a fiber.
void SetFiberAbandonHook(std::function<void()> hook);

class CEventLoop {
public:
    // Each fiber's stack: virtual size; only the pages a fiber touches become resident. A
    // script recursing to its limit takes about half of it in an optimised build; sanitizers
    // make every frame several times larger.
#if MORVANE_FIBER_ASAN || MORVANE_FIBER_TSAN
    static constexpr size_t kStackSize = 8 * 1024 * 1024;
#else
    static constexpr size_t kStackSize = 1024 * 1024;
#endif
    // A step of one fiber longer than this is logged.
    static constexpr int kSlowStepMs = 50;
    // Stacks kept for the next fibers instead of returned to the system.
    static constexpr size_t kStackCache = 16;

    // `log`: where the loop's lines go (slow steps, a stack overflow); `slow_step`: called for
    // each slow step, for a counter. Both run on the loop's thread.
    using LogFn = std::function<void(int level, const std::string& text)>;
    using SlowStepFn = std::function<void()>;

    explicit CEventLoop(LogFn log = {}, SlowStepFn slow_step = {});
    ~CEventLoop();
    CEventLoop(const CEventLoop&) = delete;
    CEventLoop& operator=(const CEventLoop&) = delete;

    // Starts the thread; false when the epoll set or the thread could not be made.
    bool Start();
    // Any thread: runs `fn` on a new fiber of this loop. False once the loop was asked to stop.
    bool Spawn(std::function<void()> fn);
    // Fibers alive (spawned and not yet ended).
    size_t Fibers() const {
        return fibers_.load(std::memory_order_relaxed);
    }
    // Asks the loop to end once its fibers have ended, and waits up to `wait_ms` for the
    // thread; true when it ended (joined). The fibers are not interrupted: their owners stop
    // them first.
    bool Stop(int wait_ms);

    // The loop's and its fibers' insides, defined where they are used.
    struct Fiber;
    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    std::atomic<size_t> fibers_{0};
};

// The loops of the kernel: one per I/O thread. Main thread only.
class CLoopGroup {
public:
    explicit CLoopGroup(CEventLoop::LogFn log = {}, CEventLoop::SlowStepFn slow_step = {})
        : log_(std::move(log)), slow_step_(std::move(slow_step)) {}
    ~CLoopGroup() { StopAll(5000); }
    // Grows to `n` loops (at least 1). A smaller `n` keeps the loops there are: a loop in use
    // cannot be taken away under its fibers, and an idle one costs a thread and nothing else.
    bool Resize(size_t n);
    // The loop with the fewest fibers; nullptr before Resize.
    CEventLoop* Pick();
    size_t Size() const { return loops_.size(); }
    // Stops every loop (their fibers must have been stopped); true when all ended.
    bool StopAll(int wait_ms);

private:
    CEventLoop::LogFn log_;
    CEventLoop::SlowStepFn slow_step_;
    std::vector<std::unique_ptr<CEventLoop>> loops_;
    size_t next_ = 0;
};

}  // namespace platform
