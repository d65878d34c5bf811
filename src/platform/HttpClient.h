#pragma once
// CMorvaneHTTPClient: a minimal HTTP/1.0 client. One request per call over a fresh TCP
// connection; the answer is read until the server closes, a receive times out, or the answer
// reaches its size limit, then split at its first blank line into header and body (chunked or
// compressed answers are not decoded). Only "http" URLs; the host goes out in upper case.
//
// The phishing list update uses it, and scripts through the script class CS_HttpClient. One
// thread at a time per object.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

class CMorvaneHTTPClient {
public:
    static constexpr size_t kPiece = 1024;
    static constexpr size_t kMaxHost = 256;
    static constexpr size_t kMaxPath = 1024;
    static constexpr size_t kMaxScheme = 20;
    // However slowly a server trickles its answer, it gets this many time-outs in all.
    static constexpr int kTotalTimeouts = 10;

    struct Url {
        std::string scheme;  // upper case
        std::string host;    // upper case, without the port
        int port = 80;
        std::string path;  // as given
    };

    // 1 when the exchange took place (also when nothing usable came back), 0 for a missing URL, a
    // scheme other than HTTP, a URL with control bytes, or a failed connection (header and body
    // are then left as they were). `method` 1 is POST, anything else GET.
    int32_t SendRequest(int32_t method, const char* url, const char* post_data);

    // The script class.
    std::string GetHeader() const { return header; }
    std::string GetResult() const { return body; }
    void SetTimeOut(int32_t seconds) { timeout_ms = seconds * 1000; }
    void SetAgentName(const char* name) { agent = name ? name : ""; }
    void SetMaxBufferLen(int32_t kilobytes) { max_answer = kilobytes > 0 ? static_cast<size_t>(kilobytes) * 1024 : 0; }
    void SetIPAdatper(const char* address) { bind_address = address ? address : ""; }

    // The pieces, for tests and the fuzz target.
    static bool ParseUrl(std::string_view url, Url* out);
    static std::string BuildRequest(bool post, const Url& url, std::string_view agent, std::string_view post_data);
    // Header and body of a raw answer: split at the first "\r\n\r\n" found after position 0;
    // both empty otherwise.
    static void SplitAnswer(std::string_view raw, std::string* header, std::string* body);
    // The status code of a header's status line ("HTTP/1.x NNN ..."), 0 when there is none.
    static int StatusCode(std::string_view header);

    std::string header;
    std::string body;
    std::string bind_address;
    std::string agent = "Simple HTTPClient";
    int timeout_ms = 5000;
    size_t max_answer = 524288;
    // How the last answer ended: true when the server closed the connection, nothing was cut by
    // the size limit, and a Content-Length, when given, was met. An update must not trust less.
    bool complete = false;
};

}  // namespace platform
