#pragma once
// CListenMorvane: the proxy's listening sockets and its fixed set of connection slots. Its own
// thread accepts clients, gives each a connection id and queues it; the core empties the queue
// on the main thread (admission). When every slot is taken, the client gets the refusal text
// and is closed at once, using no id.
//
// The accept thread and the main thread share the pending queue, the counter and the refusal
// text under the listener's mutex; the main thread takes the queue with TakePending. The accept
// thread never blocks for more than its poll interval, so Stop ends it promptly.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/ThreadSafety.h"
#include "core/ConnCounter.h"
#include "log/LogQueue.h"
#include "platform/MyThread.h"
#include "platform/SocketComm.h"

namespace core {

using platform::CSocketComm;

struct PendingConnection {
    int32_t id;
    CSocketComm* slot;
};

class CListenMorvane : public platform::CMyThread, public logging::CLogQueue {
public:
    // How long the accept thread waits for a client before it checks its running flag.
    static constexpr int kAcceptPollMs = 100;
    // The pause after accept failed for want of descriptors or memory.
    static constexpr int kAcceptErrorPauseMs = 100;
    // Failures this far apart are separate bursts, each logged once.
    static constexpr int kAcceptErrorQuietMs = 5000;

    CListenMorvane() = default;
    ~CListenMorvane() override;

    // Stores the settings and listens on each address of `addresses` (separated by blanks or
    // commas; none: every IPv4 address) at `port` ("0": one port the system picks, the same
    // for all). An address the machine does not have is logged and the others serve; false
    // (errno set) when none is left or a port is taken, and for an empty port (with "Port
    // listen is Empty"). Stops a
    // running accept thread first (Start it again); connections in progress keep their slots,
    // and the same addresses keep their sockets.
    bool InitListen(const std::string& addresses, const std::string& port, int slots);
    // Stops the accept thread, closes the connections nobody took yet and the listening sockets.
    void StopListen();
    bool Listening() const { return !listens_.empty(); }
    uint16_t Port() const { return listens_.empty() ? 0 : listens_.front()->LocalPort(); }
    // The addresses of a listening setting, in order; one empty one (every IPv4 address) for none.
    static std::vector<std::string> SplitAddresses(const std::string& addresses);

    void SetRefusal(std::string text);
    // Takes every queued connection, oldest first.
    std::vector<PendingConnection> TakePending();
    int32_t Counter();
    void SetCounter(int32_t value);
    int SlotCount() const { return usable_; }

protected:
    // CMyThread: the accept loop.
    void Run() override;

private:
    CSocketComm* FreeSlot();
    // Sends the refusal text to a client and closes it.
    void Refuse(int fd);
    // Handles accept's `error`; false when it is not one of running out of descriptors or memory.
    bool AcceptFailed(int error, int64_t* last_failure);
    // A new connection from any listening socket within `timeout_ms`, as CSocketComm::Accept;
    // the sockets take turns, so a flood on one never starves the others.
    int AcceptAny(int timeout_ms, int* error);
    void CloseListens();

    std::string address_, port_;
    // One spare entry that is never handed out.
    std::vector<std::unique_ptr<CSocketComm>> slots_;
    int usable_ = 0;  // slots handed out: set while the accept thread is stopped
    // Set while the accept thread is stopped; only read while it runs.
    std::vector<std::unique_ptr<CSocketComm>> listens_;
    size_t turn_ = 0;  // the accept thread only
    CSocketComm refusal_;
    common::Mutex mu_;
    std::vector<PendingConnection> pending_ GUARDED_BY(mu_);
    int32_t counter_ GUARDED_BY(mu_) = 0;
    std::string refusal_text_ GUARDED_BY(mu_);
    // Held open so that a client can still be refused when every other descriptor is taken.
    int reserve_ = -1;  // the accept thread only
};

}  // namespace core
