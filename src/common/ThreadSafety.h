#pragma once
// Clang's thread-safety analysis: members say which lock guards them (GUARDED_BY), functions
// which lock they need held (REQUIRES) or take (ACQUIRE/RELEASE), and every clang build
// (-Wthread-safety) checks the code against it. Other compilers see empty macros.
//
// common::Mutex and common::MutexLock are std::mutex and std::lock_guard as the analysis
// knows them; std::mutex itself carries no annotations in libstdc++. A condition variable
// waits on Mutex::Native() inside a function that REQUIRES the mutex.
#include <pthread.h>

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
#define REQUIRES_SHARED(...) MV_TSA(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) MV_TSA(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) MV_TSA(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) MV_TSA(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) MV_TSA(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) MV_TSA(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) MV_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) MV_TSA(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) MV_TSA(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS MV_TSA(no_thread_safety_analysis)

namespace common {

// The locks this thread holds now. A fiber must not hand its thread to another fiber while it
// holds one (the other could wait for it for ever on the same thread), so waits check it.
inline thread_local int t_held_locks = 0;
inline int HeldLocks() {
    return t_held_locks;
}

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() {
        mu_.lock();
        ++t_held_locks;
    }
    void unlock() RELEASE() {
        --t_held_locks;
        mu_.unlock();
    }
    bool try_lock() TRY_ACQUIRE(true) {
        if (!mu_.try_lock()) return false;
        ++t_held_locks;
        return true;
    }
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

// Many readers or one writer, as the analysis knows it. A waiting writer holds off new readers:
// with std::shared_mutex (glibc prefers readers) a steady stream of readers, such as the checks
// of many sessions, could keep a writer waiting for ever.
class CAPABILITY("mutex") SharedMutex {
public:
    SharedMutex() {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&mu_, &attr);
        pthread_rwlockattr_destroy(&attr);
    }
    ~SharedMutex() { pthread_rwlock_destroy(&mu_); }
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;
    void lock() ACQUIRE() {
        pthread_rwlock_wrlock(&mu_);
        ++t_held_locks;
    }
    void unlock() RELEASE() {
        --t_held_locks;
        pthread_rwlock_unlock(&mu_);
    }
    void lock_shared() ACQUIRE_SHARED() {
        pthread_rwlock_rdlock(&mu_);
        ++t_held_locks;
    }
    void unlock_shared() RELEASE_SHARED() {
        --t_held_locks;
        pthread_rwlock_unlock(&mu_);
    }

private:
    pthread_rwlock_t mu_;
};

class SCOPED_CAPABILITY ReaderLock {
public:
    explicit ReaderLock(SharedMutex& mu) ACQUIRE_SHARED(mu) : mu_(mu) { mu_.lock_shared(); }
    ~ReaderLock() RELEASE_GENERIC() { mu_.unlock_shared(); }
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;

private:
    SharedMutex& mu_;
};

using WriterLock = LockGuard<SharedMutex>;

}  // namespace common
