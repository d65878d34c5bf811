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

namespace platform {

std::optional<Endpoint> ParseEndpoint(std::string_view text, uint16_t default_port) {
    Endpoint ep;
    ep.port = default_port;
    std::string host(text);
    size_t colon = host.rfind(':');
    if (colon != std::string::npos) {
        unsigned port = 0;
        auto [p, ec] = std::from_chars(host.data() + colon + 1, host.data() + host.size(), port);
        if (ec != std::errc() || p != host.data() + host.size() || port == 0 || port > 65535) return std::nullopt;
        ep.port = static_cast<uint16_t>(port);
        host.resize(colon);
    }
    in_addr addr{};
    if (inet_pton(AF_INET, host.c_str(), &addr) == 1) {
        ep.address = addr.s_addr;
        return ep;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return std::nullopt;
    ep.address = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return ep;
}

bool UdpSocket::Open() {
    Close();
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return fd_ >= 0;
}

bool UdpSocket::BindLoopback(uint16_t port) {
    if (fd_ < 0 && !Open()) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool UdpSocket::Bind(const std::string& ip, uint16_t port) {
    if (fd_ < 0 && !Open()) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) return false;
    return ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

uint16_t UdpSocket::LocalPort() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

bool UdpSocket::SendTo(const Endpoint& to, std::string_view data, int timeout_ms) {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms) <= 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(to.port);
    a.sin_addr.s_addr = to.address;
    ssize_t n = ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return n == static_cast<ssize_t>(data.size());
}

bool UdpSocket::RecvFrom(std::string& out, size_t max, int timeout_ms, Endpoint* from) {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) return false;
    out.resize(max);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ssize_t n = ::recvfrom(fd_, out.data(), max, MSG_TRUNC, reinterpret_cast<sockaddr*>(&a), &len);
    if (n < 0) {
        out.clear();
        return false;
    }
    out.resize(std::min(static_cast<size_t>(n), max));
    if (from) *from = Endpoint{a.sin_addr.s_addr, ntohs(a.sin_port)};
    return true;
}

bool UdpSocket::Connect(const Endpoint& to) {
    if (fd_ < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(to.port);
    a.sin_addr.s_addr = to.address;
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

UdpSocket::RecvResult UdpSocket::Recv(std::string& out, size_t max, int timeout_ms) {
    out.clear();
    if (fd_ < 0) return RecvResult::kRefused;
    pollfd p{fd_, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
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
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace platform
