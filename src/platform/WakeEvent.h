#pragma once
// CWakeEvent: lets a thread that queued work for the main loop cut the loop's pause short.
// Notify() raises the flag; WaitFor() returns at once while it is raised and otherwise sleeps
// until it is raised, one of the given descriptors is readable (a listening socket with a
// client waiting) or its time-out passes. The consumer lowers the flag (Clear) just before it
// takes the work, so work queued after that raises it again. Notify from any thread; WaitFor
// and Clear from the one thread that waits.
//
// WaitFor says which of the descriptors it found readable, so the waiting thread tries only
// those (an accept on an empty backlog is a system call for nothing).
#include <atomic>
#include <vector>

namespace platform {

class CWakeEvent {
public:
    CWakeEvent();
    ~CWakeEvent();
    CWakeEvent(const CWakeEvent&) = delete;
    CWakeEvent& operator=(const CWakeEvent&) = delete;

    void Notify();
    // True when it waited (polled): then `ready`, when given, holds the descriptors of
    // `readable` that were readable. False when the flag was raised and it returned at once:
    // nothing is known of the descriptors.
    bool WaitFor(int ms, const std::vector<int>& readable = {}, std::vector<int>* ready = nullptr);
    void Clear();

private:
    int fd_ = -1;  // an eventfd: written once per raise, so a burst of Notify costs one write
    std::atomic<bool> raised_{false};
};

// The kernel's main loop waits on this one between its passes, with the listening sockets of
// its engines; the admission workers raise it when a checked client is waiting.
CWakeEvent& KernelWake();

}  // namespace platform
