#pragma once
// CEngineLock: the lock every engine and table guards itself with: a mutex plus a marker that
// says whether someone holds it, so the core can report at shutdown an engine still held by a
// thread that did not stop. Threads are never killed here, so the holder always releases it;
// use EngineGuard so that it does on every path.
#include <atomic>
#include <mutex>

namespace store {

class CEngineLock {
public:
    void Lock() {
        mu_.lock();
        held_.store(1, std::memory_order_release);
    }
    void Unlock() {
        held_.store(0, std::memory_order_release);
        mu_.unlock();
    }
    bool TryLock() {
        if (!mu_.try_lock()) return false;
        held_.store(1, std::memory_order_release);
        return true;
    }
    bool IsHeld() const { return held_.load(std::memory_order_acquire) != 0; }

    // BasicLockable, so std::scoped_lock and std::unique_lock work with it.
    void lock() { Lock(); }
    void unlock() { Unlock(); }
    bool try_lock() { return TryLock(); }

private:
    std::mutex mu_;
    std::atomic<int> held_{0};
};

using EngineGuard = std::scoped_lock<CEngineLock>;

}  // namespace store
