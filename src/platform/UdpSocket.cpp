#include "platform/UdpSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/EventLoop.h"

namespace platform {

SockAddr ToSockAddr(const Endpoint& ep) {
    SockAddr out;
    if (ep.ip.IsV4()) {
        auto* a = reinterpret_cast<sockaddr_in*>(&out.storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(ep.port);
        std::memcpy(&a->sin_addr, ep.ip.bytes, 4);
        out.length = sizeof(sockaddr_in);
    } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&out.storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(ep.port);
        std::memcpy(&a->sin6_addr, ep.ip.bytes, 16);
        out.length = sizeof(sockaddr_in6);
    }
    return out;
}

std::string AddressText(const sockaddr* addr, socklen_t length) {
    const auto ep = FromSockAddr(addr, length);
    return ep ? ep->ip.ToString() : std::string();
}

std::optional<Endpoint> FromSockAddr(const sockaddr* addr, socklen_t length) {
    char text[INET6_ADDRSTRLEN] = "";
    Endpoint ep;
    if (addr->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(addr);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        ep.port = ntohs(a->sin_port);
    } else if (addr->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(addr);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        ep.port = ntohs(a->sin6_port);
    } else {
        return std::nullopt;
    }
    const auto ip = common::IpAddress::Parse(text);
    if (!ip) return std::nullopt;
    ep.ip = *ip;
    return ep;
}

std::optional<Endpoint> ParseEndpoint(std::string_view text, uint16_t default_port) {
    Endpoint ep;
    ep.port = default_port;
    std::string host(text);
    // A port after the last colon, unless the colons are an IPv6 address's own.
    const size_t colon = host.rfind(':');
    const bool bracketed = !host.empty() && host.front() == '[';
    const bool bare_v6 = !bracketed && colon != std::string::npos && host.find(':') != colon;
    if (colon != std::string::npos && !bare_v6 && (!bracketed || (colon > 0 && host[colon - 1] == ']'))) {
        unsigned port = 0;
        auto [p, ec] = std::from_chars(host.data() + colon + 1, host.data() + host.size(), port);
        if (ec != std::errc() || p != host.data() + host.size() || port == 0 || port > 65535) return std::nullopt;
        ep.port = static_cast<uint16_t>(port);
        host.resize(colon);
    }
    if (auto ip = common::IpAddress::Parse(host)) {
        ep.ip = *ip;
        return ep;
    }
    if (bracketed) return std::nullopt;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return std::nullopt;
    const auto found = FromSockAddr(res->ai_addr, res->ai_addrlen);
    freeaddrinfo(res);
    if (!found) return std::nullopt;
    ep.ip = found->ip;
    return ep;
}

std::string EndpointText(const Endpoint& ep) {
    const std::string ip = ep.ip.ToString();
    return (ep.ip.IsV4() ? ip : "[" + ip + "]") + ":" + std::to_string(ep.port);
}

bool UdpSocket::Open(bool ipv6) {
    Close();
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return fd_ >= 0;
}

bool UdpSocket::BindLoopback(uint16_t port, bool ipv6) {
    return Bind(ipv6 ? "::1" : "127.0.0.1", port);
}

bool UdpSocket::Bind(const std::string& ip, uint16_t port) {
    const auto address = common::IpAddress::Parse(ip);
    if (!address) return false;
    if (fd_ < 0 && !Open(!address->IsV4())) return false;
    SockAddr a = ToSockAddr(Endpoint{*address, port});
    return ::bind(fd_, a.get(), a.length) == 0;
}

uint16_t UdpSocket::LocalPort() const {
    SockAddr a;
    a.length = sizeof a.storage;
    if (fd_ < 0 || ::getsockname(fd_, a.get(), &a.length) != 0) return 0;
    const auto ep = FromSockAddr(a.get(), a.length);
    return ep ? ep->port : 0;
}

bool UdpSocket::SendTo(const Endpoint& to, std::string_view data, int timeout_ms) {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLOUT, 0};
    if (Poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms) <= 0) return false;
    SockAddr a = ToSockAddr(to);
    ssize_t n = ::sendto(fd_, data.data(), data.size(), 0, a.get(), a.length);
    return n == static_cast<ssize_t>(data.size());
}

bool UdpSocket::RecvFrom(std::string& out, size_t max, int timeout_ms, Endpoint* from) {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int rc;
    do {
        rc = Poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) return false;
    out.resize(max);
    SockAddr a;
    a.length = sizeof a.storage;
    ssize_t n = ::recvfrom(fd_, out.data(), max, MSG_TRUNC, a.get(), &a.length);
    if (n < 0) {
        out.clear();
        return false;
    }
    out.resize(std::min(static_cast<size_t>(n), max));
    if (from) *from = FromSockAddr(a.get(), a.length).value_or(Endpoint{});
    return true;
}

bool UdpSocket::Connect(const Endpoint& to) {
    if (fd_ < 0) return false;
    SockAddr a = ToSockAddr(to);
    return ::connect(fd_, a.get(), a.length) == 0;
}

UdpSocket::RecvResult UdpSocket::Recv(std::string& out, size_t max, int timeout_ms) {
    out.clear();
    if (fd_ < 0) return RecvResult::kRefused;
    pollfd p{fd_, POLLIN, 0};
    int rc;
    do {
        rc = Poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) return RecvResult::kTimeout;
    if (rc < 0) return RecvResult::kRefused;
    out.resize(max);
    ssize_t n = ::recv(fd_, out.data(), max, MSG_TRUNC);
    if (n < 0) {
        out.clear();
        // ECONNREFUSED: the peer's port is closed; anything else is no better.
        return errno == EAGAIN || errno == EINTR ? RecvResult::kTimeout : RecvResult::kRefused;
    }
    out.resize(std::min(static_cast<size_t>(n), max));
    return RecvResult::kData;
}

void UdpSocket::Close() {
    if (fd_ >= 0) CloseDescriptor(fd_);
    fd_ = -1;
}

}  // namespace platform
