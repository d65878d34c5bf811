#pragma once
// CAddressList: a list of clients, as the greylist white list, the DNSBL white list, the relay
// list and the admin allow list are. Each entry is "first|second|comment":
//   - a host or domain name as the first field ("mail.example.org", "example.org") is a name
//     pattern, matched case-insensitively as a regular expression against the client's reverse
//     name (so "example.org" also matches "mx.example.org" and dots match any byte, as they
//     always have);
//   - otherwise the first and second fields are two dotted IPv4 addresses, a range from the
//     first to the second, compared octet by octet (each octet of the client must lie between
//     the two addresses' octets). A missing second field means the single first address;
//   - or two IPv6 addresses, a range from the first to the second, or one;
//   - or a network of either family in the first field ("192.0.2.0/24", "2001:db8::/32").
// Entries that are neither are ignored. Thread-safe: guarded by its own lock.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/IpAddress.h"
#include "common/String.h"
#include "common/ThreadSafety.h"
#include "store/EngineLock.h"

namespace checks {

class CDns;

class CAddressList {
public:
    // Empties the list and refills it from configuration entries; returns how many were taken.
    size_t Load(const std::vector<common::String>& entries);
    // 1 when the client is on the list: its reverse name (looked up through `dns` when the list
    // has name patterns and `dns` is given) matches a pattern, or its address lies in a range.
    int Contains(std::string_view ip, CDns* dns) const;
    // The address-range test alone.
    bool InRange(std::string_view ip) const;
    // The name-pattern test alone, on a reverse name already known.
    bool NameMatches(std::string_view reverse_name) const;
    size_t PatternCount() const;
    size_t RangeCount() const;

    static std::optional<std::array<uint8_t, 4>> ParseIPv4(std::string_view text);

private:
    struct Range {
        std::array<uint8_t, 4> low, high;
    };
    struct Range6 {
        common::IpAddress low, high;
    };
    mutable store::CEngineLock mu_;
    std::vector<std::string> patterns_ GUARDED_BY(mu_);
    std::vector<Range> ranges_ GUARDED_BY(mu_);
    std::vector<Range6> ranges6_ GUARDED_BY(mu_);
};

}  // namespace checks
