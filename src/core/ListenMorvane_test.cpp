#include "core/ListenMorvane.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include <thread>
#include "core/TestClient.h"

namespace core {
namespace {

int Connect(uint16_t port) {
    int fd = testing::ConnectLoopback(port);
    EXPECT_GE(fd, 0);
    return fd;
}

std::string ReadAll(int fd) {
    std::string out;
    char buf[256];
    timeval tv{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    return out;
}

// What the kernel's main loop does: sleep on the listener's sockets, say which were readable,
// then take the clients.
void AcceptSoon(CListenMorvane& l) {
    std::vector<int> fds;
    l.Handles(&fds);
    std::vector<pollfd> p;
    for (int fd : fds) p.push_back({fd, POLLIN, 0});
    ::poll(p.data(), p.size(), 2000);
    std::vector<int> ready;
    for (const pollfd& q : p)
        if (q.revents) ready.push_back(q.fd);
    l.NoteReady(ready);
    l.AcceptWaiting();
}

std::vector<PendingConnection> WaitPending(CListenMorvane& l, size_t n) {
    std::vector<PendingConnection> got;
    for (int i = 0; i < 200 && got.size() < n; ++i) {
        l.AcceptWaiting();
        auto more = l.TakePending();
        got.insert(got.end(), more.begin(), more.end());
        if (got.size() < n) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return got;
}

TEST(ListenMorvaneTest, QueuesClientsAndRefusesWhenTheSlotsAreFull) {
    CListenMorvane l;
    ASSERT_TRUE(l.InitListen("127.0.0.1", "0", 2));
    l.SetRefusal("421 <mx.test> Service not available, closing transmission channel\r\n");
    ASSERT_TRUE(l.Start());
    int a = Connect(l.Port()), b = Connect(l.Port());
    auto pending = WaitPending(l, 2);
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].id, 1);
    EXPECT_EQ(pending[1].id, 2);
    EXPECT_EQ(pending[0].slot->PeerAddressText(), "127.0.0.1");
    EXPECT_FALSE(pending[0].slot->IsFree());
    int c = Connect(l.Port());
    AcceptSoon(l);
    EXPECT_EQ(ReadAll(c), "421 <mx.test> Service not available, closing transmission channel\r\n")
        << "no slot left: the refusal text, then the door";
    EXPECT_EQ(l.Counter(), 2) << "a refused client uses no id";
    // The slot's owner closes it before freeing it; then it takes a client again.
    pending[0].slot->Release();
    int d = Connect(l.Port());
    auto again = WaitPending(l, 1);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].id, 3);
    EXPECT_EQ(pending[0].slot, again[0].slot);
    again[0].slot->Release();
    int e = Connect(l.Port());
    for (int i = 0; i < 200 && l.Counter() < 4; ++i) AcceptSoon(l);
    ASSERT_EQ(l.Counter(), 4);
    l.StopListen();
    EXPECT_FALSE(l.Listening());
    timeval tv{2, 0};
    ::setsockopt(e, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char byte;
    EXPECT_EQ(::read(e, &byte, 1), 0) << "a connection nobody took is closed (not a time-out)";
    EXPECT_TRUE(pending[1].slot->HasHandle()) << "a taken one is its holder's to close";
    pending[1].slot->Release();
    for (int fd : {a, b, c, d, e}) ::close(fd);
}

TEST(ListenMorvaneTest, IdsWrapAndEmptyPortFails) {
    CListenMorvane l;
    EXPECT_FALSE(l.InitListen("127.0.0.1", "", 2));
    auto items = l.TakeAll();
    ASSERT_FALSE(items.empty());
    EXPECT_EQ(items.front().entry, "Port listen is Empty");
    ASSERT_TRUE(l.InitListen("127.0.0.1", "0", 4));
    l.SetCounter(0x7FFFFFFF);
    ASSERT_TRUE(l.Start());
    int fd = Connect(l.Port());
    auto pending = WaitPending(l, 1);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].id, 1) << "the id after 2147483647 is 1";
    ::close(fd);
    l.StopListen();
}

TEST(ListenMorvaneTest, SleepsOnItsSocketsOnlyWhileAccepting) {
    CListenMorvane l;
    ASSERT_TRUE(l.InitListen("127.0.0.1", "0", 4));
    std::vector<int> fds;
    l.Handles(&fds);
    EXPECT_TRUE(fds.empty()) << "not started: a client waits in the backlog";
    int fd = Connect(l.Port());
    l.AcceptWaiting();
    EXPECT_TRUE(l.TakePending().empty());
    ASSERT_TRUE(l.Start());
    l.Handles(&fds);
    ASSERT_EQ(fds.size(), 1u);
    AcceptSoon(l);
    EXPECT_EQ(l.TakePending().size(), 1u) << "the backlog is taken once it starts";
    l.AcceptWaiting();
    EXPECT_TRUE(l.TakePending().empty()) << "nobody waiting: it returns at once";
    // A wait that found no socket readable: that step tries none; the next, untold, tries all.
    int late = Connect(l.Port());
    l.NoteReady({});
    l.AcceptWaiting();
    EXPECT_TRUE(l.TakePending().empty()) << "told that nothing was readable";
    EXPECT_EQ(WaitPending(l, 1).size(), 1u) << "a step nobody told tries every socket";
    ::close(late);
    ::close(fd);
    l.StopListen();
}

TEST(ListenMorvaneTest, ListensOnEachAddressOfAListOnOnePort) {
    EXPECT_EQ(CListenMorvane::SplitAddresses(" 127.0.0.1, ::1\t"), (std::vector<std::string>{"127.0.0.1", "::1"}));
    EXPECT_EQ(CListenMorvane::SplitAddresses(""), std::vector<std::string>{""}) << "none: every IPv4 address";
    CListenMorvane l;
    // 192.0.2.1 is no address of this machine: it is logged and the others serve.
    ASSERT_TRUE(l.InitListen("127.0.0.1 192.0.2.1 ::1", "0", 4));
    bool said = false;
    for (const auto& item : l.TakeAll())
        said = said || item.entry.str().rfind("Cannot listen on 192.0.2.1 port ", 0) == 0;
    EXPECT_TRUE(said);
    ASSERT_TRUE(l.Start());
    const uint16_t port = l.Port();
    int v4 = Connect(port);
    int v6 = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_loopback;
    const bool have_v6 = ::connect(v6, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    auto pending = WaitPending(l, have_v6 ? 2 : 1);
    ASSERT_EQ(pending.size(), have_v6 ? 2u : 1u) << "the system-picked port is every address's port";
    std::vector<std::string> peers;
    for (const auto& p : pending) peers.push_back(p.slot->PeerAddressText());
    std::sort(peers.begin(), peers.end());
    EXPECT_EQ(peers.front(), "127.0.0.1");
    if (have_v6) {
        EXPECT_EQ(peers.back(), "::1");
    }
    ::close(v4);
    ::close(v6);
    l.StopListen();
    EXPECT_FALSE(l.InitListen("192.0.2.1 198.51.100.1", "0", 4)) << "none of them";
    EXPECT_FALSE(l.Listening());
    // A port someone else holds on one address fails the whole list, as it would alone.
    CListenMorvane holder;
    ASSERT_TRUE(holder.InitListen("127.0.0.1", "0", 1));
    EXPECT_FALSE(l.InitListen("::1 127.0.0.1", std::to_string(holder.Port()), 4));
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_FALSE(l.Listening());
}

TEST(SocketCommTest, SendRecvAndTimeouts) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    CSocketComm s;
    s.Attach(pair[0]);
    char buf[16];
    EXPECT_EQ(s.Recv(buf, sizeof buf, 20), 0) << "nothing yet: a time-out";
    ASSERT_EQ(::write(pair[1], "hello", 5), 5);
    EXPECT_EQ(s.Recv(buf, sizeof buf, 100), 5);
    EXPECT_EQ(s.Send("world", 100), 5);
    EXPECT_EQ(::read(pair[1], buf, sizeof buf), 5);
    ::close(pair[1]);
    EXPECT_EQ(s.Recv(buf, sizeof buf, 100), -1) << "the peer closed";
    s.Close();
    EXPECT_EQ(s.Send("x", 10), -1);
    EXPECT_EQ(s.PeerAddressText(), "");
}

}  // namespace
}  // namespace core
