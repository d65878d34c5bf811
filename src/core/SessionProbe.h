#pragma once
// SessionProbe: drives one session's protocol steps without its thread or the network, for
// the tests and the fuzz target. The session gets socket pairs as its client and MTA sockets
// (so "a socket exists"), its scripts are compiled as at a hand-off, and then the caller feeds
// client bytes and MTA replies and collects what the session would have sent.
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/LauchAntispam.h"

namespace core {

struct SessionProbe {
    SessionProbe(CLauchAntispam& session, std::shared_ptr<const SessionSettings> settings) : s(session) {
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, client_pair);
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, mta_pair);
        client.Attach(client_pair[0]);
        client.SetFree(false);
        s.settings_ = std::move(settings);
        s.id_ = 1;
        s.client_ = &client;
        s.client_ip_ = "127.0.0.1";
        s.ending_ = false;
        s.RegisterScripts();
        s.mta_ = std::make_unique<CSocketComm>();
        s.mta_->Attach(mta_pair[0]);
        int32_t id = 1;
        if (s.host_) s.host_->Event("OnStartClientConnection", "int", {&id});
    }
    ~SessionProbe() {
        s.MoveScriptLogs();
        s.client_ = nullptr;
        s.Reset();
        ::close(client_pair[1]);
        ::close(mta_pair[1]);
    }
    SessionProbe(const SessionProbe&) = delete;
    SessionProbe& operator=(const SessionProbe&) = delete;

    size_t RecvSize() const { return static_cast<size_t>(s.settings_->recv_size); }

    // Client bytes in reads of at most the receive size, as long as the session reads them;
    // the count it took.
    size_t Client(std::string_view bytes) {
        size_t taken = 0;
        while (taken < bytes.size() && !s.ending_) {
            Pump();
            if (s.ending_ || !s.WantClientBytes(RecvSize())) break;
            size_t n = std::min(RecvSize(), bytes.size() - taken);
            s.ClientBytes(std::string(bytes.substr(taken, n)));
            taken += n;
        }
        Pump();
        return taken;
    }
    void Mta(std::string_view bytes) {
        if (s.ending_) return;
        s.HandleReply(bytes);
        Pump();
    }
    // Takes commands and flows the message until nothing moves; the queues are "sent". What goes
    // to the MTA is also kept as segments: 'c' a command the session took, 'd' message data.
    void Pump() {
        for (int guard = 0; guard < 100000 && !s.ending_; ++guard) {
            auto state = [this] {
                return std::make_tuple(to_mta.size(), to_client.size(), s.pending_.size(), s.held_.size(), s.mode_);
            };
            const auto before = state();
            s.TakeCommand();
            if (s.ending_) break;
            Sent('c');
            s.Flow(RecvSize());
            Sent('d');
            to_client += s.client_queue_;
            s.client_queue_.clear();
            if (s.close_after_send_) s.End(nullptr);  // the relay loop ends once the client has it all
            if (state() == before) break;
        }
    }
    void Sent(char kind) {
        if (s.mta_queue_.empty()) return;
        if (!MtaOpen()) {
            s.mta_queue_.clear();  // as the relay loop does: no MTA to take it
            return;
        }
        to_mta += s.mta_queue_;
        segments.emplace_back(kind, s.mta_queue_);
        s.mta_queue_.clear();
    }
    bool Ended() const { return s.ending_; }
    // What the session does with its scripts at the start of a connection.
    bool CheckScripts() { return s.CheckScripts(); }
    bool MtaOpen() const { return s.mta_ && s.mta_->HasHandle(); }
    int Mode() const { return s.mode_; }
    const std::string& Held() const { return s.held_; }
    const std::string& Pending() const { return s.pending_; }
    int HoldLimit() const { return s.hold_limit_; }
    bool Relay() const { return s.relay_; }
    int Errors() const { return s.error_count_; }

    CLauchAntispam& s;
    CSocketComm client;
    int client_pair[2] = {-1, -1};
    int mta_pair[2] = {-1, -1};
    std::string to_mta, to_client;
    std::vector<std::pair<char, std::string>> segments;
};

}  // namespace core
