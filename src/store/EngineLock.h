#pragma once
// CEngineLock: the lock every engine and table guards itself with: a mutex plus a marker that
// says whether someone holds it, so the core can report at shutdown an engine still held by a
// thread that did not stop. Threads are never killed here, so the holder always releases it;
// use EngineGuard so that it does on every path.
#include <atomic>
#include <mutex>

#include "common/ThreadSafety.h"

namespace store {

class CAPABILITY("mutex") CEngineLock {
public:
    void Lock() ACQUIRE() {
        mu_.lock();
        held_.store(1, std::memory_order_release);
    }
    void Unlock() RELEASE() {
        held_.store(0, std::memory_order_release);
        mu_.unlock();
    }
    bool TryLock() TRY_ACQUIRE(true) {
        if (!mu_.try_lock()) return false;
        held_.store(1, std::memory_order_release);
        return true;
    }
    bool IsHeld() const { return held_.load(std::memory_order_acquire) != 0; }

    // BasicLockable, so std::unique_lock works with it.
    void lock() ACQUIRE() { Lock(); }
    void unlock() RELEASE() { Unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return TryLock(); }

private:
    std::mutex mu_;
    std::atomic<int> held_{0};
};

using EngineGuard = common::LockGuard<CEngineLock>;

}  // namespace store
