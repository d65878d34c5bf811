#include "platform/SocketComm.h"

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
        rc = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

}  // namespace

void CSocketComm::Attach(int fd) {
    Close();
    fd_.store(fd);
}

void CSocketComm::Close() {
    if (tls_) {
        tls_->Shutdown();
        tls_.reset();
    }
    int fd = fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
}

bool CSocketComm::StartTls(std::shared_ptr<const TlsContext> ctx, int timeout_ms, int wake_fd, std::string* error) {
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
    if (!session->Handshake(timeout_ms, wake_fd, error)) return false;
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
        rc = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
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
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found) return false;
    sockaddr_in target{};
    std::memcpy(&target, found->ai_addr, sizeof target);
    ::freeaddrinfo(found);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    auto fail = [fd] {
        ::close(fd);
        return false;
    };
    if (!bind_ip.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, bind_ip.c_str(), &local.sin_addr) != 1 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            return fail();
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
        if (errno != EINPROGRESS || !WaitFor(fd, POLLOUT, timeout_ms)) return fail();
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return fail();
    }
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
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(p));
    if (address.empty()) {
        a.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
        errno = EINVAL;
        return false;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const int saved = errno;  // the caller reports why
        ::close(fd);
        errno = saved;
        return false;
    }
    Attach(fd);
    return true;
}

uint16_t CSocketComm::LocalPort() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int fd = fd_.load();
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

int CSocketComm::Accept(int timeout_ms, int* error) {
    if (error) *error = 0;
    int fd = fd_.load();
    if (fd < 0 || !WaitFor(fd, POLLIN, timeout_ms)) return -1;
    int got = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (got < 0 && error) *error = errno;
    return got;
}

uint32_t CSocketComm::PeerAddress() const {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int fd = fd_.load();
    if (fd < 0 || ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET) return 0;
    return a.sin_addr.s_addr;
}

std::string CSocketComm::PeerAddressText() const {
    uint32_t addr = PeerAddress();
    char buf[INET_ADDRSTRLEN] = "";
    in_addr in{addr};
    inet_ntop(AF_INET, &in, buf, sizeof buf);
    return addr ? std::string(buf) : std::string();
}

}  // namespace platform
