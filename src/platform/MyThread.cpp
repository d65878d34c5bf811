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
    common::MutexLock lock(mu_);
    if (!ended_) return false;
    if (thread_.joinable()) thread_.join();  // a finished previous run
    ended_ = false;
    running_.store(true, std::memory_order_release);
    try {
        thread_ = std::thread([this] {
            Run();
            common::MutexLock done(mu_);
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    {
        common::MutexLock lock(mu_);
        running_.store(false, std::memory_order_release);
        cv_.notify_all();
        while (!ended_)
            if (cv_.wait_until(mu_, deadline) == std::cv_status::timeout && !ended_) return false;
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    return true;
}

void CMyThread::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool CMyThread::HasEnded() const {
    common::MutexLock lock(mu_);
    return ended_;
}

bool CMyThread::SleepWhileRunning(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    common::MutexLock lock(mu_);
    while (IsRunning() && cv_.wait_until(mu_, deadline) != std::cv_status::timeout) {
    }
    return IsRunning();
}

}  // namespace platform
