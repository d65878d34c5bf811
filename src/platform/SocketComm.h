#pragma once
// CSocketComm: one TCP socket and a free flag, as the listener's connection slots, the refusal
// socket and the sessions use them. Send and Recv wait at most a time-out in milliseconds and
// return the byte count, 0 on time-out, -1 on error or a closed connection.
//
// A slot changes hands by its handle and free flag: the listener takes only slots with no
// handle and the flag set; whoever ends a connection closes it before setting the flag. Both
// are atomics for that reason; the data calls belong to the slot's current owner.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Tls.h"

namespace platform {

class CSocketComm {
public:
    CSocketComm() = default;
    ~CSocketComm() { Close(); }
    CSocketComm(const CSocketComm&) = delete;
    CSocketComm& operator=(const CSocketComm&) = delete;

    // Takes ownership of a connected socket.
    void Attach(int fd);
    bool HasHandle() const { return fd_.load() >= 0; }
    int Handle() const { return fd_.load(); }
    bool IsFree() const { return free_.load(); }
    void SetFree(bool free) { free_.store(free); }
    // Closes the socket (nothing when there is none).
    void Close();
    // Closes the connection and gives the slot back to the listener: the last thing its
    // holder does with it.
    void Release() {
        Close();
        SetFree(true);
    }

    // Bytes sent (all of `data`), 0 on time-out, -1 on error or without a handle.
    int Send(std::string_view data, int timeout_ms);
    // Bytes received into `buffer`, 0 on time-out, -1 on error, a closed connection or no handle.
    int Recv(char* buffer, int size, int timeout_ms);

    // Without waiting: bytes sent (possibly fewer than asked), 0 when the socket cannot take
    // any now, -1 on error or without a handle. The relay loop polls and calls these.
    int SendSome(std::string_view data);
    // Without waiting: bytes received, 0 when nothing is there, -1 on error, a closed
    // connection or without a handle.
    int RecvSome(char* buffer, int size);
    // Connects a new TCP socket to host:port (an address of either family, in brackets or not,
    // or a name: each of its addresses in the resolver's order until one answers), bound to
    // `bind_ip` when not empty (then only addresses of its family are tried), waiting at most
    // `timeout_ms` for each. Closes any previous socket first.
    bool Connect(const std::string& host, const std::string& port, const std::string& bind_ip, int timeout_ms);

    // Switches the connection to TLS in place (`server_side`: this end answers the handshake),
    // waiting at most `timeout_ms` (less when a stop interrupts the fiber). From then on every
    // data call goes through TLS. False with `error` set when the handshake failed: the
    // connection is then of no further use and should be closed.
    bool StartTls(std::shared_ptr<const TlsContext> ctx, int timeout_ms, std::string* error);
    bool TlsActive() const { return tls_ != nullptr; }
    // Decrypted bytes waiting to be read: poll() does not see them.
    int TlsPending() const { return tls_ ? tls_->Pending() : 0; }
    // Protocol and cipher ("TLSv1.3 TLS_AES_256_GCM_SHA384"), empty without TLS.
    std::string TlsInfo() const { return tls_ ? tls_->Info() : std::string(); }

    // A listening socket on address:port (SO_REUSEADDR, the system's maximum backlog). An empty
    // address is every IPv4 address; "::" every address of both families (IPv4 clients are
    // seen as IPv4 addresses); another IPv6 address that address alone.
    bool Listen(const std::string& address, const std::string& port);
    // The local port (for listeners bound to port 0).
    uint16_t LocalPort() const;
    // A new connection's handle, waiting at most `timeout_ms`; -1 on time-out or error.
    // Accepts one connection within `timeout_ms`: its descriptor, or -1 (`error`, when given,
    // gets errno when accept itself failed, 0 on a time-out).
    int Accept(int timeout_ms, int* error = nullptr);
    // The peer's address in its canonical text (an IPv4 peer of a dual-stack listener as a dotted
    // quad), "" when there is none.
    std::string PeerAddressText() const;
    // What PeerAddressText gives from then on, until the socket closes: the client's real
    // address when a load balancer stands between (the PROXY protocol), or the address read
    // once at accept (admission and the session ask for it several times). Its holder's only.
    void SetPeerAddress(std::string address) { peer_override_ = std::move(address); }

private:
    std::string peer_override_;
    std::atomic<int> fd_{-1};
    std::atomic<bool> free_{true};
    // The owner's only, like the data calls.
    std::unique_ptr<TlsSession> tls_;
};

}  // namespace platform
