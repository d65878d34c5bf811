#pragma once
// JSON text of bytes from answers and tables, for scripts that read the tools' output: a string
// with the escapes JSON needs, valid UTF-8 kept, every byte that is not part of valid UTF-8 as
// U+FFFD (JSON text must be Unicode, and a mail header may be anything).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tools {

inline std::string JsonString(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char u = static_cast<unsigned char>(bytes[i]);
        if (u < 0x80) {
            if (u == '"' || u == '\\') {
                out += '\\';
                out += static_cast<char>(u);
            } else if (u < 0x20 || u == 0x7F) {
                out += "\\u00";
                out += kHex[u >> 4];
                out += kHex[u & 15];
            } else {
                out += static_cast<char>(u);
            }
            ++i;
            continue;
        }
        // The length a lead byte announces, and the smallest code point of that length (so an
        // over-long form is refused, as are surrogates and values past U+10FFFF).
        const size_t len = u >= 0xF0 && u <= 0xF4 ? 4 : u >= 0xE0 ? 3 : u >= 0xC2 && u <= 0xDF ? 2 : 0;
        bool valid = len > 0 && i + len <= bytes.size();
        uint32_t cp = len == 4 ? u & 0x07 : len == 3 ? u & 0x0F : u & 0x1F;
        for (size_t k = 1; valid && k < len; ++k) {
            const unsigned char c = static_cast<unsigned char>(bytes[i + k]);
            valid = (c & 0xC0) == 0x80;
            cp = (cp << 6) | (c & 0x3F);
        }
        valid = valid && !(len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) &&
                !(len == 4 && (cp < 0x10000 || cp > 0x10FFFF));
        if (valid) {
            out.append(bytes.substr(i, len));
            i += len;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    return out + "\"";
}

// Rows as JSON: with `header`, an array of objects named by the first row's cells; without,
// an array of arrays.
inline std::string JsonRows(const std::vector<std::vector<std::string>>& rows, bool header) {
    std::string out = "[";
    for (size_t r = header ? 1 : 0; r < rows.size(); ++r) {
        if (out.size() > 1) out += ",";
        out += header ? "{" : "[";
        for (size_t c = 0; c < rows[r].size(); ++c) {
            if (c) out += ",";
            if (header) out += JsonString(c < rows[0].size() ? rows[0][c] : "column" + std::to_string(c + 1)) + ":";
            out += JsonString(rows[r][c]);
        }
        out += header ? "}" : "]";
    }
    return out + "]\n";
}

}  // namespace tools
