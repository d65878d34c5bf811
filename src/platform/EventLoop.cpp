#include "platform/EventLoop.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/fiber.hpp>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "common/ThreadSafety.h"

#if MORVANE_FIBER_ASAN
#include <sanitizer/asan_interface.h>
#endif
#if MORVANE_FIBER_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace ctx = boost::context;

namespace platform {

namespace {

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

size_t PageSize() {
    static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return page;
}

// A stack's whole mapping: the guard page at `base`, the usable stack above it.
struct Stack {
    char* base = nullptr;
    size_t size = 0;
};

// An epoll event carries its descriptor; the loop's registration of that descriptor names the
// fiber that armed it. The wake eventfd's tag is no descriptor.
constexpr uint64_t kWakeTag = ~uint64_t{0};

constexpr short kPollBits = POLLIN | POLLOUT | POLLPRI | POLLERR | POLLHUP;

// Calls that cannot yield run here while their fiber waits. A few threads: what waits here is
// rare (a database client, a large file write), and more threads would not make it faster.
class HelperPool {
public:
    static constexpr int kThreads = 4;
    static HelperPool& Get() {
        static HelperPool pool;
        return pool;
    }
    ~HelperPool() {
        {
            common::MutexLock lock(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        for (std::thread& t : threads_) t.join();
    }
    void Run(std::function<void()> job) {
        {
            common::MutexLock lock(mu_);
            if (threads_.empty())
                for (int i = 0; i < kThreads; ++i) threads_.emplace_back([this] { Work(); });
            jobs_.push_back(std::move(job));
        }
        cv_.notify_one();
    }

private:
    void Work() {
        for (;;) {
            std::function<void()> job;
            {
                common::MutexLock lock(mu_);
                while (!stop_ && jobs_.empty()) cv_.wait(mu_);
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }
    common::Mutex mu_;
    std::condition_variable_any cv_;
    std::deque<std::function<void()>> jobs_ GUARDED_BY(mu_);
    bool stop_ GUARDED_BY(mu_) = false;
    std::vector<std::thread> threads_;  // made under mu_, joined at exit
};

}  // namespace

struct CEventLoop::Fiber {
    struct CEventLoop::Impl* loop = nullptr;
    uint32_t slot = 0;
    ctx::fiber self;  // the fiber while it is suspended
    ctx::fiber back;  // the loop while the fiber runs
    std::function<void()> body;
    Stack stack;
    bool waiting = false;
    bool queued = false;
    pollfd* fds = nullptr;
    size_t nfds = 0;
    // The time-out of the current wait (0: none), and the fiber's entry in the timer map,
    // which may come before it: an entry is kept from wait to wait while it is not later
    // than the deadline, and moved when it comes due early. A fiber that waits again and
    // again with a time-out (the relay) so touches the map once per time-out, not per wait.
    int64_t deadline = 0;
    bool has_timer = false;
    std::multimap<int64_t, Fiber*>::iterator timer;
    std::function<std::string()> label;
    std::function<void()> abandon;
    int64_t resumed_ns = 0;
    uint64_t serial = 0;              // unique on its loop: a reused slot is another fiber
    bool interruptible = false;       // waiting in Poll or SleepMs, not in RunBlocking
    bool interrupted = false;         // asked while running: its next wait returns at once
    bool woken_by_interrupt = false;  // its last wait was ended by Interrupt
#if MORVANE_FIBER_ASAN
    void* fake_stack = nullptr;
    const void* loop_bottom = nullptr;
    size_t loop_size = 0;
#endif
#if MORVANE_FIBER_TSAN
    void* tsan = nullptr;
    void* loop_tsan = nullptr;
#endif
};

namespace {
thread_local CEventLoop::Impl* t_loop = nullptr;
thread_local CEventLoop::Fiber* t_fiber = nullptr;
}  // namespace

struct CEventLoop::Impl {
    CEventLoop* owner = nullptr;
    LogFn log;
    SlowStepFn slow_step;
    int ep = -1;
    int wake = -1;
    std::thread thread;

    common::Mutex mu;
    std::condition_variable_any ended_cv;
    std::vector<std::function<void()>> posted GUARDED_BY(mu);
    bool stopping GUARDED_BY(mu) = false;
    bool ended GUARDED_BY(mu) = false;

    // The loop thread's own.
    std::vector<Fiber*> slots;
    std::vector<uint32_t> gens;  // per slot, so a reused slot never repeats a generation
    std::vector<uint32_t> free_slots;
    std::deque<Fiber*> ready;
    std::multimap<int64_t, Fiber*> timers;
    // What the epoll set holds for each descriptor, by number. A one-shot registration stays
    // armed until it fires, so a fiber that waits on the same descriptors again (the relay's
    // client and MTA, wait after wait) re-arms only the one that fired: half the epoll_ctl
    // calls. A closed descriptor leaves the set with its file, so its entry must be forgotten
    // (CloseDescriptor) before the number comes back for another socket.
    struct Registration {
        uint64_t serial = 0;  // the fiber that armed it (serials are never reused)
        uint32_t slot = 0;
        uint32_t events = 0;
        bool added = false;  // in the epoll set
        bool armed = false;  // and not yet fired
    };
    std::vector<Registration> regs;
    Registration& Reg(int fd) {
        if (static_cast<size_t>(fd) >= regs.size()) regs.resize(static_cast<size_t>(fd) + 64);
        return regs[static_cast<size_t>(fd)];
    }
    // Arms `fd` for fiber `f`; false when epoll cannot watch it (a regular file, say).
    bool Arm(Fiber* f, int fd, uint32_t events);
    std::vector<Stack> stacks;
    size_t live = 0;
    // Past this many fibers on a loop, their stacks' memory counts more than the cost of giving
    // it back (see GiveStack).
    static constexpr size_t kManyFibers = 128;
    bool ManyFibers() const { return live > kManyFibers; }
    uint64_t next_serial = 1;
    sigjmp_buf overflow_jump;
    void* alt_stack = nullptr;

    // Any thread: runs `fn` on the loop thread, between fibers. With `unless_stopping`, false
    // (and `fn` not run) once the loop was asked to stop; checked and queued at once, so a loop
    // that ends takes every job queued before its stop.
    bool Post(std::function<void()> fn, bool unless_stopping = false) {
        bool first = false;
        {
            common::MutexLock lock(mu);
            if (unless_stopping && (stopping || !thread.joinable())) return false;
            first = posted.empty();
            posted.push_back(std::move(fn));
        }
        if (first) Wake();
        return true;
    }
    // Any thread: cuts the loop's epoll wait short.
    void Wake() {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake, &one, sizeof one);
    }

    Stack TakeStack() {
        if (!stacks.empty()) {
            Stack s = stacks.back();
            stacks.pop_back();
            return s;
        }
        const size_t size = kStackSize + PageSize();
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        if (::mprotect(p, PageSize(), PROT_NONE) != 0) {
            ::munmap(p, size);
            throw std::bad_alloc();
        }
        return {static_cast<char*>(p), size};
    }
    void GiveStack(Stack s) {
        if (stacks.size() >= kStackCache) {
            ::munmap(s.base, s.size);
            return;
        }
        // A fiber that went deep leaves its pages resident: with many fibers on the loop, all
        // but the top are given back, so a cached stack costs what an idle session's does.
        // With few, the pages stay for the next fiber: giving them back costs every core a TLB
        // flush and the next fiber the page faults, per connection.
        constexpr size_t kKeep = 64 * 1024;
        if (ManyFibers() && s.size > kKeep + PageSize())
            ::madvise(s.base + PageSize(), s.size - PageSize() - kKeep, MADV_DONTNEED);
        stacks.push_back(s);
    }

    void MakeReady(Fiber* f) {
        if (f->queued) return;
        f->queued = true;
        ready.push_back(f);
    }

    void StartFiber(std::function<void()> body);
    void Resume(Fiber* f);
    void Destroy(Fiber* f);
    void DropTimer(Fiber* f);
    // Leaves `f` an entry in the timer map at or before its deadline.
    void KeepTimer(Fiber* f);
    void Run();
    void Dispatch(int fd, uint32_t events);
    void WakeIf(uint32_t slot, uint32_t gen) {
        if (slot < slots.size() && slots[slot] && gens[slot] == gen && slots[slot]->waiting) MakeReady(slots[slot]);
    }
    int NextTimeoutMs() const {
        if (!ready.empty()) return 0;
        if (timers.empty()) return -1;
        const int64_t left = timers.begin()->first - NowNs();
        if (left <= 0) return 0;
        return static_cast<int>(std::min<int64_t>((left + 999'999) / 1'000'000, 60'000));
    }
};

namespace {

// Boost.Context's stack allocator over the loop's cache.
struct LoopStacks {
    CEventLoop::Impl* impl;
    ctx::stack_context allocate() {
        Stack s = impl->TakeStack();
        ctx::stack_context sc;
        sc.size = s.size - PageSize();
        sc.sp = s.base + s.size;
        return sc;
    }
    void deallocate(ctx::stack_context& sc) {
        char* top = static_cast<char*>(sc.sp);
        impl->GiveStack({top - sc.size - PageSize(), sc.size + PageSize()});
    }
};

// Hands the fiber's thread back to its loop until something makes it ready again.
void Yield(CEventLoop::Fiber* f) {
#if MORVANE_FIBER_ASAN
    __sanitizer_start_switch_fiber(&f->fake_stack, f->loop_bottom, f->loop_size);
#endif
#if MORVANE_FIBER_TSAN
    __tsan_switch_to_fiber(f->loop_tsan, 0);
#endif
    f->back = std::move(f->back).resume();
#if MORVANE_FIBER_ASAN
    __sanitizer_finish_switch_fiber(f->fake_stack, &f->loop_bottom, &f->loop_size);
#endif
}

#if !MORVANE_FIBER_ASAN && !MORVANE_FIBER_TSAN
// A fault in the running fiber's guard page is its stack running out: the loop abandons that
// fiber. Any other fault is the process's, as without this handler.
struct sigaction g_previous_segv;

void OnSegv(int sig, siginfo_t* info, void* uctx) {
    CEventLoop::Impl* loop = t_loop;
    CEventLoop::Fiber* f = t_fiber;
    if (loop && f && f->stack.base) {
        const char* at = static_cast<const char*>(info->si_addr);
        if (at >= f->stack.base && at < f->stack.base + PageSize()) siglongjmp(loop->overflow_jump, 1);
    }
    if (g_previous_segv.sa_flags & SA_SIGINFO) {
        if (g_previous_segv.sa_sigaction) return g_previous_segv.sa_sigaction(sig, info, uctx);
    } else if (g_previous_segv.sa_handler != SIG_DFL && g_previous_segv.sa_handler != SIG_IGN) {
        return g_previous_segv.sa_handler(sig);
    }
    // The default action: the faulting instruction runs again and ends the process.
    ::signal(SIGSEGV, SIG_DFL);
}

#endif

// Under sanitizers, whose runtimes report a fault themselves, an overflow ends the process.
void InstallOverflowHandler() {
#if !MORVANE_FIBER_ASAN && !MORVANE_FIBER_TSAN
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = OnSegv;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGSEGV, &sa, &g_previous_segv);
    });
#endif
}

}  // namespace

void CEventLoop::Impl::StartFiber(std::function<void()> body) {
    auto* f = new Fiber;
    f->loop = this;
    f->serial = next_serial++;
    f->body = std::move(body);
    if (free_slots.empty()) {
        f->slot = static_cast<uint32_t>(slots.size());
        slots.push_back(f);
        gens.push_back(0);
    } else {
        f->slot = free_slots.back();
        free_slots.pop_back();
        slots[f->slot] = f;
    }
    try {
        LoopStacks alloc{this};
        ctx::stack_context sc = alloc.allocate();
        f->stack = {static_cast<char*>(sc.sp) - sc.size - PageSize(), sc.size + PageSize()};
        f->self = ctx::fiber(std::allocator_arg, ctx::preallocated(sc.sp, sc.size, sc), alloc, [f](ctx::fiber&& back) {
            f->back = std::move(back);
#if MORVANE_FIBER_ASAN
            __sanitizer_finish_switch_fiber(nullptr, &f->loop_bottom, &f->loop_size);
#endif
            try {
                f->body();
            } catch (const std::exception& e) {
                if (f->loop->log) f->loop->log(1, std::string("A session ended on an exception: ") + e.what());
            } catch (...) {
                if (f->loop->log) f->loop->log(1, "A session ended on an unknown exception");
            }
            f->body = nullptr;
#if MORVANE_FIBER_ASAN
            __sanitizer_start_switch_fiber(nullptr, f->loop_bottom, f->loop_size);
#endif
#if MORVANE_FIBER_TSAN
            __tsan_switch_to_fiber(f->loop_tsan, 0);
#endif
            return std::move(f->back);
        });
    } catch (const std::bad_alloc&) {
        // No stack to be had: the work still runs, on the loop's own stack, its waits blocking
        // the loop - slower for the others, but nothing handed over is lost.
        if (log) log(1, "No memory for a new session's stack: it runs without yielding");
        slots[f->slot] = nullptr;
        free_slots.push_back(f->slot);
        std::function<void()> run = std::move(f->body);
        delete f;
        run();
        owner->fibers_.fetch_sub(1);
        return;
    }
#if MORVANE_FIBER_TSAN
    f->tsan = __tsan_create_fiber(0);
#endif
    ++live;
    MakeReady(f);
}

void CEventLoop::Impl::Resume(Fiber* f) {
    f->queued = false;
    f->waiting = false;
    f->deadline = 0;  // its wait is over; the timer entry stays for the next one
    ++gens[f->slot];
    t_fiber = f;
    const int64_t t0 = NowNs();
    f->resumed_ns = t0;
    bool overflowed = false;
    if (sigsetjmp(overflow_jump, 0) == 0) {
#if MORVANE_FIBER_ASAN
        void* fake = nullptr;
        __sanitizer_start_switch_fiber(&fake, f->stack.base + PageSize(), f->stack.size - PageSize());
#endif
#if MORVANE_FIBER_TSAN
        f->loop_tsan = __tsan_get_current_fiber();
        __tsan_switch_to_fiber(f->tsan, 0);
#endif
        f->self = std::move(f->self).resume();
#if MORVANE_FIBER_ASAN
        __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
    } else {
        overflowed = true;
        // The handler ran with SIGSEGV blocked and did not return through sigreturn.
        sigset_t segv;
        sigemptyset(&segv);
        sigaddset(&segv, SIGSEGV);
        ::pthread_sigmask(SIG_UNBLOCK, &segv, nullptr);
    }
    t_fiber = nullptr;
    const int64_t took_ms = (NowNs() - t0) / 1'000'000;
    auto what = [f] { return f->label ? f->label() : std::string("a fiber"); };
    if (took_ms > kSlowStepMs) {
        if (log) log(2, "An event loop was held " + std::to_string(took_ms) + " ms without a wait by " + what());
        if (slow_step) slow_step();
    }
    if (overflowed) {
        if (log)
            log(1, "A session ran out of its stack (" + std::to_string(kStackSize / 1024) + " KB) in " + what() +
                       ": it is ended, its memory left");
        if (f->abandon) f->abandon();
        DropTimer(f);
        // The stack and what lives on it are left as they are; the slot is not reused.
        --live;
        owner->fibers_.fetch_sub(1);
        return;
    }
    if (!f->self) Destroy(f);
}

void CEventLoop::Impl::DropTimer(Fiber* f) {
    if (!f->has_timer) return;
    timers.erase(f->timer);
    f->has_timer = false;
}

void CEventLoop::Impl::KeepTimer(Fiber* f) {
    if (f->has_timer && f->timer->first <= f->deadline) return;
    DropTimer(f);
    f->timer = timers.emplace(f->deadline, f);
    f->has_timer = true;
}

void CEventLoop::Impl::Destroy(Fiber* f) {
#if MORVANE_FIBER_TSAN
    __tsan_destroy_fiber(f->tsan);
#endif
    DropTimer(f);
    slots[f->slot] = nullptr;
    free_slots.push_back(f->slot);
    delete f;
    --live;
    owner->fibers_.fetch_sub(1);
}

bool CEventLoop::Impl::Arm(Fiber* f, int fd, uint32_t events) {
    Registration& r = Reg(fd);
    if (r.armed && r.serial == f->serial && r.events == events) return true;
    epoll_event ev{};
    ev.events = events | EPOLLONESHOT;
    ev.data.u64 = static_cast<uint64_t>(fd);
    // The entry says whether the set holds the descriptor. A stale one (a descriptor another
    // thread closed) costs a failed call here; only the fiber that armed it could skip the call
    // on it, and a fiber closes its own descriptors with CloseDescriptor.
    int op = r.added ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (::epoll_ctl(ep, op, fd, &ev) != 0) {
        op = errno == ENOENT ? EPOLL_CTL_ADD : errno == EEXIST ? EPOLL_CTL_MOD : -1;
        if (op < 0 || ::epoll_ctl(ep, op, fd, &ev) != 0) {
            r = {};
            return false;
        }
    }
    r = {f->serial, f->slot, events, true, true};
    return true;
}

void CEventLoop::Impl::Dispatch(int fd, uint32_t events) {
    if (fd < 0 || static_cast<size_t>(fd) >= regs.size()) return;
    Registration& r = regs[static_cast<size_t>(fd)];
    r.armed = false;  // one-shot: it fired
    if (r.slot >= slots.size()) return;
    Fiber* f = slots[r.slot];
    // A fiber that armed it and now waits for something else finds it re-armed by its next
    // Poll, which reports the readiness again.
    if (!f || f->serial != r.serial || !f->waiting) return;
    bool woke = false;
    for (size_t i = 0; i < f->nfds; ++i) {
        if (f->fds[i].fd != fd) continue;
        const auto got = static_cast<short>(events & (f->fds[i].events | POLLERR | POLLHUP) & kPollBits);
        f->fds[i].revents = static_cast<short>(f->fds[i].revents | got);
        woke = woke || got != 0;
    }
    if (woke) MakeReady(f);
}

void CEventLoop::Impl::Run() {
    t_loop = this;
    // The overflow handler runs on its own stack: the fiber's has none left.
    constexpr size_t kAltStack = 64 * 1024;
    alt_stack = ::mmap(nullptr, kAltStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (alt_stack != MAP_FAILED) {
        stack_t ss{};
        ss.ss_sp = alt_stack;
        ss.ss_size = kAltStack;
        ::sigaltstack(&ss, nullptr);
    }
    epoll_event events[256];
    for (;;) {
        std::vector<std::function<void()>> jobs;
        bool stop = false;
        {
            common::MutexLock lock(mu);
            jobs.swap(posted);
            stop = stopping;
        }
        for (auto& job : jobs) job();
        while (!ready.empty()) {
            Fiber* f = ready.front();
            ready.pop_front();
            Resume(f);
        }
        if (stop && live == 0) {
            common::MutexLock lock(mu);
            if (posted.empty()) break;
            continue;
        }
        const int n = ::epoll_wait(ep, events, 256, NextTimeoutMs());
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kWakeTag) {
                uint64_t count;
                [[maybe_unused]] ssize_t r = ::read(wake, &count, sizeof count);
                continue;
            }
            Dispatch(static_cast<int>(events[i].data.u64), events[i].events);
        }
        const int64_t now = NowNs();
        while (!timers.empty() && timers.begin()->first <= now) {
            Fiber* f = timers.begin()->second;
            timers.erase(timers.begin());
            f->has_timer = false;
            if (!f->waiting || f->deadline == 0) continue;  // the wait that set it is over
            if (f->deadline <= now) {
                MakeReady(f);
            } else {
                KeepTimer(f);
            }
        }
    }
    if (alt_stack != MAP_FAILED) {
        stack_t ss{};
        ss.ss_flags = SS_DISABLE;
        ::sigaltstack(&ss, nullptr);
        ::munmap(alt_stack, kAltStack);
    }
    for (Stack& s : stacks) ::munmap(s.base, s.size);
    stacks.clear();
    t_loop = nullptr;
    common::MutexLock lock(mu);
    ended = true;
    ended_cv.notify_all();
}

CEventLoop::CEventLoop(LogFn log, SlowStepFn slow_step) : impl_(std::make_unique<Impl>()) {
    impl_->owner = this;
    impl_->log = std::move(log);
    impl_->slow_step = std::move(slow_step);
}

CEventLoop::~CEventLoop() {
    Stop(-1);
    if (impl_->ep >= 0) ::close(impl_->ep);
    if (impl_->wake >= 0) ::close(impl_->wake);
}

bool CEventLoop::Start() {
    if (impl_->thread.joinable()) return true;
    impl_->ep = ::epoll_create1(EPOLL_CLOEXEC);
    impl_->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl_->ep < 0 || impl_->wake < 0) return false;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeTag;
    if (::epoll_ctl(impl_->ep, EPOLL_CTL_ADD, impl_->wake, &ev) != 0) return false;
    InstallOverflowHandler();
    try {
        impl_->thread = std::thread([this] { impl_->Run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool CEventLoop::Spawn(std::function<void()> fn) {
    Impl* impl = impl_.get();
    // Counted first: the loop may start and end the fiber before Post returns.
    fibers_.fetch_add(1);
    if (impl->Post([impl, fn = std::move(fn)]() mutable { impl->StartFiber(std::move(fn)); }, true)) return true;
    fibers_.fetch_sub(1);
    return false;
}

bool CEventLoop::Stop(int wait_ms) {
    if (!impl_->thread.joinable()) return true;
    {
        common::MutexLock lock(impl_->mu);
        impl_->stopping = true;
    }
    impl_->Wake();
    {
        common::MutexLock lock(impl_->mu);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
        while (!impl_->ended) {
            if (wait_ms < 0) {
                impl_->ended_cv.wait(impl_->mu);
            } else if (impl_->ended_cv.wait_until(impl_->mu, deadline) == std::cv_status::timeout) {
                if (!impl_->ended) return false;
            }
        }
    }
    impl_->thread.join();
    return true;
}

int Poll(pollfd* fds, size_t n, int timeout_ms) {
    CEventLoop::Fiber* f = t_fiber;
    if (!f || timeout_ms == 0 || n > 255 || common::HeldLocks() > 0) return ::poll(fds, n, timeout_ms);
    if (f->interrupted) {
        f->interrupted = false;
        f->woken_by_interrupt = true;
        for (size_t i = 0; i < n; ++i) fds[i].revents = 0;
        return 0;
    }
    CEventLoop::Impl* loop = f->loop;
    for (size_t i = 0; i < n; ++i) {
        fds[i].revents = 0;
        if (fds[i].fd < 0) continue;
        if (loop->Arm(f, fds[i].fd, static_cast<uint32_t>(fds[i].events & (POLLIN | POLLOUT | POLLPRI)))) continue;
        // A descriptor epoll cannot watch: poll(2) answers at once.
        return ::poll(fds, n, timeout_ms);
    }
    if (timeout_ms > 0) {
        f->deadline = NowNs() + int64_t{timeout_ms} * 1'000'000;
        loop->KeepTimer(f);
    }
    f->fds = fds;
    f->nfds = n;
    f->waiting = true;
    f->interruptible = true;
    f->woken_by_interrupt = false;
    Yield(f);
    f->interruptible = false;
    f->fds = nullptr;
    f->nfds = 0;
    int ready = 0;
    for (size_t i = 0; i < n; ++i)
        if (fds[i].revents) ++ready;
    return ready;
}

int CloseDescriptor(int fd) {
    CEventLoop::Impl* loop = t_loop;
    if (loop && fd >= 0 && static_cast<size_t>(fd) < loop->regs.size()) loop->regs[static_cast<size_t>(fd)] = {};
    return ::close(fd);
}

void SleepMs(int ms) {
    CEventLoop::Fiber* f = t_fiber;
    if (ms <= 0) return;
    if (!f || common::HeldLocks() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    Poll(nullptr, 0, ms);
}

bool OnFiber() {
    return t_fiber != nullptr;
}

void RunBlocking(const std::function<void()>& fn) {
    CEventLoop::Fiber* f = t_fiber;
    if (!f || common::HeldLocks() > 0) {
        fn();
        return;
    }
    CEventLoop::Impl* loop = f->loop;
    const uint32_t slot = f->slot;
    const uint32_t gen = loop->gens[slot];
    HelperPool::Get().Run([&fn, loop, slot, gen] {
        fn();
        loop->Post([loop, slot, gen] { loop->WakeIf(slot, gen); });
    });
    f->waiting = true;
    Yield(f);
}

void SetFiberLabel(std::function<std::string()> label) {
    if (t_fiber) t_fiber->label = std::move(label);
}

void TrimFiberStack() {
    CEventLoop::Fiber* f = t_fiber;
    if (!f || !f->stack.base || !f->loop->ManyFibers()) return;
    char here;
    const auto page = static_cast<uintptr_t>(PageSize());
    // Below this frame, less a margin for the red zone of leaf calls.
    const uintptr_t top = (reinterpret_cast<uintptr_t>(&here) - 512) & ~(page - 1);
    const auto low = reinterpret_cast<uintptr_t>(f->stack.base) + page;  // above the guard
    if (top > low) ::madvise(reinterpret_cast<void*>(low), top - low, MADV_DONTNEED);
}

FiberRef CurrentFiber() {
    CEventLoop::Fiber* f = t_fiber;
    if (!f) return {};
    return {f->loop, f->slot, f->serial};
}

void Interrupt(const FiberRef& ref) {
    if (!ref) return;
    auto* loop = static_cast<CEventLoop::Impl*>(ref.loop);
    const uint32_t slot = ref.slot;
    const uint64_t serial = ref.serial;
    loop->Post([loop, slot, serial] {
        if (slot >= loop->slots.size()) return;
        CEventLoop::Fiber* f = loop->slots[slot];
        if (!f || f->serial != serial) return;
        if (f->waiting && f->interruptible) {
            f->woken_by_interrupt = true;
            loop->MakeReady(f);
        } else {
            f->interrupted = true;  // running, ready, or in RunBlocking: its next wait
        }
    });
}

bool PollInterrupted() {
    return t_fiber && t_fiber->woken_by_interrupt;
}

int64_t FiberStepMs() {
    return t_fiber ? (NowNs() - t_fiber->resumed_ns) / 1'000'000 : 0;
}

void SetFiberAbandonHook(std::function<void()> hook) {
    if (t_fiber) t_fiber->abandon = std::move(hook);
}

bool CLoopGroup::Resize(size_t n) {
    if (n == 0) n = 1;
    while (loops_.size() < n) {
        auto loop = std::make_unique<CEventLoop>(log_, slow_step_);
        if (!loop->Start()) return !loops_.empty();
        loops_.push_back(std::move(loop));
    }
    return true;
}

CEventLoop* CLoopGroup::Pick() {
    if (loops_.empty()) return nullptr;
    // The least busy; among equals the next in turn, so idle loops share the first connections.
    size_t best = next_ % loops_.size();
    for (size_t k = 0; k < loops_.size(); ++k) {
        const size_t i = (next_ + k) % loops_.size();
        if (loops_[i]->Fibers() < loops_[best]->Fibers()) best = i;
    }
    next_ = best + 1;
    return loops_[best].get();
}

bool CLoopGroup::StopAll(int wait_ms) {
    bool all = true;
    for (auto& loop : loops_) all = loop->Stop(wait_ms) && all;
    return all;
}

}  // namespace platform
