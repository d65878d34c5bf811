#pragma once
// An IP address of either family, as every list, check and log line of the kernel names a
// client: parsed strictly, written in one canonical form (dotted quad; RFC 5952 for IPv6), so
// that one client is always one key. An IPv4 address mapped into IPv6 ("::ffff:192.0.2.1", what
// a dual-stack socket reports) is the IPv4 address.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace common {

struct IpAddress {
    enum class Family : uint8_t { kV4, kV6 };
    Family family = Family::kV4;
    uint8_t bytes[16] = {};  // network order; IPv4 uses the first four

    // A dotted quad (four decimal parts of at most three digits, each at most 255) or an IPv6
    // address in any of its text forms, optionally in brackets; nothing else (no zone, no
    // prefix, no blanks).
    static std::optional<IpAddress> Parse(std::string_view text);

    bool IsV4() const { return family == Family::kV4; }
    int Bits() const { return IsV4() ? 32 : 128; }
    std::string ToString() const;
    // The address with all but its first `bits` bits cleared (`bits` is clamped to the family).
    IpAddress Masked(int bits) const;
    // Both of one family and equal in their first `bits` bits.
    bool SamePrefix(const IpAddress& other, int bits) const;
    // The labels a reverse lookup starts with: "1.2.0.192" for 192.0.2.1, one label per nibble,
    // lowest first, for IPv6 (RFC 3596; block lists use the same, RFC 5782).
    std::string ReverseLabels() const;
    // The PTR question's name: ReverseLabels() + ".in-addr.arpa" or ".ip6.arpa".
    std::string ReverseName() const;

    bool operator==(const IpAddress& o) const;
};

// A listening endpoint as settings write it: "192.0.2.1:9525" or "[2001:db8::1]:9525" (an IPv6
// address in brackets only, an IPv4 one never; the port 0 to 65535).
std::optional<std::pair<IpAddress, uint16_t>> ParseAddressPort(std::string_view text);

}  // namespace common
