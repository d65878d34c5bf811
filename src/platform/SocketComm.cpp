#include "platform/SocketComm.h"

#include "common/IpAddress.h"
#include "platform/EventLoop.h"
#include "platform/UdpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace platform {

namespace {

bool WaitFor(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    int rc;
    do {
        rc = Poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

}  // namespace

void CSocketComm::Attach(int fd) {
    Close();
    peer_override_.clear();
    fd_.store(fd);
}

void CSocketComm::Close() {
    if (tls_) {
        tls_->Shutdown();
        tls_.reset();
    }
    int fd = fd_.exchange(-1);
    if (fd >= 0) CloseDescriptor(fd);
}

bool CSocketComm::StartTls(std::shared_ptr<const TlsContext> ctx, int timeout_ms, std::string* error) {
    const int fd = fd_.load();
    if (fd < 0 || !ctx) {
        if (error) *error = fd < 0 ? "no connection" : "no TLS context";
        return false;
    }
    // OpenSSL must never block in a read or write: the relay loop waits in poll().
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        if (error) *error = std::string("fcntl: ") + std::strerror(errno);
        return false;
    }
    auto session = std::make_unique<TlsSession>(std::move(ctx), fd);
    if (!session->Handshake(timeout_ms, error)) return false;
    tls_ = std::move(session);
    return true;
}

int CSocketComm::Send(std::string_view data, int timeout_ms) {
    int fd = fd_.load();
    if (fd < 0) return -1;
    size_t sent = 0;
    while (sent < data.size()) {
        if (!WaitFor(fd, POLLOUT, timeout_ms)) return sent > 0 ? static_cast<int>(sent) : 0;
        int n = SendSome(data.substr(sent));
        if (n < 0) return -1;
        sent += static_cast<size_t>(n);
    }
    return static_cast<int>(sent);
}

int CSocketComm::Recv(char* buffer, int size, int timeout_ms) {
    int fd = fd_.load();
    if (fd < 0 || size <= 0) return -1;
    if (TlsPending() > 0) return RecvSome(buffer, size);
    pollfd p{fd, POLLIN, 0};
    int rc;
    do {
        rc = Poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) return 0;
    if (rc < 0) return -1;
    return RecvSome(buffer, size);
}

int CSocketComm::SendSome(std::string_view data) {
    int fd = fd_.load();
    if (fd < 0) return -1;
    if (data.empty()) return 0;
    if (tls_) return tls_->SendSome(data);
    for (;;) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

int CSocketComm::RecvSome(char* buffer, int size) {
    int fd = fd_.load();
    if (fd < 0 || size <= 0) return -1;
    if (tls_) return tls_->RecvSome(buffer, size);
    for (;;) {
        ssize_t n = ::recv(fd, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
        if (n > 0) return static_cast<int>(n);
        if (n == 0) return -1;  // the peer closed
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

bool CSocketComm::Connect(const std::string& host, const std::string& port, const std::string& bind_ip,
                          int timeout_ms) {
    Close();
    std::optional<common::IpAddress> local;
    if (!bind_ip.empty() && !(local = common::IpAddress::Parse(bind_ip))) return false;
    const std::string name =
        host.size() > 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2) : host;
    addrinfo hints{};
    hints.ai_family = !local ? AF_UNSPEC : local->IsV4() ? AF_INET : AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (name.empty()) return false;
    int rc = 0;
    // A name may take the system's resolver seconds: not on an event loop's thread.
    if (common::IpAddress::Parse(name)) {
        rc = ::getaddrinfo(name.c_str(), port.c_str(), &hints, &found);
    } else {
        RunBlocking([&] { rc = ::getaddrinfo(name.c_str(), port.c_str(), &hints, &found); });
    }
    if (rc != 0 || !found) return false;
    int fd = -1;
    for (addrinfo* ai = found; ai && fd < 0; ai = ai->ai_next) {
        fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) continue;
        bool ok = true;
        if (local) {
            SockAddr a = ToSockAddr(Endpoint{*local, 0});
            ok = ::bind(fd, a.get(), a.length) == 0;
        }
        if (ok && ::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            ok = errno == EINPROGRESS && WaitFor(fd, POLLOUT, timeout_ms);
            int err = 0;
            socklen_t len = sizeof err;
            ok = ok && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
        if (!ok) {
            CloseDescriptor(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0) return false;
    // Commands and replies are small and each waits for the other side: no Nagle delay.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Attach(fd);
    return true;
}

bool CSocketComm::Listen(const std::string& address, const std::string& port) {
    unsigned p = 0;
    auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), p);
    if (ec != std::errc() || end != port.data() + port.size() || p > 65535) {
        errno = EINVAL;
        return false;
    }
    Endpoint ep;
    ep.port = static_cast<uint16_t>(p);
    if (!address.empty()) {
        const auto ip = common::IpAddress::Parse(address);
        if (!ip) {
            errno = EINVAL;
            return false;
        }
        ep.ip = *ip;
    }
    const bool v6 = !ep.ip.IsV4();
    int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (v6) {
        // "::" takes IPv4 clients too, whatever the system's default; any other address only itself.
        int only = ep.ip == *common::IpAddress::Parse("::") ? 0 : 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    }
    SockAddr a = ToSockAddr(ep);
    if (::bind(fd, a.get(), a.length) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const int saved = errno;  // the caller reports why
        CloseDescriptor(fd);
        errno = saved;
        return false;
    }
    Attach(fd);
    return true;
}

uint16_t CSocketComm::LocalPort() const {
    SockAddr a;
    a.length = sizeof a.storage;
    int fd = fd_.load();
    if (fd < 0 || ::getsockname(fd, a.get(), &a.length) != 0) return 0;
    const auto ep = FromSockAddr(a.get(), a.length);
    return ep ? ep->port : 0;
}

int CSocketComm::Accept(int timeout_ms, int* error) {
    if (error) *error = 0;
    int fd = fd_.load();
    if (fd < 0 || !WaitFor(fd, POLLIN, timeout_ms)) return -1;
    int got = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (got < 0 && error) *error = errno;
    return got;
}

std::string CSocketComm::PeerAddressText() const {
    if (!peer_override_.empty() && fd_.load() >= 0) return peer_override_;
    SockAddr a;
    a.length = sizeof a.storage;
    int fd = fd_.load();
    if (fd < 0 || ::getpeername(fd, a.get(), &a.length) != 0) return std::string();
    return AddressText(a.get(), a.length);
}

}  // namespace platform
