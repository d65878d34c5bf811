#pragma once
// CListenMorvane: the proxy's listening sockets and its fixed set of connection slots. The
// engine that owns it accepts on its own step (AcceptWaiting, never waiting), gives each client
// a connection id and queues it; it takes the queue with TakePending. When every slot is
// taken, the client gets the refusal text and is closed at once, using no id.
//
// No thread of its own: the kernel's main loop sleeps on the listening sockets (Handles) with
// its other wake-ups, so a client costs the one wake of the thread that admits it. Everything
// but the counter and the refusal text (which admin scripts and the core's reload set) is the
// owner's thread's.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/ThreadSafety.h"
#include "core/ConnCounter.h"
#include "log/LogQueue.h"
#include "platform/SocketComm.h"

namespace core {

using platform::CSocketComm;

struct PendingConnection {
    int32_t id;
    CSocketComm* slot;
};

class CListenMorvane : public logging::CLogQueue {
public:
    // The most clients one AcceptWaiting takes, so that a flood cannot hold its thread.
    static constexpr int kAcceptBurst = 256;
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
    // listen is Empty"). Stops accepting (Start again); connections in progress keep their
    // slots, and the same addresses keep their sockets.
    bool InitListen(const std::string& addresses, const std::string& port, int slots);
    // Accepting on, or off: clients wait in the listening sockets' backlog meanwhile.
    bool Start();
    void Stop() { accepting_ = false; }
    bool HasEnded() const { return !accepting_; }
    // Takes the clients waiting on the listening sockets, up to kAcceptBurst, without waiting.
    void AcceptWaiting();
    // Adds the descriptors whose readiness means a client to take: none while stopped or in
    // the pause after running out of descriptors.
    void Handles(std::vector<int>* out) const;
    // Which descriptors the last wait found readable: the next AcceptWaiting tries only those
    // of them that are this listener's. Without it, AcceptWaiting tries every socket.
    void NoteReady(const std::vector<int>& ready);
    // Stops accepting, closes the connections nobody took yet and the listening sockets.
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

private:
    // Started and not in the pause after running out of descriptors.
    bool TakingClients() const { return accepting_ && common::ProcessMillis() >= paused_until_; }
    CSocketComm* FreeSlot();
    // Sends the refusal text to a client and closes it.
    void Refuse(int fd);
    // Handles accept's `error`; false when it is not one of running out of descriptors or memory.
    bool AcceptFailed(int error);
    // One waiting connection from any listening socket, or -1 (`error` set when accept
    // failed); the sockets take turns, so a flood on one never starves the others. `peer`:
    // the client's address as text. `told`: only the sockets NoteReady named.
    int AcceptAny(int* error, std::string* peer = nullptr, bool told = false);
    void CloseListens();
    // Listens on every address of the setting at `port`; 0, or the error that ended it.
    int ListenAll(const std::string& port);

    std::string address_, port_;
    // One spare entry that is never handed out.
    std::vector<std::unique_ptr<CSocketComm>> slots_;
    int usable_ = 0;                                     // slots handed out
    std::vector<std::unique_ptr<CSocketComm>> listens_;  // non-blocking
    size_t turn_ = 0;
    // Set by NoteReady for the next AcceptWaiting: the listening sockets worth an accept.
    bool told_ = false;
    std::vector<int> ready_;
    bool accepting_ = false;
    int64_t last_failure_ = 0;  // process milliseconds of the last accept that ran out
    int64_t paused_until_ = 0;
    CSocketComm refusal_;
    common::Mutex mu_;
    std::vector<PendingConnection> pending_ GUARDED_BY(mu_);
    int32_t counter_ GUARDED_BY(mu_) = 0;
    std::string refusal_text_ GUARDED_BY(mu_);
    // Held open so that a client can still be refused when every other descriptor is taken.
    int reserve_ = -1;
};

}  // namespace core
