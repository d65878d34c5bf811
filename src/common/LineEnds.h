#pragma once
// A message as SMTP carries it: every line ends in CRLF, a bare LF gaining its CR.
#include <algorithm>
#include <string>
#include <string_view>

namespace common {

// At most `limit` bytes of the result.
inline std::string CrLfLines(std::string_view text, size_t limit = std::string::npos) {
    std::string out;
    out.reserve(std::min(text.size() + text.size() / 32, limit));
    for (size_t i = 0; i < text.size() && out.size() < limit; ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    if (out.size() > limit) out.resize(limit);
    return out;
}

}  // namespace common
