#pragma once
// CWakeEvent: lets a thread that queued work for the main loop cut the loop's pauses short.
// Notify() raises the flag; WaitFor() returns at once while it is raised and otherwise waits
// up to its time-out for it; the consumer lowers it (Clear) just before it takes the work, so
// work queued after that raises it again. Any thread.
#include <chrono>
#include <condition_variable>

#include "common/ThreadSafety.h"

namespace platform {

class CWakeEvent {
public:
    void Notify() {
        {
            common::MutexLock lock(mu_);
            raised_ = true;
        }
        cv_.notify_all();
    }
    void WaitFor(int ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        common::MutexLock lock(mu_);
        while (!raised_ && cv_.wait_until(mu_, deadline) != std::cv_status::timeout) {
        }
    }
    void Clear() {
        common::MutexLock lock(mu_);
        raised_ = false;
    }

private:
    common::Mutex mu_;
    std::condition_variable_any cv_;
    bool raised_ GUARDED_BY(mu_) = false;
};

// The kernel's main loop waits on this one between its steps; the listener and the admission
// workers raise it when a client is waiting to be admitted.
CWakeEvent& KernelWake();

}  // namespace platform
