#pragma once
// The monitoring listener: GET /metrics (the Prometheus text format) and GET /healthz (200 "ok"
// or 503 with the reason). Apart from the GUI on purpose: a scraper needs no login, and a slow
// GUI page never delays a scrape. One thread serves one request per connection, in turn; a
// request is read within 2 seconds and 8 KB, or the connection is closed unanswered.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace web {

class MetricsServer {
public:
    using Source = std::function<std::string()>;
    static constexpr size_t kMaxRequest = 8192;
    static constexpr int kRequestMs = 2000;

    // `metrics` renders the exposition; `health` says why the kernel is unhealthy ("" when it is
    // not). Both run on the server's thread.
    MetricsServer(Source metrics, Source health);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Listens on `address` ("127.0.0.1:9525", "[::1]:9525", port 0 for any free one) and starts
    // the thread. False with the reason in `why`.
    bool Start(const std::string& address, std::string* why);
    // Ends the thread within its poll interval; idempotent.
    void Stop();
    uint16_t Port() const { return port_; }

    // The whole response to a request head (request line and fields, without body).
    std::string Answer(std::string_view request) const;

private:
    void Run();
    void Serve(int fd);

    Source metrics_, health_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A complete HTTP/1.x response with `status`, a text body and Connection: close.
std::string PlainResponse(int status, std::string_view content_type, std::string_view body, bool head_only);

}  // namespace web
