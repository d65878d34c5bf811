// Addresses of both families through the socket layer: endpoints read and written, datagrams
// and connections over ::1, and a dual-stack listener that shows IPv4 clients as IPv4.
#include <gtest/gtest.h>

#include <string>

#include "platform/SocketComm.h"
#include "platform/UdpSocket.h"

namespace platform {
namespace {

std::string Text(std::string_view in, uint16_t default_port = 53) {
    auto ep = ParseEndpoint(in, default_port);
    return ep ? EndpointText(*ep) : "<none>";
}

TEST(Endpoints, BothFamiliesWithAndWithoutPorts) {
    EXPECT_EQ(Text("192.0.2.1"), "192.0.2.1:53");
    EXPECT_EQ(Text("192.0.2.1:5353"), "192.0.2.1:5353");
    EXPECT_EQ(Text("2001:DB8::1"), "[2001:db8::1]:53") << "a bare IPv6 address has no port";
    EXPECT_EQ(Text("[2001:db8::1]:5353"), "[2001:db8::1]:5353");
    EXPECT_EQ(Text("[::1]"), "[::1]:53");
    EXPECT_EQ(Text("::ffff:192.0.2.1"), "192.0.2.1:53");
    const std::string local = Text("localhost:99");
    EXPECT_TRUE(local == "127.0.0.1:99" || local == "[::1]:99") << local << ": the resolver's first address";
    for (const char* bad : {"192.0.2.1:0", "192.0.2.1:70000", "[2001:db8::1]:x", "[nothing]:53", "", "[::1"})
        EXPECT_EQ(Text(bad), "<none>") << bad;
}

TEST(Endpoints, DatagramsOverIPv6Loopback) {
    UdpSocket server, client;
    ASSERT_TRUE(server.BindLoopback(0, true));
    const auto to = ParseEndpoint("[::1]:" + std::to_string(server.LocalPort()), 0);
    ASSERT_TRUE(to);
    ASSERT_TRUE(client.Open(true));
    ASSERT_TRUE(client.Connect(*to));
    ASSERT_TRUE(client.SendTo(*to, "ping", 100));
    std::string got;
    Endpoint from;
    ASSERT_TRUE(server.RecvFrom(got, 64, 1000, &from));
    EXPECT_EQ(got, "ping");
    EXPECT_EQ(from.ip.ToString(), "::1");
    ASSERT_TRUE(server.SendTo(from, "pong", 100));
    EXPECT_EQ(client.Recv(got, 64, 1000), UdpSocket::RecvResult::kData);
    EXPECT_EQ(got, "pong");
    UdpSocket v4;
    ASSERT_TRUE(v4.Open());
    EXPECT_FALSE(v4.SendTo(*to, "x", 100)) << "an IPv4 socket cannot reach an IPv6 endpoint";
}

TEST(Connections, IPv6AndDualStackListeners) {
    CSocketComm only6;
    ASSERT_TRUE(only6.Listen("::1", "0"));
    CSocketComm c;
    ASSERT_TRUE(c.Connect("::1", std::to_string(only6.LocalPort()), "", 1000));
    int fd = only6.Accept(1000);
    ASSERT_GE(fd, 0);
    CSocketComm accepted;
    accepted.Attach(fd);
    EXPECT_EQ(accepted.PeerAddressText(), "::1");
    CSocketComm bracketed;
    EXPECT_TRUE(bracketed.Connect("[::1]", std::to_string(only6.LocalPort()), "::1", 1000));
    CSocketComm wrong_family;
    EXPECT_FALSE(wrong_family.Connect("::1", std::to_string(only6.LocalPort()), "127.0.0.1", 1000))
        << "bound to an IPv4 address, only IPv4 addresses are tried";

    CSocketComm dual;
    ASSERT_TRUE(dual.Listen("::", "0"));
    for (const char* from : {"127.0.0.1", "::1"}) {
        CSocketComm client;
        ASSERT_TRUE(client.Connect(from, std::to_string(dual.LocalPort()), "", 1000)) << from;
        const int got = dual.Accept(1000);
        ASSERT_GE(got, 0);
        CSocketComm peer;
        peer.Attach(got);
        EXPECT_EQ(peer.PeerAddressText(), from) << "never a ::ffff: form";
    }
    CSocketComm bad;
    EXPECT_FALSE(bad.Listen("not-an-address", "0"));
}

}  // namespace
}  // namespace platform
