#include "core/SocketComm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace core {

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
    int fd = fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
}

int CSocketComm::Send(std::string_view data, int timeout_ms) {
    int fd = fd_.load();
    if (fd < 0) return -1;
    size_t sent = 0;
    while (sent < data.size()) {
        if (!WaitFor(fd, POLLOUT, timeout_ms)) return sent > 0 ? static_cast<int>(sent) : 0;
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return -1;
        }
        sent += static_cast<size_t>(n);
    }
    return static_cast<int>(sent);
}

int CSocketComm::Recv(char* buffer, int size, int timeout_ms) {
    int fd = fd_.load();
    if (fd < 0 || size <= 0) return -1;
    pollfd p{fd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) return 0;
    if (rc < 0) return -1;
    ssize_t n = ::recv(fd, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    if (n == 0) return -1;  // the peer closed
    return static_cast<int>(n);
}

bool CSocketComm::Listen(const std::string& address, const std::string& port) {
    unsigned p = 0;
    auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), p);
    if (ec != std::errc() || end != port.data() + port.size() || p > 65535) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(p));
    if (address.empty()) {
        a.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
        return false;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        ::close(fd);
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

int CSocketComm::Accept(int timeout_ms) {
    int fd = fd_.load();
    if (fd < 0 || !WaitFor(fd, POLLIN, timeout_ms)) return -1;
    return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
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

}  // namespace core
