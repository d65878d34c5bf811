// The practical limit the relay is measured against: one epoll thread that accepts clients,
// connects each to the back end and moves bytes both ways with splice, looking at none of
// them. usage: trivial_relay LISTEN_PORT BACKEND_PORT
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

namespace {

struct Pipe {
    int to;      // the socket the bytes go to
    int fds[2];  // kernel pipe between the two sockets
};

int Socket() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    return fd;
}

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return std::fprintf(stderr, "usage: trivial_relay LISTEN_PORT BACKEND_PORT\n"), 2;
    int ls = Socket();
    sockaddr_in la = Loopback(std::atoi(argv[1])), ba = Loopback(std::atoi(argv[2]));
    if (bind(ls, reinterpret_cast<sockaddr*>(&la), sizeof la) || listen(ls, SOMAXCONN)) return perror("listen"), 1;
    int ep = epoll_create1(0);
    epoll_event ev{EPOLLIN, {.fd = ls}};
    epoll_ctl(ep, EPOLL_CTL_ADD, ls, &ev);
    std::unordered_map<int, Pipe> from;  // socket -> where its bytes go
    auto close_pair = [&](int fd) {
        auto it = from.find(fd);
        if (it == from.end()) return;
        int peer = it->second.to;
        for (int s : {fd, peer}) {
            Pipe& p = from[s];
            close(p.fds[0]), close(p.fds[1]), close(s);
            from.erase(s);
        }
    };
    epoll_event events[256];
    for (;;) {
        int n = epoll_wait(ep, events, 256, -1);
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == ls) {
                int c;
                while ((c = accept4(ls, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                    int one = 1;
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    int b = Socket();
                    connect(b, reinterpret_cast<sockaddr*>(&ba), sizeof ba);  // completes in the background
                    Pipe pc{b, {}}, pb{c, {}};
                    if (pipe2(pc.fds, O_NONBLOCK) || pipe2(pb.fds, O_NONBLOCK)) return perror("pipe"), 1;
                    from[c] = pc, from[b] = pb;
                    for (int s : {c, b}) {
                        epoll_event e{EPOLLIN | EPOLLRDHUP, {.fd = s}};
                        epoll_ctl(ep, EPOLL_CTL_ADD, s, &e);
                    }
                }
                continue;
            }
            auto it = from.find(fd);
            if (it == from.end()) continue;
            Pipe p = it->second;
            ssize_t got = splice(fd, nullptr, p.fds[1], nullptr, 1 << 16, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (got == 0 || (got < 0 && errno != EAGAIN)) {
                close_pair(fd);
                continue;
            }
            // The peer's socket buffer takes SMTP-sized pieces at once; when it is full, wait
            // for it (a benchmark tool may spin).
            while (got > 0) {
                ssize_t put = splice(p.fds[0], nullptr, p.to, nullptr, static_cast<size_t>(got), SPLICE_F_MOVE);
                if (put < 0 && errno == EAGAIN) continue;
                if (put <= 0) break;
                got -= put;
            }
        }
    }
}
