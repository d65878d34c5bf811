#include "platform/Tls.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "platform/EventLoop.h"
#include "platform/SocketComm.h"
#include "platform/TestTempDir.h"
#include "platform/TlsTestCert.h"

namespace platform {
namespace {

struct Pair {
    CSocketComm server, client;
    Pair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        server.Attach(fds[0]);
        client.Attach(fds[1]);
    }
};

class TlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WriteTestCertificate(dir_.File("cert.pem"), dir_.File("key.pem")));
        std::string error;
        server_ = TlsContext::Server(dir_.File("cert.pem"), dir_.File("key.pem"), "TLSv1.2", "", &error);
        ASSERT_TRUE(server_) << error;
        client_ = TlsContext::Client("TLSv1.2", &error);
        ASSERT_TRUE(client_) << error;
    }
    // Both ends' handshakes; true when both succeeded.
    bool Connect(Pair& p) {
        auto peer = std::async(std::launch::async, [&] { return p.client.StartTls(client_, 5000, nullptr); });
        std::string error;
        bool ok = p.server.StartTls(server_, 5000, &error);
        return peer.get() && ok;
    }
    TestTempDir dir_;
    std::shared_ptr<TlsContext> server_, client_;
};

TEST_F(TlsTest, BadFilesAndValuesAreRefusedWithAReason) {
    std::string error;
    EXPECT_FALSE(TlsContext::Server(dir_.File("none.pem"), dir_.File("key.pem"), "", "", &error));
    EXPECT_NE(error.find("none.pem"), std::string::npos) << error;
    ASSERT_TRUE(WriteTestCertificate(dir_.File("other.pem"), dir_.File("otherkey.pem"), "other"));
    EXPECT_FALSE(TlsContext::Server(dir_.File("cert.pem"), dir_.File("otherkey.pem"), "", "", &error));
    EXPECT_NE(error.find("does not match"), std::string::npos) << error;
    EXPECT_FALSE(TlsContext::Server(dir_.File("cert.pem"), dir_.File("key.pem"), "SSLv3", "", &error));
    EXPECT_NE(error.find("min_version"), std::string::npos) << error;
    EXPECT_FALSE(TlsContext::Server(dir_.File("cert.pem"), dir_.File("key.pem"), "", "NOT-A-CIPHER", &error));
    EXPECT_FALSE(TlsContext::Server("", "", "", "", &error));
    std::ofstream(dir_.File("garbage.pem")) << "-----BEGIN CERTIFICATE-----\nnot base64\n";
    EXPECT_FALSE(TlsContext::Server(dir_.File("garbage.pem"), dir_.File("key.pem"), "", "", &error));
    EXPECT_EQ(server_->Subject(), "/CN=morvane.test");
}

TEST_F(TlsTest, DataCrossesBothWaysWithTheSocketContract) {
    Pair p;
    ASSERT_TRUE(Connect(p));
    EXPECT_TRUE(p.server.TlsActive());
    EXPECT_EQ(p.server.TlsInfo().rfind("TLSv1.3 ", 0), 0u) << p.server.TlsInfo();
    // More than the socket buffers hold: partial writes and "nothing now" both happen.
    std::string big(3 << 20, 'x');
    for (size_t i = 0; i < big.size(); i += 997) big[i] = static_cast<char>(i);
    auto writer = std::async(std::launch::async, [&] { return p.client.Send(big, 5000); });
    std::string got;
    char buf[70000];
    while (got.size() < big.size()) {
        int n = p.server.Recv(buf, sizeof buf, 5000);
        ASSERT_GT(n, 0);
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(writer.get(), static_cast<int>(big.size()));
    EXPECT_TRUE(got == big);
    EXPECT_EQ(p.server.RecvSome(buf, sizeof buf), 0) << "nothing now, not an error";

    // Bytes OpenSSL decrypted but the caller did not take are not seen by poll.
    ASSERT_EQ(p.client.Send("250 one\r\n250 two\r\n", 1000), 18);
    ASSERT_EQ(p.server.Recv(buf, 4, 1000), 4);
    EXPECT_EQ(p.server.TlsPending(), 14);
    pollfd fd{p.server.Handle(), POLLIN, 0};
    EXPECT_EQ(::poll(&fd, 1, 0), 0);
    EXPECT_EQ(p.server.Recv(buf, sizeof buf, 0), 14) << "Recv reads pending bytes without waiting";

    p.client.Close();  // close_notify, then the end of the stream
    EXPECT_EQ(p.server.Recv(buf, sizeof buf, 1000), -1);
}

TEST_F(TlsTest, HandshakesThatCannotSucceedEndInTime) {
    {  // Plain text where a ClientHello belongs.
        Pair p;
        ASSERT_EQ(p.client.Send("EHLO garbage\r\nMAIL FROM:<a@b>\r\n", 1000), 31);
        std::string error;
        EXPECT_FALSE(p.server.StartTls(server_, 5000, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(p.server.TlsActive());
    }
    {  // A peer that says nothing: the time-out.
        Pair p;
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(p.server.StartTls(server_, 200, &error));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_NE(error.find("timed out"), std::string::npos) << error;
    }
    {  // A stopping session's interrupt ends it, and says so.
        Pair p;
        CEventLoop loop;
        ASSERT_TRUE(loop.Start());
        std::promise<FiberRef> started;
        std::atomic<bool> done{false};
        std::string error;
        std::chrono::steady_clock::duration took{};
        ASSERT_TRUE(loop.Spawn([&] {
            started.set_value(CurrentFiber());
            const auto start = std::chrono::steady_clock::now();
            EXPECT_FALSE(p.server.StartTls(server_, 60000, &error));
            took = std::chrono::steady_clock::now() - start;
            done = true;
        }));
        const FiberRef ref = started.get_future().get();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Interrupt(ref);
        EXPECT_TRUE(loop.Stop(5000));
        ASSERT_TRUE(done.load());
        EXPECT_LT(took, std::chrono::seconds(3));
        EXPECT_EQ(error, "handshake given up: the session stops");
    }
    {  // The peer leaves mid-way.
        Pair p;
        p.client.Close();
        EXPECT_FALSE(p.server.StartTls(server_, 1000, nullptr));
    }
}

TEST_F(TlsTest, MinimumVersionIsHeld) {
    std::string error;
    auto only13 = TlsContext::Server(dir_.File("cert.pem"), dir_.File("key.pem"), "TLSv1.3", "", &error);
    ASSERT_TRUE(only13) << error;
    Pair p;
    auto peer = std::async(std::launch::async, [&] {
        auto old_client = TlsContext::Client("TLSv1.2", nullptr);
        SSL_CTX_set_max_proto_version(old_client->Handle(), TLS1_2_VERSION);
        return p.client.StartTls(old_client, 2000, nullptr);
    });
    EXPECT_FALSE(p.server.StartTls(only13, 2000, &error));
    EXPECT_FALSE(peer.get());
}

}  // namespace
}  // namespace platform
