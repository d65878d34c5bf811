#include "web/MetricsServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/IpAddress.h"
#include "platform/UdpSocket.h"

namespace web {

namespace {

constexpr int kPollMs = 200;

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 503: return "Service Unavailable";
    }
    return "Error";
}

}  // namespace

std::string PlainResponse(int status, std::string_view content_type, std::string_view body, bool head_only) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\nContent-Type: ";
    out += content_type;
    out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nCache-Control: no-store\r\n";
    if (status == 405) out += "Allow: GET, HEAD\r\n";
    out += "Connection: close\r\n\r\n";
    if (!head_only) out += body;
    return out;
}

MetricsServer::MetricsServer(Source metrics, Source health)
    : metrics_(std::move(metrics)), health_(std::move(health)) {}

MetricsServer::~MetricsServer() {
    Stop();
}

std::string MetricsServer::Answer(std::string_view request) const {
    constexpr std::string_view kText = "text/plain; charset=utf-8";
    const size_t eol = request.find("\r\n");
    const std::string_view line = request.substr(0, eol);
    // "METHOD SP TARGET SP HTTP/1.x"
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (eol == std::string_view::npos || sp2 == std::string_view::npos || line.substr(sp2 + 1).rfind("HTTP/1.", 0) != 0)
        return PlainResponse(400, kText, "bad request\n", false);
    const std::string_view method = line.substr(0, sp1);
    std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    target = target.substr(0, target.find('?'));
    const bool head = method == "HEAD";
    if (method != "GET" && !head) return PlainResponse(405, kText, "only GET and HEAD\n", false);
    if (target == "/metrics") return PlainResponse(200, "text/plain; version=0.0.4; charset=utf-8", metrics_(), head);
    if (target == "/healthz") {
        const std::string problem = health_();
        return problem.empty() ? PlainResponse(200, kText, "ok\n", head)
                               : PlainResponse(503, kText, problem + "\n", head);
    }
    return PlainResponse(404, kText, "not found: try /metrics or /healthz\n", head);
}

bool MetricsServer::Start(const std::string& address, std::string* why) {
    const auto parsed = common::ParseAddressPort(address);
    if (!parsed) {
        *why = "not an address and port: " + address;
        return false;
    }
    platform::SockAddr sa = platform::ToSockAddr(platform::Endpoint{parsed->first, parsed->second});
    const int fd = ::socket(sa.get()->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    const int one = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, sa.get(), sa.length) != 0 || ::listen(fd, 16) != 0) {
        *why = "cannot listen on " + address + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) == 0) {
        if (auto got = platform::FromSockAddr(reinterpret_cast<sockaddr*>(&bound), len)) port_ = got->port;
    }
    listen_fd_ = fd;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void MetricsServer::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
}

void MetricsServer::Run() {
    while (!stop_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) <= 0) continue;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;  // the client gave up, or descriptors ran out: the next poll retries
        Serve(fd);
        ::close(fd);
    }
}

void MetricsServer::Serve(int fd) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kRequestMs);
    auto left_ms = [&] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::max<int64_t>(left, 0));
    };
    std::string request;
    char buf[2048];
    // The head only: a body (none is expected) is never read.
    while (request.find("\r\n\r\n") == std::string::npos) {
        if (request.size() >= kMaxRequest || stop_) return;
        pollfd p{fd, POLLIN, 0};
        const int wait = left_ms();
        if (wait == 0 || ::poll(&p, 1, wait) <= 0) return;
        const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, kMaxRequest - request.size()), 0);
        if (n <= 0) return;
        request.append(buf, static_cast<size_t>(n));
    }
    const std::string response = Answer(request);
    size_t sent = 0;
    const auto write_deadline = Clock::now() + std::chrono::milliseconds(kRequestMs);
    while (sent < response.size() && !stop_) {
        pollfd p{fd, POLLOUT, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(write_deadline - Clock::now()).count();
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return;
        const ssize_t n = ::send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

}  // namespace web
