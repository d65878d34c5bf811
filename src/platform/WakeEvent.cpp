#include "platform/WakeEvent.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace platform {

CWakeEvent::CWakeEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CWakeEvent::~CWakeEvent() {
    if (fd_ >= 0) ::close(fd_);
}

void CWakeEvent::Notify() {
    if (raised_.exchange(true, std::memory_order_acq_rel)) return;  // already on its way
    const uint64_t one = 1;
    if (fd_ >= 0) (void)!::write(fd_, &one, sizeof one);
}

void CWakeEvent::Clear() {
    // Only a raised flag has a write behind it: most passes find it lowered and cost nothing.
    // Lowered before the counter is emptied: a Notify in between writes again and stays
    // raised, which WaitFor sees before it sleeps.
    if (!raised_.exchange(false, std::memory_order_acq_rel)) return;
    uint64_t n;
    if (fd_ >= 0) (void)!::read(fd_, &n, sizeof n);
}

bool CWakeEvent::WaitFor(int ms, const std::vector<int>& readable, std::vector<int>* ready) {
    if (ready) ready->clear();
    if (raised_.load(std::memory_order_acquire)) return false;
    if (fd_ < 0) {  // no eventfd (out of descriptors at start): a plain pause
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return false;
    }
    pollfd stack[8];
    std::vector<pollfd> heap;
    pollfd* fds = stack;
    const size_t n = readable.size() + 1;
    if (n > std::size(stack)) {
        heap.resize(n);
        fds = heap.data();
    }
    fds[0] = {fd_, POLLIN, 0};
    for (size_t i = 0; i < readable.size(); ++i) fds[i + 1] = {readable[i], POLLIN, 0};
    // A signal ends the wait too: its handler may have asked the loop to stop or reload.
    if (::poll(fds, n, ms) < 0) return false;
    // A Notify whose flag Clear lowered before its write landed leaves a count behind: emptied
    // here, or every later wait would end at once.
    uint64_t count;
    if (fds[0].revents) (void)!::read(fd_, &count, sizeof count);
    if (ready)
        for (size_t i = 0; i < readable.size(); ++i)
            if (fds[i + 1].revents) ready->push_back(readable[i]);
    return true;
}

CWakeEvent& KernelWake() {
    static CWakeEvent wake;
    return wake;
}

}  // namespace platform
