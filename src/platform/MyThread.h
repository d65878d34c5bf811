#pragma once
// CMyThread: a worker thread that is asked to stop and never killed.
//
// Start() runs Run() on a new thread with the running flag set. Stop() clears the flag and
// waits up to a time limit for Run() to return; a thread that is still running then is left
// alone (Stop() returns false so the owner can log it), and the object's destructor waits for
// it, so nothing the thread uses is destroyed under it. Run() must poll IsRunning() and give
// up its locks and sockets when it turns false.
//
// Start and Stop are called by the owner's thread; IsRunning by the worker.
#include <atomic>
#include <condition_variable>
#include <thread>

#include "common/ThreadSafety.h"

namespace platform {

class CMyThread {
public:
    static constexpr int kStopWaitMs = 5000;

    CMyThread() = default;
    virtual ~CMyThread();
    CMyThread(const CMyThread&) = delete;
    CMyThread& operator=(const CMyThread&) = delete;

    // False when a previous run has not ended yet or the thread cannot be created.
    bool Start();
    // Asks Run() to end and waits up to `wait_ms`. True when the thread has ended.
    bool Stop(int wait_ms = kStopWaitMs);
    // Waits, without limit, for the thread to end. Used at destruction.
    void Join();

    bool IsRunning() const { return running_.load(std::memory_order_acquire); }
    bool HasEnded() const;

protected:
    virtual void Run() = 0;
    // Sleeps up to `ms`, waking early when Stop() is called. False when asked to stop.
    bool SleepWhileRunning(int ms);

private:
    std::thread thread_;
    std::atomic<bool> running_{false};
    mutable common::Mutex mu_;
    std::condition_variable_any cv_;
    bool ended_ GUARDED_BY(mu_) = true;
};

}  // namespace platform
