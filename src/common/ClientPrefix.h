#pragma once
// How clients are grouped where they are counted (sessions per client, the IP embargo) and
// greylisted. An IPv6 host is usually given a whole /64 (RFC 4291's interface identifiers,
// and providers hand out at least that much), and picks a new address in it at will: counted
// address by address, one host would look like millions. IPv4 clients are counted by address
// unless the operator asks for more (a /24 is a typical sending pool).
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/IpAddress.h"

namespace common {

// Aligned as its size, so that std::atomic<ClientPrefix> is lock-free without libatomic.
struct alignas(2) ClientPrefix {
    static constexpr int kMinV4 = 8, kMinV6 = 16;
    uint8_t v4_bits = 32;
    uint8_t v6_bits = 64;

    // The prefix lengths clamped to the range a setting may take.
    static ClientPrefix Of(int v4_bits, int v6_bits);
    int BitsFor(const IpAddress& ip) const { return ip.IsV4() ? v4_bits : v6_bits; }
    // The group's key: the address itself when its prefix is the whole address ("192.0.2.1",
    // "2001:db8::1" with 128), else the network and its length ("192.0.2.0/24",
    // "2001:db8:1:2::/64"). Keys of the two families never look alike (only IPv6 ones hold a
    // colon), and a group key never looks like an address. Text that is not an address is
    // its own key.
    std::string Key(std::string_view ip) const;
    // Both of one family and in one group.
    bool SameGroup(const IpAddress& a, const IpAddress& b) const { return a.SamePrefix(b, BitsFor(a)); }
};
static_assert(std::atomic<ClientPrefix>::is_always_lock_free, "held in atomics by the lists that group clients");

}  // namespace common
