#include "checks/Spf.h"

#include <algorithm>
#include <cstring>

#include "checks/Dns.h"
#include "common/Clock.h"
#include "common/Md5.h"
#include "common/Regex.h"
#include "common/String.h"
#include "script/Lexer.h"

namespace checks {

namespace {

constexpr std::string_view kDelimiterChars = "+,-./=_";

std::string Lower(std::string_view s) {
    return common::String(s).MakeLower().str();
}

void Join(std::string& into, std::string_view piece) {
    if (piece.empty()) return;
    if (!into.empty()) into += '|';
    into += piece;
}

// The record's own patterns, compiled once.
const common::RegexHandle& Pattern(int which) {
    static const common::RegexHandle kPatterns[] = {
        common::RegexHandle::Compile(R"((.+?)\@(.+?)$)", 0),                                    // sender
        common::RegexHandle::Compile(R"(^(.+?)[\:|\=](.+?)$)", common::kRegexCaseless),         // name:value
        common::RegexHandle::Compile(R"((\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3})/(\d{1,2})$)", 0),  // ip4 net/bits
        common::RegexHandle::Compile(R"(^(\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3})$)", 0),           // ip4 bare
        common::RegexHandle::Compile(R"((.+?)/(\d{1,2})$)", 0),                                 // a/mx target/bits
        common::RegexHandle::Compile(R"(^(\d{1,2})$)", 0),                                      // a/mx bits alone
    };
    return kPatterns[which];
}
enum { kSender, kNameValue, kIp4Prefix, kIp4Bare, kTargetPrefix, kPrefixAlone };

int ClampBits(std::string_view digits) {
    int v = 0;
    for (char c : digits) v = v * 10 + (c - '0');
    return std::clamp(v, 0, 32);
}

bool IsAllTerm(std::string_view term) {
    // "^[\?|\+|\-|\~]all$": the class holds "|" too.
    return term.size() == 4 && std::string_view("?|+-~").find(term[0]) != std::string_view::npos &&
           term.substr(1) == "all";
}

int QualifierOf(char c) {
    switch (c) {
        case '-': return kSpfFail;
        case '~': return kSpfSoftFail;
        case '?': return kSpfNeutral;
        default: return kSpfPass;
    }
}

}  // namespace

const char* SpfResultString(int code) {
    static const char* const kTexts[] = {"Pass", "SoftFail", "Fail", "Neutral", "None", "TempError", "PermError"};
    return code >= 0 && code <= 6 ? kTexts[code] : "";
}

bool SpfDnsLookup::Query(std::string_view name, uint16_t qtype, std::vector<DnsAnswer>* answers) {
    return dns_ && dns_->Query(name, qtype, answers);
}

namespace spf {

bool ParseAddress(std::string_view text, uint8_t out[4]) {
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        size_t start = pos;
        int value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3)
            value = value * 10 + (text[pos++] - '0');
        if (pos == start || value > 255) return false;
        if (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') return false;  // a fourth digit
        out[part] = static_cast<uint8_t>(value);
    }
    return pos == text.size();
}

bool PrefixMatch(const uint8_t a[4], const uint8_t b[4], int bits) {
    bits = std::clamp(bits, 0, 32);
    for (int i = 0; i < 4 && bits > 0; ++i, bits -= 8) {
        const uint8_t mask = bits >= 8 ? 0xFF : static_cast<uint8_t>(0xFF << (8 - bits));
        if ((a[i] & mask) != (b[i] & mask)) return false;
    }
    return true;
}

bool Context::Ask(std::string_view name, uint16_t qtype, std::vector<DnsAnswer>* answers) {
    if (lookups >= limit) return false;
    ++lookups;
    return !name.empty() && lookup && lookup->Query(name, qtype, answers);
}

std::string Context::FetchRecord(std::string_view domain_name) {
    multiple_records = false;
    std::vector<DnsAnswer> answers;
    if (!Ask(domain_name, kTypeTXT, &answers)) return {};
    std::string out;
    int records = 0;
    for (const DnsAnswer& a : answers) {
        if (a.type != kTypeTXT) continue;
        const std::string text = script::lex::Trim(a.data);
        if (Lower(std::string_view(text).substr(0, 6)) != "v=spf1") continue;
        // Another record is kept too, and joined: ExpandedRecord refuses the result.
        if (!out.empty()) out += '|';
        out += text;
        ++records;
    }
    multiple_records = records > 1;
    return out;
}

std::string Context::LookupA(std::string_view name) {
    std::vector<DnsAnswer> answers;
    if (!Ask(name, kTypeA, &answers)) return {};
    std::string out;
    uint8_t quad[4];
    for (const DnsAnswer& a : answers) {
        if (ParseAddress(a.data, quad)) {
            Join(out, a.data);
            continue;
        }
        // A CNAME: its target's addresses join the same collection.
        if (a.data != name) Join(out, LookupA(a.data));
        break;
    }
    return out;
}

std::string Context::LookupMX(std::string_view name) {
    std::vector<DnsAnswer> answers;
    if (!Ask(name, kTypeMX, &answers)) return {};
    std::string out;
    uint8_t quad[4];
    for (const DnsAnswer& a : answers) {
        if (a.type != kTypeMX) continue;
        Join(out, ParseAddress(a.data, quad) ? a.data : LookupA(a.data));
    }
    return out;
}

std::string Context::LookupPTR(std::string_view text) {
    std::vector<DnsAnswer> answers;
    if (!Ask(text, kTypePTR, &answers)) return {};
    std::string out;
    uint8_t quad[4];
    for (const DnsAnswer& a : answers) {
        if (ParseAddress(a.data, quad))
            Join(out, a.data);
        else if (a.type == kTypePTR)
            Join(out, LookupA(a.data));
    }
    return out;
}

bool Begin(Context& ctx, std::string_view ip, std::string_view mail_from, std::string_view helo) {
    ctx.ip = std::string(ip);
    ctx.helo = std::string(helo);
    if (!ParseAddress(ip, ctx.ip_bytes)) return false;
    ctx.sender = mail_from.empty() ? "helo@" + std::string(helo) : std::string(mail_from);
    common::RegexMatch m = Pattern(kSender).Search(ctx.sender);
    if (m.matched()) {
        ctx.local_part = Lower(m.text[1]);
        ctx.sender_domain = Lower(m.text[2]);
        ctx.domain = ctx.sender_domain;
    }
    ctx.now = common::NowSeconds();
    return true;
}

namespace {

// The "p" macro: does a name of the current domain's addresses lead back to the client?
std::string ValidatedPtr(Context& ctx) {
    std::string addresses = ctx.LookupPTR(ctx.LookupA(ctx.domain));
    if (addresses.empty()) return "unknown";
    uint8_t quad[4];
    std::string answer = "0";
    for (std::string_view a : common::SplitNonEmpty(addresses, '|')) {
        if (!ParseAddress(a, quad)) return "unknown";
        if (PrefixMatch(quad, ctx.ip_bytes, 32)) answer = "1";
    }
    return answer;
}

// The parts of `value` between delimiters, reversed and cut to the `keep` right-hand ones (0:
// all), joined by ".".
std::string Transform(std::string_view value, std::string_view delimiters, bool reverse, int keep) {
    if (delimiters.empty()) delimiters = ".";
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t i = 0; i <= value.size(); ++i) {
        if (i == value.size() || delimiters.find(value[i]) != std::string_view::npos) {
            parts.push_back(value.substr(start, i - start));
            start = i + 1;
        }
    }
    if (reverse) std::reverse(parts.begin(), parts.end());
    if (keep > 0 && static_cast<size_t>(keep) < parts.size()) parts.erase(parts.begin(), parts.end() - keep);
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += '.';
        out += parts[i];
    }
    return out;
}

}  // namespace

std::string Expand(Context& ctx, std::string_view text, std::string_view domain, ExpandMode mode) {
    std::string out;
    const bool explain = mode == ExpandMode::Explanation;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 1 >= text.size()) break;  // a "%" at the end: dropped
        const char n = text[++i];
        if (n == '%') {
            out += '%';
        } else if (n == '_') {
            out += ' ';
        } else if (n == '-') {
            out += "%20";
        } else if (n == '{') {
            size_t j = i + 1;
            if (j >= text.size()) return {};
            const char letter = text[j++];
            int keep = 0;
            if (j < text.size() && text[j] >= '1' && text[j] <= '9') keep = text[j++] - '0';
            bool reverse = false;
            if (j < text.size() && text[j] == 'r') {
                reverse = true;
                ++j;
            }
            const size_t delimiters_at = j;
            while (j < text.size() && kDelimiterChars.find(text[j]) != std::string_view::npos) ++j;
            const std::string_view delimiters = text.substr(delimiters_at, j - delimiters_at);
            if (j >= text.size() || text[j] != '}') return {};
            std::string value;
            switch (letter) {
                case 's': value = ctx.sender.empty() ? "postmaster" : ctx.sender; break;
                case 'l': value = ctx.local_part; break;
                case 'o': value = std::string(domain); break;
                case 'd': value = ctx.domain; break;
                case 'i': value = ctx.ip; break;
                case 'p': value = ValidatedPtr(ctx); break;
                case 'v': value = "in-addr"; break;
                case 'h': value = ctx.helo.empty() ? "unknown" : ctx.helo; break;
                case 'c':
                    if (!explain) return {};
                    value = ctx.ip;
                    break;
                case 'r':
                    if (!explain) return {};
                    value = "unknown";
                    break;
                case 't':
                    if (!explain) return {};
                    value = std::to_string(ctx.now);
                    break;
                default: return {};
            }
            if (keep > 0 || reverse) value = Transform(value, delimiters, reverse, keep);
            out += value;
            i = j;
        }
        // Any other character after "%": both dropped.
    }
    return out;
}

bool ExpandedRecord(Context& ctx, std::string* record) {
    std::string fetched = ctx.FetchRecord(ctx.domain);
    // Two published records: refused whatever they say, so that a second record can never
    // turn a Fail into a Pass.
    if (ctx.multiple_records) return false;
    *record = Expand(ctx, fetched, ctx.domain, ExpandMode::Record);
    return true;
}

int Check(Context& ctx) {
    std::string record;
    if (!ExpandedRecord(ctx, &record)) return kSpfPermError;
    return Walk(ctx, std::move(record));
}

int Walk(Context& ctx, std::string record) {
    if (record.empty()) return kSpfNeutral;
    if (ctx.lookups >= ctx.limit) return kSpfTempError;
    int no_match = kSpfNeutral;
    if (record.size() >= 4) {
        const std::string_view tail = std::string_view(record).substr(record.size() - 4);
        if (tail == "-all") no_match = kSpfFail;
        if (tail == "~all") no_match = kSpfSoftFail;
        if (tail == "?all") no_match = kSpfNeutral;
        if (tail == "+all") no_match = kSpfPass;
    }
    std::string text = std::move(record) + " ";
    std::string term;
    uint8_t quad[4];
    for (size_t i = 0; i < text.size(); ++i) {
        if (ctx.lookups >= ctx.limit) return kSpfTempError;
        if (text[i] != ' ') {
            term += text[i];
            continue;
        }
        std::string_view t = term;
        int qualifier = kSpfPass;
        if (!IsAllTerm(t) && !t.empty() && std::string_view("-~?+").find(t[0]) != std::string_view::npos) {
            qualifier = QualifierOf(t[0]);
            t.remove_prefix(1);
        }
        std::string name, value;
        common::RegexMatch nv = Pattern(kNameValue).Search(t);
        if (nv.matched()) {
            name = nv.text[1];
            value = nv.text[2];
        } else {
            name = std::string(t);
            for (std::string_view bare : {"a", "mx", "ptr"}) {
                if (t.size() > bare.size() + 1 && t.size() <= bare.size() + 3 && t.substr(0, bare.size()) == bare &&
                    t[bare.size()] == '/' &&
                    std::all_of(t.begin() + static_cast<long>(bare.size()) + 1, t.end(),
                                [](char d) { return d >= '0' && d <= '9'; })) {
                    name = std::string(bare);
                    value = std::string(t.substr(bare.size() + 1));
                }
            }
        }
        term.clear();

        if (name == "include" || name == "redirect") {
            if (std::find(ctx.included.begin(), ctx.included.end(), value) != ctx.included.end()) continue;
            ctx.included.push_back(value);
            ctx.domain = value;
            std::string spliced;
            if (!ExpandedRecord(ctx, &spliced)) return kSpfPermError;
            if (spliced.empty()) continue;
            text = spliced + " " + text.substr(i + 1);
            i = static_cast<size_t>(-1);  // the loop's ++ starts the new text at 0
        } else if (name == "ip4") {
            std::string network;
            int bits = 32;
            common::RegexMatch m = Pattern(kIp4Prefix).Search(value);
            if (m.matched()) {
                network = m.text[1];
                bits = ClampBits(m.text[2]);
            } else if ((m = Pattern(kIp4Bare).Search(value)).matched()) {
                network = m.text[1];
            } else {
                continue;
            }
            if (!ParseAddress(network, quad)) return kSpfPermError;
            if (PrefixMatch(ctx.ip_bytes, quad, bits)) return qualifier;
        } else if (name == "a" || name == "mx") {
            std::string target = ctx.domain;
            int bits = 32;
            common::RegexMatch m = Pattern(kTargetPrefix).Search(value);
            if (m.matched()) {
                target = m.text[1];
                bits = ClampBits(m.text[2]);
            } else if (Pattern(kPrefixAlone).Test(value)) {
                bits = ClampBits(value);
            } else if (!value.empty()) {
                target = value;
            }
            const std::string addresses = name == "a" ? ctx.LookupA(target) : ctx.LookupMX(target);
            for (std::string_view a : common::SplitNonEmpty(addresses, '|')) {
                if (!ParseAddress(a, quad)) return kSpfPermError;
                if (PrefixMatch(ctx.ip_bytes, quad, bits)) return qualifier;
            }
        } else if (name == "ptr") {
            const std::string target = value.empty() ? ctx.domain : value;
            const std::string addresses = ctx.LookupPTR(ctx.LookupA(target));
            for (std::string_view a : common::SplitNonEmpty(addresses, '|')) {
                if (!ParseAddress(a, quad)) return kSpfPermError;
                if (PrefixMatch(ctx.ip_bytes, quad, 32)) return qualifier;
            }
        } else if (name == "exists") {
            if (!ctx.LookupA(value).empty()) return qualifier;
        } else if (name == "exp") {
            // Kept for the record only: it never changes the result.
            ctx.explanation = Expand(ctx, ctx.FetchRecord(value), value, ExpandMode::Explanation);
        } else if (name == "-all" || name == "~all" || name == "?all" || name == "+all") {
            no_match = QualifierOf(name[0]);
        }
        // "v" (of "v=spf1") and any other name: skipped.
    }
    return no_match;
}

}  // namespace spf

CSpf::CSpf(const std::string& table_path, SpfLookup* lookup, store::CDB_RAM::TimeSource now)
    : CListTable(table_path, now), lookup_(lookup) {}

void CSpf::SetLookupLimit(int32_t limit) {
    limit_ = std::clamp(limit, 0, kMaxLookupLimit);
}

std::string CSpf::CacheKey(std::string_view ip, std::string_view mail_from, std::string_view helo) {
    std::string text;
    text.reserve(ip.size() + mail_from.size() + helo.size());
    text.append(ip).append(mail_from).append(helo);
    return common::Md5Hex(text);
}

int CSpf::Evaluate(std::string_view ip, std::string_view mail_from, std::string_view helo) {
    spf::Context ctx;
    ctx.lookup = lookup_;
    ctx.limit = limit_.load();
    if (!spf::Begin(ctx, ip, mail_from, helo)) return kSpfTempError;
    return spf::Check(ctx);
}

int CSpf::Query(const char* ip, const char* mail_from, const char* helo) {
    if (!ip || !mail_from || !helo) return kSpfNeutral;
    const std::string key = CacheKey(ip, mail_from, helo);
    if (std::optional<store::DbRecord> hit = table_.Get(key); hit && hit->data.size() == 4) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(hit->data[static_cast<size_t>(i)]);
        return static_cast<int32_t>(v);
    }
    uint8_t quad[4];
    if (!spf::ParseAddress(ip, quad)) return kSpfTempError;  // not cached
    const int result = Evaluate(ip, mail_from, helo);
    std::string data(4, '\0');
    for (int i = 0; i < 4; ++i)
        data[static_cast<size_t>(i)] = static_cast<char>((static_cast<uint32_t>(result) >> (8 * i)) & 0xFF);
    table_.Insert(key, data, true);
    return result;
}

}  // namespace checks
