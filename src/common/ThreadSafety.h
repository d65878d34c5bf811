#pragma once
// Clang's thread-safety analysis: members say which lock guards them (GUARDED_BY), functions
// which lock they need held (REQUIRES) or take (ACQUIRE/RELEASE), and every clang build
// (-Wthread-safety) checks the code against it. Other compilers see empty macros.
//
// common::Mutex and common::MutexLock are std::mutex and std::lock_guard as the analysis
// knows them; std::mutex itself carries no annotations in libstdc++. A condition variable
// waits on Mutex::Native() inside a function that REQUIRES the mutex.
#include <mutex>

#if defined(__clang__)
#define MV_TSA(x) __attribute__((x))
#else
#define MV_TSA(x)
#endif

#define CAPABILITY(x) MV_TSA(capability(x))
#define SCOPED_CAPABILITY MV_TSA(scoped_lockable)
#define GUARDED_BY(x) MV_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) MV_TSA(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) MV_TSA(acquired_before(__VA_ARGS__))
#define REQUIRES(...) MV_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) MV_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) MV_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) MV_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) MV_TSA(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) MV_TSA(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS MV_TSA(no_thread_safety_analysis)

namespace common {

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mu_.lock(); }
    void unlock() RELEASE() { mu_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
    // For std::condition_variable; the caller holds this mutex.
    std::mutex& Native() { return mu_; }

private:
    std::mutex mu_;
};

template <typename M>
class SCOPED_CAPABILITY LockGuard {
public:
    explicit LockGuard(M& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
    ~LockGuard() RELEASE() { mu_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    M& mu_;
};

using MutexLock = LockGuard<Mutex>;

}  // namespace common
