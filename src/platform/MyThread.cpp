#include "platform/MyThread.h"

#include <chrono>
#include <system_error>

namespace platform {

CMyThread::~CMyThread() {
    // A derived destructor should already have stopped the thread; this is the last guard
    // against destroying the object under a running Run().
    running_.store(false, std::memory_order_release);
    cv_.notify_all();
    Join();
}

bool CMyThread::Start() {
    std::unique_lock lock(mu_);
    if (!ended_) return false;
    if (thread_.joinable()) thread_.join();  // a finished previous run
    ended_ = false;
    running_.store(true, std::memory_order_release);
    try {
        thread_ = std::thread([this] {
            Run();
            std::scoped_lock done(mu_);
            ended_ = true;
            cv_.notify_all();
        });
    } catch (const std::system_error&) {
        ended_ = true;
        running_.store(false, std::memory_order_release);
        return false;
    }
    return true;
}

bool CMyThread::Stop(int wait_ms) {
    std::unique_lock lock(mu_);
    running_.store(false, std::memory_order_release);
    cv_.notify_all();
    if (!cv_.wait_for(lock, std::chrono::milliseconds(wait_ms), [this] { return ended_; })) return false;
    lock.unlock();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    return true;
}

void CMyThread::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool CMyThread::HasEnded() const {
    std::scoped_lock lock(mu_);
    return ended_;
}

bool CMyThread::SleepWhileRunning(int ms) {
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !IsRunning(); });
    return IsRunning();
}

}  // namespace platform
