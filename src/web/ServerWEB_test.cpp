#include "web/ServerWEB.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/TestTempDir.h"

namespace web {
namespace {

class ServerWEBTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_.Write("www/index.htmcc",
                   "CS_WEB_SCRIPT w = new CS_WEB_SCRIPT($_this);\n"
                   "void html() { w.echo(\"home \" + w.CGI_POST_VAR(\"a\")); }");
        dir_.Write("www/inc.htmch", "include");
        dir_.Write("www/doc/Report.PDF", "%PDF");
        dir_.Write("www/data.weird", "w");
        dir_.Write("www/page.htmcc~", "source");
        dir_.Write("www/.hidden", "h");
        dir_.Write("secret.txt", "secret");
        dir_.Write("www/big.txt", std::string(static_cast<size_t>(kMaxFileBytes), 'b'));
        config_.web_listen = "127.0.0.1";
        config_.web_port = "0";
        config_.web_num_server = 2;
        config_.web_time_keep_alive = 1;
        config_.web_path = dir_.File("www").c_str();
        server_ = std::make_unique<CServerWEB>(config_, cron::KernelAccess{nullptr, &config_, dir_.Path().string()});
        ASSERT_GT(server_->Port(), 0);
    }
    int Connect() {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(server_->Port());
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        return fd;
    }
    void Send(int fd, const std::string& text) {
        ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    }
    // Steps the server and reads until `answers` complete answers came or the connection closed.
    std::string Read(int fd, int answers, int ms = 4000) {
        std::string got;
        closed_ = false;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            server_->Step();
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5) <= 0) continue;
            char buf[65536];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            got.append(buf, static_cast<size_t>(n));
            if (Complete(got) >= answers) break;
        }
        return got;
    }
    // Answers fully present in `text`, by their Content-Length.
    static int Complete(const std::string& text) {
        int count = 0;
        size_t at = 0;
        for (;;) {
            size_t head = text.find("\r\n\r\n", at);
            if (head == std::string::npos) return count;
            size_t cl = text.find("Content-Length: ", at);
            if (cl == std::string::npos || cl > head) return count;
            size_t len = std::stoul(text.substr(cl + 16));
            if (text.size() < head + 4 + len) return count;
            ++count;
            at = head + 4 + len;
        }
    }
    std::string Get(const std::string& url) {
        int fd = Connect();
        Send(fd, "GET " + url + " HTTP/1.0\r\n\r\n");
        std::string r = Read(fd, 1);
        ::close(fd);
        return r;
    }

    platform::TestTempDir dir_;
    config::CKernelConfig config_;
    std::unique_ptr<CServerWEB> server_;
    bool closed_ = false;
};

const std::string kNotFound = "HTTP/1.0 404 Not Found\r\n";

TEST_F(ServerWEBTest, PagesFilesAndWhatIsNeverServed) {
    std::string r = Get("/");
    EXPECT_NE(r.find("Content-Type: text/html\r\n\r\nhome "), std::string::npos) << r;
    r = Get("/doc/Report.PDF");
    EXPECT_NE(r.find("Content-Type: application/pdf\r\n\r\n%PDF"), std::string::npos) << r;
    EXPECT_NE(Get("/data.weird").find("application/octet-stream"), std::string::npos);
    r = Get("/missing.png");
    EXPECT_EQ(r.rfind(kNotFound, 0), 0u);
    for (const char* url : {"/inc.htmch", "/page.htmcc~", "/.hidden", "/../secret.txt", "/%2e%2e/secret.txt",
                            "/doc/..%2f..%2fsecret.txt", "//etc/passwd", "/doc"})
        EXPECT_EQ(Get(url).rfind(kNotFound, 0), 0u) << url;
    EXPECT_EQ(Get("/big.txt").rfind("HTTP/1.0 500 Internal Server Error\r\n", 0), 0u);
}

TEST_F(ServerWEBTest, KeepAlivePipeliningAndSplitPosts) {
    int fd = Connect();
    Send(fd,
         "GET /doc/Report.PDF HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n"
         "GET /data.weird HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
    std::string r = Read(fd, 2);
    EXPECT_EQ(Complete(r), 2) << r;
    EXPECT_NE(r.find("Connection: Keep-Alive"), std::string::npos);
    // The body comes in a later segment: answered only once it is all there.
    Send(fd,
         "POST / HTTP/1.0\r\nConnection: Keep-Alive\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: 7\r\n\r\na=");
    r = Read(fd, 1, 300);
    EXPECT_EQ(Complete(r), 0);
    Send(fd, "hello");
    r += Read(fd, 1);
    EXPECT_NE(r.find("home hello"), std::string::npos) << r;
    // Idle past time_keep_alive: closed.
    Read(fd, 1, 4000);
    EXPECT_TRUE(closed_);
    ::close(fd);
}

TEST_F(ServerWEBTest, OversizedAndSilentConnectionsClose) {
    // Answered with the status that says why, then closed: nothing after it is read.
    int fd = Connect();
    Send(fd, "GET /" + std::string(kMaxUrlBytes + 10, 'a') + " HTTP/1.0\r\n\r\nGET / HTTP/1.0\r\n\r\n");
    std::string got = Read(fd, 3);
    EXPECT_EQ(got.rfind("HTTP/1.0 414 URI Too Long\r\n", 0), 0u) << got.substr(0, 60);
    EXPECT_EQ(Complete(got), 1);
    EXPECT_TRUE(closed_);
    ::close(fd);
    fd = Connect();
    Send(fd, std::string(kMaxHeaderBytes + 100, 'x'));
    got = Read(fd, 3);
    EXPECT_EQ(got.rfind("HTTP/1.0 400 Bad Request\r\n", 0), 0u) << got.substr(0, 60);
    EXPECT_TRUE(closed_);
    ::close(fd);
    // Connected and silent for longer than time_keep_alive.
    fd = Connect();
    EXPECT_EQ(Read(fd, 1, 4000), "");
    EXPECT_TRUE(closed_) << [&] {
        std::string log;
        for (const auto& item : server_->TakeAll()) log += item.entry.str() + "\n";
        return log;
    }();
    ::close(fd);
    std::string log;
    for (const auto& item : server_->TakeAll()) log += item.entry.str() + "\n";
    EXPECT_NE(log.find("Invalid request (414) ip: 127.0.0.1"), std::string::npos) << log;
}

TEST_F(ServerWEBTest, ReloadRebuildsTheChildrenAndKeepsServing) {
    int fd = Connect();  // held across the reload: its child goes, and the connection with it
    for (int i = 0; i < 40; ++i) {
        server_->Step();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    config_.web_num_server = 3;
    config_.web_time_keep_alive = 5;
    server_->ReloadConfig();
    EXPECT_NE(Get("/doc/Report.PDF").find("%PDF"), std::string::npos);
    EXPECT_NE(Get("/").find("home "), std::string::npos);
    Read(fd, 1, 500);
    EXPECT_TRUE(closed_);
    ::close(fd);
    std::string log;
    for (const auto& item : server_->TakeAll()) log += item.entry.str() + "\n";
    EXPECT_NE(log.find("Start Server Child: 2"), std::string::npos) << log;
    EXPECT_NE(log.find("Set Web Server Keep Alive Time: 5"), std::string::npos) << log;
    EXPECT_EQ(log.find("Stop WEB Server"), std::string::npos) << "same address: the listener stays";
}

TEST_F(ServerWEBTest, AWebRootHoldingTheApplicationDirectoryServesNothing) {
    dir_.Write("morvane.ini", "[READMIN]\r\nkey=secret\r\n");
    EXPECT_EQ(server_->StartProblem(), "");
    for (const std::string& root : {dir_.Path().string(), dir_.Path().parent_path().string(), std::string("/")}) {
        config_.web_path = root.c_str();
        server_->ReloadConfig();
        EXPECT_NE(server_->StartProblem().find("holds it"), std::string::npos) << root;
        for (const char* url : {"/morvane.ini", "/www/index.htmcc", "/secret.txt"})
            EXPECT_EQ(Get(url).rfind(kNotFound, 0), 0u) << root << url;
    }
    config_.web_path = dir_.File("www").c_str();
    server_->ReloadConfig();
    EXPECT_EQ(server_->StartProblem(), "");
    EXPECT_NE(Get("/").find("home "), std::string::npos);
}

}  // namespace
}  // namespace web
