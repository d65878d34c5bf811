#pragma once
// UdpSocket: one IPv4 datagram socket with time-outs in milliseconds, for the resolvers and
// the DNSBL check. Closed by its destructor; one thread at a time.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct Endpoint {
    uint32_t address = 0;  // network byte order
    uint16_t port = 0;     // host byte order
    bool operator==(const Endpoint&) const = default;
};

// "a.b.c.d" or "a.b.c.d:port" (default port `default_port`), or a host name resolved by the
// system resolver. nullopt when it cannot be resolved or the port is bad.
std::optional<Endpoint> ParseEndpoint(std::string_view text, uint16_t default_port);

class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket() { Close(); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool Open();
    // Binds to 127.0.0.1 on `port` (0: any free port); for test servers.
    bool BindLoopback(uint16_t port);
    // Binds to the IPv4 address `ip` (dotted) on `port` (0: any free port).
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
