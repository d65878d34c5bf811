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
        s.state_.id = 1;
        s.state_.client = &client;
        s.state_.client_ip = "127.0.0.1";
        s.state_.ending = false;
        s.RegisterScripts();
        s.state_.mta = std::make_unique<CSocketComm>();
        s.state_.mta->Attach(mta_pair[0]);
        int32_t id = 1;
        if (s.host_) s.host_->Event("OnStartClientConnection", "int", {&id});
    }
    ~SessionProbe() {
        s.MoveScriptLogs();
        s.state_.client = nullptr;
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
        while (taken < bytes.size() && !s.state_.ending) {
            Pump();
            if (s.state_.ending || !s.WantClientBytes(RecvSize())) break;
            size_t n = std::min(RecvSize(), bytes.size() - taken);
            s.ClientBytes(std::string(bytes.substr(taken, n)));
            taken += n;
        }
        Pump();
        return taken;
    }
    void Mta(std::string_view bytes) {
        if (s.state_.ending) return;
        s.HandleReply(bytes);
        Pump();
    }
    // Takes commands and flows the message until nothing moves; the queues are "sent". What goes
    // to the MTA is also kept as segments: 'c' a command the session took, 'd' message data.
    void Pump() {
        for (int guard = 0; guard < 100000 && !s.state_.ending; ++guard) {
            auto state = [this] {
                return std::make_tuple(to_mta.size(), to_client.size(), s.state_.pending.size(), s.state_.held.size(),
                                       s.state_.mode);
            };
            const auto before = state();
            if (!s.Advance(RecvSize(), [this] { Sent('c'); })) break;
            Sent('d');
            // The sockets' part of the loop: both queues are sent whole.
            to_client += s.state_.client_queue;
            s.state_.client_queue.clear();
            if (s.CloseDue()) s.End(nullptr);
            if (state() == before) break;
        }
    }
    void Sent(char kind) {
        if (s.state_.mta_queue.empty()) return;
        if (!MtaOpen()) {
            s.state_.mta_queue.clear();  // as the relay loop does: no MTA to take it
            return;
        }
        to_mta += s.state_.mta_queue;
        segments.emplace_back(kind, s.state_.mta_queue);
        s.state_.mta_queue.clear();
    }
    bool Ended() const { return s.state_.ending; }
    // What the session does with its scripts at the start of a connection.
    bool CheckScripts() { return s.CheckScripts(); }
    bool MtaOpen() const { return s.state_.mta && s.state_.mta->HasHandle(); }
    int Mode() const { return s.state_.mode; }
    const std::string& Held() const { return s.state_.held; }
    const std::string& Pending() const { return s.state_.pending; }
    int HoldLimit() const { return s.state_.hold_limit; }
    bool Relay() const { return s.state_.relay; }
    int Errors() const { return s.state_.error_count; }

    CLauchAntispam& s;
    CSocketComm client;
    int client_pair[2] = {-1, -1};
    int mta_pair[2] = {-1, -1};
    std::string to_mta, to_client;
    std::vector<std::pair<char, std::string>> segments;
};

}  // namespace core
