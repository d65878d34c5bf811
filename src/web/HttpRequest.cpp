#include "web/HttpRequest.h"

#include <climits>
#include <cstdlib>
#include <ctime>
#include <unordered_map>

#include "common/String.h"
#include "platform/Paths.h"
#include "script/Codecs.h"

namespace web {

namespace {

using common::AsciiEqualNoCase;

bool StartsNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && AsciiEqualNoCase(text.substr(0, prefix.size()), prefix);
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Adds name=value unless the map is full; false when it was.
bool AddVar(VarMap* vars, size_t limit, std::string name, std::string value) {
    if (vars->size() >= limit && !vars->count(name)) return false;
    (*vars)[std::move(name)] = std::move(value);
    return true;
}

void ParseCookies(std::string_view text, HttpRequest* r) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view piece = TrimBlanks(text.substr(start, end - start));
        size_t eq = piece.find('=');
        // Both sides must be non-empty, as "^(.+?)=(.+?)$" demands.
        if (eq != std::string_view::npos && eq > 0 && eq + 1 < piece.size()) {
            if (!AddVar(&r->cookies, kMaxCookies, script::codec::URLDecode(piece.substr(0, eq)),
                        script::codec::URLDecode(piece.substr(eq + 1))))
                r->truncated_vars = true;
        }
        start = end + 1;
    }
}

void ParseContentType(std::string_view value, HttpRequest* r) {
    size_t semi = value.find(';');
    std::string_view type = TrimBlanks(value.substr(0, semi));
    r->content_type = common::AsciiLowered(type);
    r->boundary.clear();
    if (semi == std::string_view::npos) return;
    std::string_view params = value.substr(semi + 1);
    size_t at = 0;
    while (at < params.size()) {
        size_t end = params.find(';', at);
        if (end == std::string_view::npos) end = params.size();
        std::string_view p = TrimBlanks(params.substr(at, end - at));
        if (StartsNoCase(p, "boundary=")) {
            std::string_view b = p.substr(9);
            if (b.size() >= 2 && b.front() == '"' && b.back() == '"') b = b.substr(1, b.size() - 2);
            r->boundary = std::string(b);
        }
        at = end + 1;
    }
}

void ParseAuthorization(std::string_view value, HttpRequest* r) {
    if (!StartsNoCase(value, "Basic ")) return;
    std::string decoded = script::codec::Decode64(TrimBlanks(value.substr(6)));
    size_t colon = decoded.find(':');
    r->user = decoded.substr(0, colon);
    r->password = colon == std::string::npos ? std::string() : decoded.substr(colon + 1);
    r->authorization = true;
}

// The request line "METHOD URL VERSION": false unless the method is GET or POST (any case)
// and a blank follows the URL.
// The bytes of the URL on a request line, ended or not: from the first blank to the next, or to
// the end. 0 without a blank.
size_t UrlBytes(std::string_view line) {
    const size_t sp = line.find(' ');
    if (sp == std::string_view::npos) return 0;
    const size_t url_end = line.find(' ', sp + 1);
    return (url_end == std::string_view::npos ? line.size() : url_end) - sp - 1;
}

bool ParseRequestLine(std::string_view line, HttpRequest* r) {
    size_t sp = line.find(' ');
    if (sp == std::string_view::npos) return false;
    std::string_view method = line.substr(0, sp);
    if (!AsciiEqualNoCase(method, "GET") && !AsciiEqualNoCase(method, "POST")) return false;
    size_t url_end = line.find(' ', sp + 1);
    if (url_end == std::string_view::npos || url_end == sp + 1) return false;
    r->method = common::AsciiUppered(method);
    r->url = std::string(line.substr(sp + 1, url_end - sp - 1));
    return true;
}

}  // namespace

bool ParseUrlEncoded(std::string_view text, VarMap* vars) {
    bool whole = true;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('&', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view piece = text.substr(start, end - start);
        if (!piece.empty()) {
            size_t eq = piece.find('=');
            std::string name = script::codec::URLDecode(piece.substr(0, eq));
            std::string value =
                eq == std::string_view::npos ? std::string() : script::codec::URLDecode(piece.substr(eq + 1));
            if (!name.empty() && !AddVar(vars, kMaxVariables, std::move(name), std::move(value))) whole = false;
        }
        start = end + 1;
    }
    return whole;
}

bool ParseMultipart(std::string_view body, std::string_view boundary, VarMap* vars) {
    if (boundary.empty()) return true;
    const std::string marker = "--" + std::string(boundary);
    bool whole = true;
    size_t at = body.find(marker);
    while (at != std::string_view::npos) {
        size_t part = at + marker.size();
        if (body.substr(part, 2) == "--") break;  // the closing marker
        size_t next = body.find(marker, part);
        if (next == std::string_view::npos) break;  // a part without its end is not taken
        std::string_view text = body.substr(part, next - part);
        // The part is CR LF, its headers, a blank line, the content, CR LF, then the next marker.
        if (text.substr(0, 2) == "\r\n") text.remove_prefix(2);
        size_t blank = text.find("\r\n\r\n");
        if (blank != std::string_view::npos) {
            std::string_view headers = text.substr(0, blank + 2);
            std::string_view content = text.substr(blank + 4);
            if (content.size() >= 2 && content.substr(content.size() - 2) == "\r\n") content.remove_suffix(2);
            std::string name;
            size_t line_start = 0;
            while (line_start < headers.size()) {
                size_t line_end = headers.find("\r\n", line_start);
                if (line_end == std::string_view::npos) line_end = headers.size();
                std::string_view line = headers.substr(line_start, line_end - line_start);
                if (StartsNoCase(line, "Content-Disposition:")) {
                    std::string_view v = line.substr(20);
                    const std::string_view key = "name=\"";
                    for (size_t k = 0; k + key.size() <= v.size(); ++k) {
                        // "name=" itself, not the tail of "filename=".
                        if (!AsciiEqualNoCase(v.substr(k, key.size()), key)) continue;
                        if (k > 0 && v[k - 1] != ' ' && v[k - 1] != ';') continue;
                        size_t close = v.find('"', k + key.size());
                        if (close != std::string_view::npos)
                            name = std::string(v.substr(k + key.size(), close - k - key.size()));
                        break;
                    }
                }
                line_start = line_end + 2;
            }
            if (!name.empty() && !AddVar(vars, kMaxVariables, name, std::string(content))) whole = false;
        }
        at = next;
    }
    return whole;
}

ParseStatus ParseRequest(std::string_view buffer, HttpRequest* out, int* error_status) {
    auto invalid = [error_status](int status) {
        if (error_status) *error_status = status;
        return ParseStatus::kInvalid;
    };
    size_t end = buffer.find("\r\n\r\n");
    if (end == std::string_view::npos) {
        // The URL limit holds for requests that never complete too.
        if (UrlBytes(buffer.substr(0, buffer.find("\r\n"))) > kMaxUrlBytes) return invalid(414);
        return buffer.size() > kMaxHeaderBytes ? invalid(400) : ParseStatus::kIncomplete;
    }
    if (end + 4 > kMaxHeaderBytes) return invalid(400);
    HttpRequest r;
    std::string_view block = buffer.substr(0, end + 2);
    size_t line_end = block.find("\r\n");
    const std::string_view line = block.substr(0, line_end);
    if (UrlBytes(line) > kMaxUrlBytes) return invalid(414);
    if (!ParseRequestLine(line, &r)) {
        const size_t sp = line.find(' ');
        const size_t url_end = sp == std::string_view::npos ? sp : line.find(' ', sp + 1);
        if (sp != std::string_view::npos && sp > 0 && url_end != std::string_view::npos && url_end > sp + 1)
            return invalid(501);  // a well-formed line with a method this server does not serve
        return invalid(400);
    }
    bool has_length = false;
    for (size_t at = line_end + 2; at < block.size();) {
        size_t e = block.find("\r\n", at);
        std::string_view line = block.substr(at, e - at);
        at = e + 2;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view name = line.substr(0, colon);
        std::string_view value = TrimBlanks(line.substr(colon + 1));
        if (AsciiEqualNoCase(name, "Connection")) {
            if (AsciiEqualNoCase(value, "Keep-Alive")) r.keep_alive = true;
        } else if (AsciiEqualNoCase(name, "User-Agent")) {
            r.user_agent = std::string(value);
        } else if (AsciiEqualNoCase(name, "Accept-Language")) {
            r.accept_language = std::string(value);
        } else if (AsciiEqualNoCase(name, "Host")) {
            r.host = std::string(value);
        } else if (AsciiEqualNoCase(name, "Origin")) {
            r.origin = std::string(value);
        } else if (AsciiEqualNoCase(name, "Referer")) {
            r.referer = std::string(value);
        } else if (AsciiEqualNoCase(name, "Content-Type")) {
            ParseContentType(value, &r);
        } else if (AsciiEqualNoCase(name, "Authorization")) {
            ParseAuthorization(value, &r);
        } else if (AsciiEqualNoCase(name, "Cookie")) {
            ParseCookies(value, &r);
        } else if (AsciiEqualNoCase(name, "Content-Length")) {
            // Digits only, and no more than a connection may carry.
            size_t digits = 0;
            unsigned long long n = 0;
            while (digits < value.size() && value[digits] >= '0' && value[digits] <= '9' && n <= kMaxConnectionBytes)
                n = n * 10 + static_cast<unsigned>(value[digits++] - '0');
            if (digits == 0) continue;
            if (n > kMaxConnectionBytes) return invalid(400);
            r.content_length = static_cast<size_t>(n);
            has_length = true;
        }
    }
    size_t q = r.url.find('?');
    if (q != std::string::npos) {
        r.query = r.url.substr(q + 1);
        if (!ParseUrlEncoded(r.query, &r.get)) r.truncated_vars = true;
    }
    r.consumed = end + 4;
    if (r.method == "POST") {
        if (!has_length) r.content_length = 0;
        if (buffer.size() - r.consumed < r.content_length) return ParseStatus::kIncomplete;
        r.body = std::string(buffer.substr(r.consumed, r.content_length));
        r.consumed += r.content_length;
        bool whole = true;
        if (r.content_type == "application/x-www-form-urlencoded")
            whole = ParseUrlEncoded(r.body, &r.post);
        else if (r.content_type == "multipart/form-data" && !r.boundary.empty())
            whole = ParseMultipart(r.body, r.boundary, &r.post);
        if (!whole) r.truncated_vars = true;
    }
    *out = std::move(r);
    return ParseStatus::kComplete;
}

std::string PagePath(std::string_view url) {
    if (url == "/") return "index.htmcc";
    size_t q = url.find('?');
    return script::codec::URLDecode(url.substr(0, q));
}

std::string Extension(std::string_view page) {
    size_t dot = page.rfind('.');
    if (dot == std::string_view::npos) return {};
    std::string_view ext = page.substr(dot + 1);
    if (ext.find('/') != std::string_view::npos) return {};
    return common::AsciiLowered(ext);
}

std::string MimeType(std::string_view extension) {
    static const std::unordered_map<std::string, std::string> kTable = [] {
        std::unordered_map<std::string, std::string> t;
        const std::pair<const char*, const char*> rows[] = {
            {"doc", "application/msword"},
            {"bin dll exe", "application/octet-stream"},
            {"pdf", "application/pdf"},
            {"p7c", "application/pkcs7-mime"},
            {"ai eps ps", "application/postscript"},
            {"fdf", "application/vnd.fdf"},
            {"gz", "application/x-gzip"},
            {"class", "application/x-java-class"},
            {"js", "application/x-javascript"},
            {"lzh", "application/x-lzh"},
            {"lnk", "application/x-ms-shortcut"},
            {"tar", "application/x-tar"},
            {"hlp", "application/x-winhelp"},
            {"cert", "application/x-x509-ca-cert"},
            {"zip", "application/zip"},
            {"cab arj", "application/x-compressed"},
            {"swf", "application/x-shockwave-flash"},
            {"aif aifc aiff", "audio/aiff"},
            {"au snd", "audio/basic"},
            {"mid rmi", "audio/midi"},
            {"mp3", "audio/mpeg"},
            {"vox", "audio/voxware"},
            {"wav", "audio/wav"},
            {"ra ram", "audio/x-pn-realaudio"},
            {"bmp", "image/bmp"},
            {"gif", "image/gif"},
            {"png", "image/png"},
            {"jpeg jpg", "image/jpeg"},
            {"tif tiff", "image/tiff"},
            {"xbm", "image/xbm"},
            {"wrl", "model/vrml"},
            {"htm html htmcc", "text/html"},
            {"cpp def txt", "text/plain"},
            {"rtx rtf", "text/richtext"},
            {"java", "text/x-java-source"},
            {"css", "text/css"},
            {"mpeg mpg mpe", "video/mpeg"},
            {"avi", "video/msvideo"},
            {"mov qt", "video/quicktime"},
        };
        for (const auto& [exts, type] : rows)
            for (std::string_view e : common::SplitNonEmpty(exts, ' ')) t[std::string(e)] = type;
        return t;
    }();
    auto it = kTable.find(std::string(extension));
    return it == kTable.end() ? "application/octet-stream" : it->second;
}

std::string ResolveUnderRoot(const std::string& root, std::string_view page) {
    return platform::ResolveUnder(root, page);
}

std::string EscapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string HttpDate(int64_t when) {
    std::time_t t = static_cast<std::time_t>(when);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return buf;
}

std::string StatusLine(int status) {
    const char* text = "Internal Server Error";
    switch (status) {
        case 200: text = "OK"; break;
        case 302: text = "Found"; break;
        case 400: text = "Bad Request"; break;
        case 403: text = "Forbidden"; break;
        case 404: text = "Not Found"; break;
        case 414: text = "URI Too Long"; break;
        case 429: text = "Too Many Requests"; break;
        case 501: text = "Not Implemented"; break;
        case 503: text = "Service Unavailable"; break;
        default: status = 500; break;
    }
    return "HTTP/1.0 " + std::to_string(status) + " " + text;
}

std::string CommonHeaders() {
    std::string h = "Date: " + HttpDate(std::time(nullptr)) + "\r\n";
    h += std::string(kServerLine) + "\r\n";
    h += "X-Frame-Options: DENY\r\n";
    h += "X-Content-Type-Options: nosniff\r\n";
    h += "Referrer-Policy: same-origin\r\n";
    h += "Content-Security-Policy: " + std::string(kContentSecurityPolicy) + "\r\n";
    return h;
}

std::string StaticHeader(size_t length, bool keep_alive, std::string_view content_type, int status) {
    std::string h = StatusLine(status) + "\r\n";
    h += CommonHeaders();
    h += "Accept-Ranges: bytes\r\n";
    h += "Content-Length: " + std::to_string(length) + "\r\n";
    h += std::string("Connection: ") + (keep_alive ? "Keep-Alive" : "close") + "\r\n";
    h += "Content-Type: " + std::string(content_type) + "\r\n\r\n";
    return h;
}

std::string StatusPage(int status, bool keep_alive, int retry_after) {
    const std::string line = StatusLine(status);
    const std::string title = line.substr(9);  // after "HTTP/1.0 "
    const std::string body =
        "<!doctype html><html><head><title>" + title + "</title></head><body><h1>" + title + "</h1></body></html>\n";
    std::string h = StaticHeader(body.size(), keep_alive, "text/html", status);
    if (retry_after > 0) h.insert(h.size() - 2, "Retry-After: " + std::to_string(retry_after) + "\r\n");
    return h + body;
}

std::string NotFoundPage(bool keep_alive) {
    return StatusPage(404, keep_alive);
}

std::string ErrorPage(bool keep_alive) {
    return StatusPage(500, keep_alive);
}

}  // namespace web
