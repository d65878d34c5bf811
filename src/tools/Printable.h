#pragma once
// What the tools print of bytes from tables, rules and answers: a backslash as \\, and every
// byte outside printable ASCII (control bytes, DEL, bytes above 0x7E) as \xHH, so one record is
// one line and nothing reaches the terminal that it would act on.
#include <string>
#include <string_view>

namespace tools {

inline std::string Printable(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (u < 0x20 || u > 0x7E) {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace tools
