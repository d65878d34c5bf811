#include "common/ProxyHeader.h"

#include <charconv>
#include <cstring>

namespace common {

namespace {

constexpr std::string_view kV1Prefix = "PROXY ";
constexpr char kV2Signature[12] = {'\r', '\n', '\r', '\n', '\0', '\r', '\n', 'Q', 'U', 'I', 'T', '\n'};

ProxyHeader Invalid() {
    ProxyHeader h;
    h.state = ProxyHeader::State::kInvalid;
    return h;
}

// A port as version 1 writes it: 1 to 5 digits, no sign, at most 65535.
bool ParsePort(std::string_view text, uint16_t* port) {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return false;
    unsigned v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v > 65535) return false;
    *port = static_cast<uint16_t>(v);
    return true;
}

ProxyHeader ParseV1(std::string_view data) {
    const size_t eol = data.find("\r\n");
    if (eol == std::string_view::npos) {
        // No line end yet: more may come, up to the line's limit; a bare LF is no line end.
        if (data.size() >= kMaxProxyHeaderV1 || data.find('\n') != std::string_view::npos) return Invalid();
        return ProxyHeader{};
    }
    if (eol + 2 > kMaxProxyHeaderV1) return Invalid();
    std::string_view line = data.substr(kV1Prefix.size(), eol - kV1Prefix.size());
    ProxyHeader h;
    h.length = eol + 2;
    h.state = ProxyHeader::State::kDone;
    // "UNKNOWN" may be followed by anything, which is ignored.
    if (line == "UNKNOWN" || line.rfind("UNKNOWN ", 0) == 0) {
        h.local = true;
        return h;
    }
    std::string_view parts[5];
    for (int i = 0; i < 5; ++i) {
        const size_t sp = line.find(' ');
        if ((i < 4) == (sp == std::string_view::npos)) return Invalid();
        parts[i] = line.substr(0, sp);
        line = sp == std::string_view::npos ? std::string_view() : line.substr(sp + 1);
    }
    const bool v4 = parts[0] == "TCP4";
    if (!v4 && parts[0] != "TCP6") return Invalid();
    const auto src = IpAddress::Parse(parts[1]);
    const auto dst = IpAddress::Parse(parts[2]);
    uint16_t dport = 0;
    // Brackets are not the protocol's; the families must be the one named.
    // (by their text: a TCP6 line may carry an IPv4-mapped address, which parses as IPv4).
    auto is_v4_text = [](std::string_view t) { return t.find(':') == std::string_view::npos; };
    if (!src || !dst || parts[1].front() == '[' || parts[2].front() == '[' || is_v4_text(parts[1]) != v4 ||
        is_v4_text(parts[2]) != v4 || !ParsePort(parts[3], &h.source_port) || !ParsePort(parts[4], &dport))
        return Invalid();
    // An IPv4-mapped address in a TCP6 line reads as IPv4: it is still that client.
    h.source = *src;
    return h;
}

ProxyHeader ParseV2(std::string_view data) {
    if (data.size() < 16) return ProxyHeader{};
    const auto* p = reinterpret_cast<const uint8_t*>(data.data());
    const uint8_t version = p[12] >> 4, command = p[12] & 0x0F;
    const uint8_t family = p[13] >> 4, transport = p[13] & 0x0F;
    const size_t rest = (static_cast<size_t>(p[14]) << 8) | p[15];
    if (version != 2 || command > 1 || 16 + rest > kMaxProxyHeader) return Invalid();
    if (data.size() < 16 + rest) return ProxyHeader{};
    ProxyHeader h;
    h.state = ProxyHeader::State::kDone;
    h.length = 16 + rest;
    // LOCAL (a balancer's own health check) or a family we do not take as a client address.
    if (command == 0 || family == 0 || family == 3 || transport != 1) {
        if (command == 1 && family > 3) return Invalid();
        h.local = true;
        return h;
    }
    if (family == 1) {
        if (rest < 12) return Invalid();
        h.source.family = IpAddress::Family::kV4;
        std::memcpy(h.source.bytes, p + 16, 4);
        h.source_port = static_cast<uint16_t>((p[24] << 8) | p[25]);
    } else if (family == 2) {
        if (rest < 36) return Invalid();
        h.source.family = IpAddress::Family::kV6;
        std::memcpy(h.source.bytes, p + 16, 16);
        h.source_port = static_cast<uint16_t>((p[48] << 8) | p[49]);
        // A mapped IPv4 address is that IPv4 client, as everywhere else in the kernel.
        if (auto canonical = IpAddress::Parse(h.source.ToString())) h.source = *canonical;
    } else {
        return Invalid();
    }
    return h;
}

}  // namespace

ProxyHeader ParseProxyHeader(std::string_view data) {
    // Decide the version on what is there; a prefix of either start needs more bytes.
    const size_t v1 = std::min(data.size(), kV1Prefix.size());
    if (data.substr(0, v1) == kV1Prefix.substr(0, v1)) {
        if (data.size() < kV1Prefix.size()) return ProxyHeader{};
        return ParseV1(data);
    }
    const size_t v2 = std::min(data.size(), sizeof kV2Signature);
    if (std::memcmp(data.data(), kV2Signature, v2) == 0) {
        if (data.size() < sizeof kV2Signature) return ProxyHeader{};
        return ParseV2(data);
    }
    return Invalid();
}

}  // namespace common
