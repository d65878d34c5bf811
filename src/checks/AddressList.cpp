#include "checks/AddressList.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "checks/Dns.h"
#include "common/Regex.h"
#include "script/Codecs.h"

namespace checks {

namespace {
constexpr const char* kHostName = "^(([a-z\\d][a-z\\d\\-]*)?[a-z\\d]\\.)+[a-z]{2,32}$";

// "address/length": the network's first and last addresses.
std::optional<std::pair<common::IpAddress, common::IpAddress>> Network(std::string_view text) {
    const size_t slash = text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const auto ip = common::IpAddress::Parse(text.substr(0, slash));
    int bits = -1;
    const std::string_view len = text.substr(slash + 1);
    auto [end, ec] = std::from_chars(len.data(), len.data() + len.size(), bits);
    if (!ip || ec != std::errc() || end != len.data() + len.size() || len.empty() || bits < 0 || bits > ip->Bits())
        return std::nullopt;
    common::IpAddress low = ip->Masked(bits), high = low;
    const int total = ip->Bits() / 8;
    for (int i = 0; i < total; ++i) {
        const int host_bits = std::clamp(8 * (i + 1) - bits, 0, 8);
        high.bytes[i] |= static_cast<uint8_t>((1u << host_bits) - 1);
    }
    return std::make_pair(low, high);
}

bool NotAfter(const common::IpAddress& a, const common::IpAddress& b) {
    return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) <= 0;
}
}  // namespace

std::optional<std::array<uint8_t, 4>> CAddressList::ParseIPv4(std::string_view text) {
    std::array<uint8_t, 4> out{};
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != '.') return std::nullopt;
            ++pos;
        }
        unsigned v = 0;
        auto [p, ec] = std::from_chars(text.data() + pos, text.data() + text.size(), v);
        size_t digits = static_cast<size_t>(p - (text.data() + pos));
        if (ec != std::errc() || digits == 0 || digits > 3 || v > 255) return std::nullopt;
        out[static_cast<size_t>(i)] = static_cast<uint8_t>(v);
        pos += digits;
    }
    if (pos != text.size()) return std::nullopt;
    return out;
}

size_t CAddressList::Load(const std::vector<common::String>& entries) {
    std::vector<std::string> patterns;
    std::vector<Range> ranges;
    std::vector<Range6> ranges6;
    for (const common::String& e : entries) {
        std::string text(e.View());
        std::string first = script::codec::Split(text, '|', 0);
        std::string second = script::codec::Split(text, '|', 1);
        // Blanks around the fields are the operator's layout, not part of them.
        first = common::String(first).Trim().str();
        second = common::String(second).Trim().str();
        if (first.empty()) continue;
        if (common::RegexTest(kHostName, common::kRegexCaseless, first)) {
            patterns.push_back(first);
            continue;
        }
        std::optional<common::IpAddress> low6, high6;
        if (auto net = Network(first)) {
            low6 = net->first;
            high6 = net->second;
        } else if (first.find(':') != std::string::npos) {
            low6 = common::IpAddress::Parse(first);
            high6 = second.empty() ? low6 : common::IpAddress::Parse(second);
        }
        if (low6 && high6 && !low6->IsV4() && !high6->IsV4()) {
            if (NotAfter(*low6, *high6)) ranges6.push_back({*low6, *high6});
            continue;
        }
        std::optional<std::array<uint8_t, 4>> low, high;
        if (low6 && high6 && low6->IsV4() && high6->IsV4()) {  // an IPv4 network, or mapped addresses
            low = std::array<uint8_t, 4>{low6->bytes[0], low6->bytes[1], low6->bytes[2], low6->bytes[3]};
            high = std::array<uint8_t, 4>{high6->bytes[0], high6->bytes[1], high6->bytes[2], high6->bytes[3]};
        } else {
            low = ParseIPv4(first);
            high = second.empty() ? low : ParseIPv4(second);
        }
        if (!low || !high) continue;
        bool valid = true;
        for (size_t i = 0; i < 4; ++i) valid = valid && (*low)[i] <= (*high)[i];
        if (valid) ranges.push_back({*low, *high});
    }
    store::EngineGuard lock(mu_);
    patterns_.swap(patterns);
    ranges_.swap(ranges);
    ranges6_.swap(ranges6);
    return patterns_.size() + ranges_.size() + ranges6_.size();
}

bool CAddressList::InRange(std::string_view ip) const {
    auto a = ParseIPv4(ip);
    if (!a) {
        const auto v6 = common::IpAddress::Parse(ip);
        if (!v6) return false;
        if (v6->IsV4()) return InRange(v6->ToString());  // a mapped IPv4 client
        store::EngineGuard lock(mu_);
        for (const Range6& r : ranges6_)
            if (NotAfter(r.low, *v6) && NotAfter(*v6, r.high)) return true;
        return false;
    }
    store::EngineGuard lock(mu_);
    for (const Range& r : ranges_) {
        bool inside = true;
        for (size_t i = 0; i < 4 && inside; ++i) inside = (*a)[i] >= r.low[i] && (*a)[i] <= r.high[i];
        if (inside) return true;
    }
    return false;
}

bool CAddressList::NameMatches(std::string_view reverse_name) const {
    if (reverse_name.empty()) return false;
    store::EngineGuard lock(mu_);
    for (const std::string& p : patterns_)
        if (common::RegexTest(p, common::kRegexCaseless, reverse_name)) return true;
    return false;
}

int CAddressList::Contains(std::string_view ip, CDns* dns) const {
    if (ip.empty()) return 0;
    if (dns && PatternCount() > 0) {
        // The lock is not held across the lookup: it may wait for the network.
        std::string name = DnsReverse(*dns, ip);
        if (NameMatches(name)) return 1;
    }
    return InRange(ip) ? 1 : 0;
}

size_t CAddressList::PatternCount() const {
    store::EngineGuard lock(mu_);
    return patterns_.size();
}

size_t CAddressList::RangeCount() const {
    store::EngineGuard lock(mu_);
    return ranges_.size() + ranges6_.size();
}

}  // namespace checks
