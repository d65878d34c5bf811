#include "platform/HttpClient.h"

#include <charconv>
#include <chrono>

#include "common/String.h"
#include "platform/SocketComm.h"

namespace platform {

namespace {

bool HostChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == ':';
}

// The value of a header field (case-insensitive name), or nullopt-like empty with `found` false.
bool HeaderValue(std::string_view header, std::string_view name, std::string_view* value) {
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find("\r\n", pos);
        if (end == std::string_view::npos) end = header.size();
        std::string_view line = header.substr(pos, end - pos);
        pos = end + 2;
        if (line.size() <= name.size() || line[name.size()] != ':') continue;
        bool same = true;
        for (size_t i = 0; i < name.size() && same; ++i)
            same = common::AsciiUpper(line[i]) == common::AsciiUpper(name[i]);
        if (!same) continue;
        std::string_view v = line.substr(name.size() + 1);
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
        while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
        *value = v;
        return true;
    }
    return false;
}

}  // namespace

bool CMorvaneHTTPClient::ParseUrl(std::string_view url, Url* out) {
    // A control byte in a URL would end the request line early and write header lines of the
    // caller's choosing: such a URL is refused.
    for (char c : url)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    std::string upper(url);
    for (char& c : upper) c = common::AsciiUpper(c);
    size_t at = 0;
    size_t colon = upper.find(':');
    if (colon != std::string::npos) {
        out->scheme = upper.substr(0, std::min(colon, kMaxScheme));
        at = colon + 1;
    } else {
        out->scheme = "HTTP";
    }
    if (upper.compare(at, 2, "//") == 0) at += 2;
    size_t end = at;
    while (end < upper.size() && HostChar(upper[end])) ++end;
    std::string host = upper.substr(at, std::min(end - at, kMaxHost));
    out->path = std::string(url.substr(end, kMaxPath));
    if (out->path.empty()) out->path = "/";
    out->port = 80;
    size_t port_colon = host.find(':');
    if (port_colon != std::string::npos) {
        std::string_view digits = std::string_view(host).substr(port_colon + 1);
        int port = 0;
        auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
        (void)p;
        out->port = ec == std::errc() && port > 0 && port <= 65535 ? port : 0;
        host.resize(port_colon);
    }
    out->host = host;
    return true;
}

std::string CMorvaneHTTPClient::BuildRequest(bool post, const Url& url, std::string_view agent,
                                             std::string_view post_data) {
    const bool with_data = post && !post_data.empty();
    std::string r = std::string(post ? "POST " : "GET ") + url.path + " HTTP/1.0\r\n";
    r += "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/vnd.ms-excel, "
         "application/msword, application/vnd.ms-powerpoint, */*\r\n";
    r += "Accept-Language: en-us\r\n";
    r += "User-Agent: " + std::string(agent) + "\r\n";
    if (with_data) r += "Content-Length: " + std::to_string(post_data.size()) + "\r\n";
    r += "Host: " + url.host + "\r\n";
    if (with_data) r += "Content-Type: application/x-www-form-urlencoded\r\n";
    r += "\r\n";
    if (with_data) r += post_data;
    return r;
}

void CMorvaneHTTPClient::SplitAnswer(std::string_view raw, std::string* header, std::string* body) {
    header->clear();
    body->clear();
    size_t blank = raw.find("\r\n\r\n");
    if (blank == std::string_view::npos || blank == 0) return;
    header->assign(raw.substr(0, blank));
    body->assign(raw.substr(blank + 4));
}

int CMorvaneHTTPClient::StatusCode(std::string_view header) {
    if (header.compare(0, 5, "HTTP/") != 0) return 0;
    size_t space = header.find(' ');
    if (space == std::string_view::npos || space + 4 > header.size()) return 0;
    int code = 0;
    for (size_t i = space + 1; i < space + 4; ++i) {
        if (header[i] < '0' || header[i] > '9') return 0;  // three digits, no sign
        code = code * 10 + (header[i] - '0');
    }
    return code;
}

int32_t CMorvaneHTTPClient::SendRequest(int32_t method, const char* url, const char* post_data) {
    if (!url) return 0;
    Url u;
    if (!ParseUrl(url, &u) || u.scheme != "HTTP" || u.port == 0) return 0;
    CSocketComm socket;
    if (!socket.Connect(u.host, std::to_string(u.port), bind_address, timeout_ms)) return 0;
    std::string request = BuildRequest(method == 1, u, agent, post_data ? post_data : "");
    socket.Send(request, timeout_ms);

    std::string raw;
    char piece[kPiece];
    bool closed = false;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int64_t>(timeout_ms) * kTotalTimeouts);
    while (raw.size() < max_answer && std::chrono::steady_clock::now() < deadline) {
        int want = static_cast<int>(std::min(kPiece, max_answer - raw.size()));
        int n = socket.Recv(piece, want, timeout_ms);
        if (n == 0) break;  // a time-out
        if (n < 0) {
            closed = true;  // closed by the server (or failed: then the length check below decides)
            break;
        }
        raw.append(piece, static_cast<size_t>(n));
    }
    socket.Close();
    SplitAnswer(raw, &header, &body);
    complete = closed && raw.size() < max_answer && !header.empty();
    std::string_view length;
    if (complete && HeaderValue(header, "Content-Length", &length)) complete = length == std::to_string(body.size());
    return 1;
}

}  // namespace platform
