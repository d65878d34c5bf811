#pragma once
// The web GUI's request reader and the fixed parts of its answers. Everything here works on
// bytes the client sent, so every size that grows with the input has a limit, and nothing
// throws: a request is complete, not complete yet, or one the server closes the connection on.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace web {

// A request whose header block has not ended after this many bytes is not a request.
inline constexpr size_t kMaxHeaderBytes = 32768;
// The URL limit and the connection limit of the server: longer URLs, or more bytes on one
// connection, close it.
inline constexpr size_t kMaxUrlBytes = 2048;
inline constexpr size_t kMaxConnectionBytes = 11048576;
// Files of this size or more are not sent (static pages, includeHTML).
inline constexpr int64_t kMaxFileBytes = 11048576;
// Variables beyond these counts are dropped (and the request marked so the server logs it).
inline constexpr size_t kMaxVariables = 512;
inline constexpr size_t kMaxCookies = 64;

using VarMap = std::map<std::string, std::string>;

struct HttpRequest {
    bool keep_alive = false;
    bool authorization = false;
    bool truncated_vars = false;  // some variables or cookies were over the limits
    std::string method;           // "GET" or "POST"
    std::string url;
    std::string query;
    std::string user_agent, accept_language, host;
    std::string origin, referer;
    std::string content_type;  // lower case
    std::string boundary;
    std::string user, password;
    size_t content_length = 0;
    std::string body;
    VarMap cookies, get, post;
    // Bytes of the buffer this request took (header block and body); what follows is the next
    // request of a keep-alive connection.
    size_t consumed = 0;
};

enum class ParseStatus {
    kIncomplete,  // wait for more bytes
    kComplete,
    kInvalid,  // answered with the status ParseRequest gives, then closed
};

// Reads one request from the front of `buffer`. An invalid one sets `error_status` (when
// given): 414 for a URL over kMaxUrlBytes, 501 for a method other than GET or POST, 400 for
// anything else (a header block over kMaxHeaderBytes, a malformed request line, a body longer
// than a connection may carry).
ParseStatus ParseRequest(std::string_view buffer, HttpRequest* out, int* error_status = nullptr);

// "a=1&b=2" into `vars` (names and values URL-decoded); false when the limit cut it short.
bool ParseUrlEncoded(std::string_view text, VarMap* vars);
// The form-data parts of a multipart body into `vars`; false when the limit cut it short.
bool ParseMultipart(std::string_view body, std::string_view boundary, VarMap* vars);

// The page a URL names, relative to the web root: "/" is "index.htmcc"; the query is cut off
// and the rest URL-decoded.
std::string PagePath(std::string_view url);
// The lower-cased text after the last "." of the page path ("" without one).
std::string Extension(std::string_view page);
// The content type of an extension ("application/octet-stream" for unknown ones).
std::string MimeType(std::string_view extension);

// The file under `root` that `page` names, or "" when the page leaves the root: ".."
// segments, backslashes, NUL bytes, a path that is not below the root once symbolic links are
// followed. A page that does not exist is resolved as written (its open then fails).
std::string ResolveUnderRoot(const std::string& root, std::string_view page);

// & < > " ' as entities: safe in HTML text and quoted attributes.
std::string EscapeHtml(std::string_view text);

// "Sun, 06 Dec 2026 10:00:00 GMT"
std::string HttpDate(int64_t when);
// "404 Not Found" for 404, and so on for the statuses the server answers.
std::string StatusLine(int status);
// The header lines every answer carries: the date, the server, and what keeps a browser from
// framing the GUI, guessing content types, running scripts from elsewhere or leaking the URL.
std::string CommonHeaders();
// The status line and the header lines of a static answer.
std::string StaticHeader(size_t length, bool keep_alive, std::string_view content_type, int status = 200);
std::string NotFoundPage(bool keep_alive);
// A plain page for an error status (400, 403, 414, 429, 500, 501, 503): the status and a line
// of text, never details of the failure, which go to the log. `retry_after` > 0 adds the header.
std::string StatusPage(int status, bool keep_alive, int retry_after = 0);
std::string ErrorPage(bool keep_alive);

// Sent as a "Server:" header, without a version an attacker could match to faults: a header
// line without a name makes strict clients (curl) drop the answer.
inline constexpr const char* kServerLine = "Server: Morvane";
// The shipped pages load their script and style from the server itself and use no inline
// code, so the policy can forbid everything else.
inline constexpr const char* kContentSecurityPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; form-action 'self'; "
    "frame-ancestors 'none'; base-uri 'none'; object-src 'none'";

}  // namespace web
