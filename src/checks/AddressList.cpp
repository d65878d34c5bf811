#include "checks/AddressList.h"

#include <charconv>

#include "checks/Dns.h"
#include "common/Regex.h"
#include "script/Codecs.h"

namespace checks {

namespace {
constexpr const char* kHostName = "^(([a-z\\d][a-z\\d\\-]*)?[a-z\\d]\\.)+[a-z]{2,32}$";
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
        auto low = ParseIPv4(first);
        auto high = second.empty() ? low : ParseIPv4(second);
        if (!low || !high) continue;
        bool valid = true;
        for (size_t i = 0; i < 4; ++i) valid = valid && (*low)[i] <= (*high)[i];
        if (valid) ranges.push_back({*low, *high});
    }
    store::EngineGuard lock(mu_);
    patterns_.swap(patterns);
    ranges_.swap(ranges);
    return patterns_.size() + ranges_.size();
}

bool CAddressList::InRange(std::string_view ip) const {
    auto a = ParseIPv4(ip);
    if (!a) return false;
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
    return ranges_.size();
}

}  // namespace checks
