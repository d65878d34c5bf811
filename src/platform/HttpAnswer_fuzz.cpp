// Arbitrary bytes as a server's answer and as a URL: splitting and parsing end, the pieces lie
// inside what was given, and a request built from a parsed URL has exactly one blank line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/HttpClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    std::string header, body;
    platform::CMorvaneHTTPClient::SplitAnswer(in, &header, &body);
    if (!header.empty() && header.size() + 4 + body.size() != in.size()) std::abort();
    int code = platform::CMorvaneHTTPClient::StatusCode(header);
    if (code < 0 || code > 999) std::abort();
    platform::CMorvaneHTTPClient::Url url;
    if (platform::CMorvaneHTTPClient::ParseUrl(in, &url)) {
        if (url.host.size() > platform::CMorvaneHTTPClient::kMaxHost || url.path.empty() ||
            url.path.size() > platform::CMorvaneHTTPClient::kMaxPath || url.port < 0 || url.port > 65535)
            std::abort();
        std::string request = platform::CMorvaneHTTPClient::BuildRequest(true, url, "agent", "a=b");
        size_t blank = request.find("\r\n\r\n");
        if (blank == std::string::npos || request.find("\r\n\r\n", blank + 1) != std::string::npos) std::abort();
    }
    return 0;
}
