#pragma once
// CWakeEvent: lets a thread that queued work for the main loop cut the loop's pauses short.
// Notify() raises the flag; WaitFor() returns at once while it is raised and otherwise waits
// up to its time-out for it; the consumer lowers it (Clear) just before it takes the work, so
// work queued after that raises it again. Any thread.
#include <condition_variable>
#include <mutex>

namespace platform {

class CWakeEvent {
public:
    void Notify() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            raised_ = true;
        }
        cv_.notify_all();
    }
    void WaitFor(int ms) {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return raised_; });
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mu_);
        raised_ = false;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool raised_ = false;  // guarded by mu_
};

// The kernel's main loop waits on this one between its steps; the listener and the admission
// workers raise it when a client is waiting to be admitted.
CWakeEvent& KernelWake();

}  // namespace platform
