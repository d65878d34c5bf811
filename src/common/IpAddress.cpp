#include "common/IpAddress.h"

#include <charconv>

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace common {

namespace {

bool ParseQuad(std::string_view text, uint8_t out[4]) {
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        const size_t start = pos;
        int value = 0;
        while (pos < text.size() && pos - start < 3 && text[pos] >= '0' && text[pos] <= '9')
            value = value * 10 + (text[pos++] - '0');
        if (pos == start || value > 255) return false;
        out[part] = static_cast<uint8_t>(value);
    }
    return pos == text.size();
}

bool IsV4Mapped(const uint8_t b[16]) {
    static const uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(b, kPrefix, 12) == 0;
}

}  // namespace

std::optional<IpAddress> IpAddress::Parse(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    IpAddress a;
    if (ParseQuad(text, a.bytes)) return a;
    // inet_pton is strict about IPv6 text (hex groups of at most four digits, one "::", an
    // optional dotted quad at the end) and reads no further than it is told.
    if (text.empty() || text.size() > 45 || text.find(':') == std::string_view::npos) return std::nullopt;
    char buf[46];
    std::memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    uint8_t b[16];
    if (inet_pton(AF_INET6, buf, b) != 1) return std::nullopt;
    if (IsV4Mapped(b)) {
        std::memcpy(a.bytes, b + 12, 4);
        return a;
    }
    a.family = Family::kV6;
    std::memcpy(a.bytes, b, 16);
    return a;
}

std::string IpAddress::ToString() const {
    char buf[INET6_ADDRSTRLEN];
    // glibc writes RFC 5952's form: lower-case hex, no leading zeros, the longest run of two
    // or more zero groups (the first of equals) as "::".
    if (!inet_ntop(IsV4() ? AF_INET : AF_INET6, bytes, buf, sizeof buf)) return std::string();
    return buf;
}

IpAddress IpAddress::Masked(int bits) const {
    IpAddress out = *this;
    bits = std::clamp(bits, 0, Bits());
    const int total = IsV4() ? 4 : 16;
    for (int i = 0; i < total; ++i, bits -= 8) {
        if (bits >= 8) continue;
        out.bytes[i] &= bits <= 0 ? 0 : static_cast<uint8_t>(0xFF << (8 - bits));
    }
    return out;
}

bool IpAddress::SamePrefix(const IpAddress& other, int bits) const {
    return family == other.family && Masked(bits) == other.Masked(bits);
}

std::string IpAddress::ReverseLabels() const {
    std::string out;
    if (IsV4()) {
        for (int i = 3; i >= 0; --i) {
            out += std::to_string(bytes[i]);
            if (i > 0) out += '.';
        }
        return out;
    }
    static const char kHex[] = "0123456789abcdef";
    out.reserve(63);
    for (int i = 15; i >= 0; --i) {
        out += kHex[bytes[i] & 0xF];
        out += '.';
        out += kHex[bytes[i] >> 4];
        if (i > 0) out += '.';
    }
    return out;
}

std::string IpAddress::ReverseName() const {
    return ReverseLabels() + (IsV4() ? ".in-addr.arpa" : ".ip6.arpa");
}

bool IpAddress::operator==(const IpAddress& o) const {
    return family == o.family && std::memcmp(bytes, o.bytes, IsV4() ? 4 : 16) == 0;
}

std::optional<std::pair<IpAddress, uint16_t>> ParseAddressPort(std::string_view text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) host = host.substr(1, host.size() - 2);
    unsigned n = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), n);
    const std::optional<IpAddress> ip = IpAddress::Parse(host);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || n > 65535 || !ip ||
        ip->IsV4() == bracketed)
        return std::nullopt;
    return std::make_pair(*ip, static_cast<uint16_t>(n));
}

}  // namespace common
