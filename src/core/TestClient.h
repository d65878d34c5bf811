#pragma once
// Test helpers: a TCP client on loopback. Test and benchmark code only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace core::testing {

// A connected socket to 127.0.0.1:port, from `source` (host byte order; 0: any) so tests can
// appear as many clients; -1 when the connect fails.
inline int ConnectLoopback(uint16_t port, uint32_t source = 0) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (source) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = htonl(source);
        ::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace core::testing
