#pragma once
// UdpSocket: one datagram socket of either family with time-outs in milliseconds, for the
// resolvers and the DNSBL check. Closed by its destructor; one thread at a time.
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/IpAddress.h"

namespace platform {

struct Endpoint {
    common::IpAddress ip;
    uint16_t port = 0;  // host byte order
    bool operator==(const Endpoint& o) const { return ip == o.ip && port == o.port; }
};

// The socket address of an endpoint, and back (an IPv4 address mapped into IPv6 comes back as
// the IPv4 address).
struct SockAddr {
    sockaddr_storage storage{};
    socklen_t length = 0;
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};
SockAddr ToSockAddr(const Endpoint& ep);
std::optional<Endpoint> FromSockAddr(const sockaddr* addr, socklen_t length);
// The address alone as text ("" for what is no IP address), as FromSockAddr reads it.
std::string AddressText(const sockaddr* addr, socklen_t length);

// "a.b.c.d", "a.b.c.d:port", an IPv6 address alone or "[v6]:port" (default port
// `default_port`), or a host name, with or without ":port", resolved by the system resolver
// (its first address). nullopt when it cannot be resolved or the port is bad.
std::optional<Endpoint> ParseEndpoint(std::string_view text, uint16_t default_port);
// "192.0.2.1:53", "[2001:db8::1]:53": what ParseEndpoint reads back.
std::string EndpointText(const Endpoint& ep);

class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket() { Close(); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // A socket of the family (IPv4 unless `ipv6`); an endpoint of the other family cannot be
    // reached through it.
    bool Open(bool ipv6 = false);
    // Binds to 127.0.0.1 (or ::1) on `port` (0: any free port); for test servers.
    bool BindLoopback(uint16_t port, bool ipv6 = false);
    // Binds to the address `ip` on `port` (0: any free port), opening a socket of its family
    // when none is open.
    bool Bind(const std::string& ip, uint16_t port);
    uint16_t LocalPort() const;
    // True when the whole datagram was sent within `timeout_ms`.
    bool SendTo(const Endpoint& to, std::string_view data, int timeout_ms);
    // One datagram into `out` (at most `max` bytes; the rest is dropped), waiting at most
    // `timeout_ms`. False on time-out or error.
    bool RecvFrom(std::string& out, size_t max, int timeout_ms, Endpoint* from = nullptr);
    // Connects to one peer: only its datagrams are received, and an ICMP refusal ("port
    // unreachable") is reported at once by Recv instead of waiting out the time-out.
    bool Connect(const Endpoint& to);
    enum class RecvResult { kData, kTimeout, kRefused };
    // A connected socket's next datagram, as RecvFrom.
    RecvResult Recv(std::string& out, size_t max, int timeout_ms);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace platform
