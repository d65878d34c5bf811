#include "checks/Spf.h"

#include <algorithm>
#include <cstring>

#include "checks/Dns.h"
#include "common/Clock.h"
#include "common/Md5.h"
#include "common/String.h"

namespace checks {

namespace {

constexpr std::string_view kDelimiterChars = ".-+,/_=";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsAlnum(char c) {
    return IsDigit(c) || IsAlpha(c);
}

using common::AsciiEqualNoCase;

std::string_view WithoutRootDot(std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    return name;
}

// A name DNS can carry: labels of 1 to 63 bytes, at most 253 bytes. Labels may hold any byte
// (a macro can put a blank in one); a domain to be checked, `strict`, must be visible ASCII
// and have two labels at least.
bool QueryableName(std::string_view name, bool strict) {
    name = WithoutRootDot(name);
    if (name.empty() || name.size() > 253) return false;
    size_t labels = 0, start = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name[i] != '.') {
            if (strict && (name[i] <= ' ' || name[i] >= 0x7F)) return false;
            continue;
        }
        if (i == start || i - start > 63) return false;
        ++labels;
        start = i + 1;
    }
    return !strict || labels > 1;
}

// "0" or digits without a leading zero, at most `max`.
bool ParseCidr(std::string_view digits, int max, int* out) {
    if (digits.empty() || digits.size() > 3 || !std::all_of(digits.begin(), digits.end(), IsDigit)) return false;
    if (digits.size() > 1 && digits[0] == '0') return false;
    int v = 0;
    for (char c : digits) v = v * 10 + (c - '0');
    if (v > max) return false;
    *out = v;
    return true;
}

// The toplabel of a domain-end: letters, digits and inner hyphens, not all digits unless it
// holds a hyphen (so that an address is never taken for a name).
bool ValidTopLabel(std::string_view label) {
    if (label.empty() || !IsAlnum(label.front()) || !IsAlnum(label.back())) return false;
    bool alpha = false, hyphen = false;
    for (char c : label) {
        if (c == '-')
            hyphen = true;
        else if (IsAlpha(c))
            alpha = true;
        else if (!IsDigit(c))
            return false;
    }
    return alpha || hyphen;
}

bool IsMacroLetter(char c, bool explanation) {
    switch (common::AsciiLower(c)) {
        case 's':
        case 'l':
        case 'o':
        case 'd':
        case 'i':
        case 'p':
        case 'h':
        case 'v': return true;
        case 'c':
        case 'r':
        case 't': return explanation;
        default: return false;
    }
}

struct MacroExpand {
    char letter = 0;
    int keep = 0;  // 0: every part
    bool reverse = false;
    std::string_view delimiters;
    size_t end = 0;  // just past the "}"
};

// The macro-expand whose "{" is at text[open]; false on a syntax error.
bool ReadMacroExpand(std::string_view text, size_t open, bool explanation, MacroExpand* m) {
    size_t j = open + 1;
    if (j >= text.size() || !IsMacroLetter(text[j], explanation)) return false;
    m->letter = text[j++];
    const size_t digits_at = j;
    while (j < text.size() && IsDigit(text[j])) ++j;
    if (j > digits_at) {
        if (j - digits_at > 3) return false;
        int v = 0;
        for (size_t k = digits_at; k < j; ++k) v = v * 10 + (text[k] - '0');
        if (v == 0) return false;  // keeping no part at all is not a transformer
        m->keep = v;
    }
    if (j < text.size() && (text[j] == 'r' || text[j] == 'R')) {
        m->reverse = true;
        ++j;
    }
    const size_t delimiters_at = j;
    while (j < text.size() && kDelimiterChars.find(text[j]) != std::string_view::npos) ++j;
    m->delimiters = text.substr(delimiters_at, j - delimiters_at);
    if (j >= text.size() || text[j] != '}') return false;
    m->end = j + 1;
    return true;
}

// Walks a macro-string: `literal(text)` for each run of literal bytes, `macro(m)` for each
// "%{...}", and the escapes as literals. False on a syntax error. `ends_in_macro` tells whether
// the last piece was a macro-expand (the escapes count as ones, as the grammar has it).
template <typename Literal, typename Macro>
bool WalkMacroString(std::string_view text, bool explanation, Literal literal, Macro macro,
                     bool* ends_in_macro = nullptr) {
    bool last_macro = false;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c != '%') {
            const bool visible = c >= 0x21 && c <= 0x7E;
            if (!visible && !(explanation && c == ' ')) return false;
            size_t j = i;
            while (j < text.size() && text[j] != '%' &&
                   ((text[j] >= 0x21 && text[j] <= 0x7E) || (explanation && text[j] == ' ')))
                ++j;
            if (j < text.size() && text[j] != '%') return false;
            literal(text.substr(i, j - i));
            last_macro = false;
            i = j;
            continue;
        }
        if (i + 1 >= text.size()) return false;
        const char n = text[i + 1];
        last_macro = true;
        if (n == '%' || n == '_' || n == '-') {
            literal(n == '%' ? std::string_view("%") : n == '_' ? std::string_view(" ") : std::string_view("%20"));
            i += 2;
        } else if (n == '{') {
            MacroExpand m;
            if (!ReadMacroExpand(text, i + 1, explanation, &m)) return false;
            macro(m);
            i = m.end;
        } else {
            return false;
        }
    }
    if (ends_in_macro) *ends_in_macro = last_macro;
    return true;
}

// A domain pattern: a macro-string that ends in a macro or in "." and a top label.
bool ValidDomainPattern(std::string_view pattern) {
    if (pattern.empty()) return false;
    std::string_view tail;
    bool ends_in_macro = false;
    const bool ok = WalkMacroString(
        pattern, false, [&tail](std::string_view lit) { tail = lit; }, [&tail](const MacroExpand&) { tail = {}; },
        &ends_in_macro);
    if (!ok) return false;
    if (ends_in_macro) return true;
    // The literal run at the end is one piece only when nothing follows it; a run may be cut
    // by an escape, but an escape counts as a macro-expand and would have ended the string.
    tail = WithoutRootDot(tail);
    const size_t dot = tail.rfind('.');
    return dot != std::string_view::npos && ValidTopLabel(tail.substr(dot + 1));
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

std::string UrlEscaped(std::string_view value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : value) {
        if (IsAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[static_cast<uint8_t>(c) >> 4];
            out += kHex[static_cast<uint8_t>(c) & 0xF];
        }
    }
    return out;
}

// Labels dropped from the left until the name fits DNS.
std::string TruncatedName(std::string name) {
    while (name.size() > 253) {
        const size_t dot = name.find('.');
        if (dot == std::string::npos) return {};
        name.erase(0, dot + 1);
    }
    return name;
}

bool IsSpfRecord(std::string_view text) {
    return text.size() >= 6 && AsciiEqualNoCase(text.substr(0, 6), "v=spf1") && (text.size() == 6 || text[6] == ' ');
}

}  // namespace

const char* SpfResultString(int code) {
    static const char* const kTexts[] = {"Pass", "SoftFail", "Fail", "Neutral", "None", "TempError", "PermError"};
    return code >= 0 && code <= 6 ? kTexts[code] : "";
}

bool SpfDnsLookup::Query(std::string_view name, uint16_t qtype, std::vector<DnsAnswer>* answers) {
    int rcode = 0;
    if (!dns_ || !dns_->Query(name, qtype, answers, -1, -1, false, &rcode)) return false;
    if (rcode == kRcodeNameError) answers->clear();
    return rcode == kRcodeNoError || rcode == kRcodeNameError;
}

namespace spf {

bool ValidMacroString(std::string_view text, bool explanation) {
    return WalkMacroString(
        text, explanation, [](std::string_view) {}, [](const MacroExpand&) {});
}

namespace {

bool Fail(std::string* error, std::string why) {
    *error = std::move(why);
    return false;
}

// "a", "mx": [":" domain pattern] ["/" ip4-cidr] ["//" ip6-cidr]. Digits after a "/" at the end are
// always taken for a prefix length, as the grammar reads them.
bool ParseTargetAndCidr(std::string_view rest, Term* t, std::string* error) {
    auto trailing = [](std::string_view s, std::string_view lead) -> size_t {
        size_t j = s.size();
        while (j > 0 && IsDigit(s[j - 1])) --j;
        if (j == s.size() || j < lead.size() || s.substr(j - lead.size(), lead.size()) != lead)
            return std::string_view::npos;
        return j - lead.size();
    };
    if (size_t at = trailing(rest, "//"); at != std::string_view::npos) {
        if (!ParseCidr(rest.substr(at + 2), 128, &t->cidr6)) return Fail(error, "bad ip6 prefix length");
        rest = rest.substr(0, at);
    }
    if (size_t at = trailing(rest, "/"); at != std::string_view::npos && (at == 0 || rest[at - 1] != '/')) {
        if (!ParseCidr(rest.substr(at + 1), 32, &t->cidr4)) return Fail(error, "bad ip4 prefix length");
        rest = rest.substr(0, at);
    }
    if (rest.empty()) return true;
    if (rest[0] != ':' || !ValidDomainPattern(rest.substr(1))) return Fail(error, "bad domain pattern");
    t->pattern = std::string(rest.substr(1));
    return true;
}

bool ParseTerm(std::string_view term, Record* rec, std::string* error) {
    Term t;
    size_t i = 0;
    const bool qualified = std::string_view("+-~?").find(term[0]) != std::string_view::npos;
    if (qualified) {
        t.qualifier = term[0] == '-'   ? kSpfFail
                      : term[0] == '~' ? kSpfSoftFail
                      : term[0] == '?' ? kSpfNeutral
                                       : kSpfPass;
        ++i;
    }
    const size_t name_at = i;
    while (i < term.size() && (IsAlnum(term[i]) || term[i] == '-' || term[i] == '_' || term[i] == '.')) ++i;
    const std::string_view name = term.substr(name_at, i - name_at);
    const std::string_view rest = term.substr(i);
    const std::string quoted = "\"" + std::string(term) + "\"";
    if (name.empty() || !IsAlpha(name[0])) return Fail(error, "bad term " + quoted);

    if (!rest.empty() && rest[0] == '=') {
        const std::string_view value = rest.substr(1);
        if (qualified) return Fail(error, "a qualifier before modifier " + quoted);
        const bool redirect = AsciiEqualNoCase(name, "redirect"), exp = AsciiEqualNoCase(name, "exp");
        if (redirect || exp) {
            std::optional<std::string>& slot = redirect ? rec->redirect : rec->exp;
            if (slot) return Fail(error, "a second " + std::string(name) + " modifier");
            if (!ValidDomainPattern(value)) return Fail(error, "bad domain pattern in " + quoted);
            slot = std::string(value);
        } else if (!ValidMacroString(value, true)) {
            return Fail(error, "bad macro-string in " + quoted);
        }
        return true;
    }

    auto domain_after_colon = [&](bool required) {
        if (rest.empty() && !required) return true;
        if (rest.size() < 2 || rest[0] != ':' || !ValidDomainPattern(rest.substr(1)))
            return Fail(error, "bad domain pattern in " + quoted);
        t.pattern = std::string(rest.substr(1));
        return true;
    };
    if (AsciiEqualNoCase(name, "all")) {
        if (!rest.empty()) return Fail(error, "bad term " + quoted);
        t.kind = Kind::All;
    } else if (AsciiEqualNoCase(name, "include") || AsciiEqualNoCase(name, "exists")) {
        t.kind = AsciiEqualNoCase(name, "include") ? Kind::Include : Kind::Exists;
        if (!domain_after_colon(true)) return false;
    } else if (AsciiEqualNoCase(name, "ptr")) {
        t.kind = Kind::Ptr;
        if (!domain_after_colon(false)) return false;
    } else if (AsciiEqualNoCase(name, "a") || AsciiEqualNoCase(name, "mx")) {
        t.kind = AsciiEqualNoCase(name, "a") ? Kind::A : Kind::Mx;
        if (!ParseTargetAndCidr(rest, &t, error)) return false;
    } else if (AsciiEqualNoCase(name, "ip4") || AsciiEqualNoCase(name, "ip6")) {
        const bool v6 = AsciiEqualNoCase(name, "ip6");
        const std::string family = v6 ? "ip6" : "ip4";
        t.kind = v6 ? Kind::Ip6 : Kind::Ip4;
        if (rest.empty() || rest[0] != ':') return Fail(error, "bad term " + quoted);
        std::string_view net = rest.substr(1);
        if (size_t slash = net.rfind('/'); slash != std::string_view::npos) {
            if (!ParseCidr(net.substr(slash + 1), v6 ? 128 : 32, v6 ? &t.cidr6 : &t.cidr4))
                return Fail(error, "bad " + family + " prefix length");
            net = net.substr(0, slash);
        }
        // A dotted quad is no IPv6 network, but the mapped form "::ffff:a.b.c.d" is one.
        const auto parsed = common::IpAddress::Parse(net);
        const bool family_ok = parsed && (v6 ? net.find(':') != std::string_view::npos : parsed->IsV4());
        if (!family_ok || net.front() == '[') return Fail(error, "bad " + family + " network in " + quoted);
        t.net = *parsed;
    } else {
        return Fail(error, "unknown mechanism " + quoted);
    }
    rec->terms.push_back(std::move(t));
    return true;
}

}  // namespace

bool ParseRecord(std::string_view text, Record* out, std::string* error) {
    *out = Record{};
    if (!IsSpfRecord(text)) return Fail(error, "not a v=spf1 record");
    for (std::string_view term : common::SplitNonEmpty(text.substr(6), ' '))
        if (!ParseTerm(term, out, error)) return false;
    return true;
}

bool Context::Ask(std::string_view name, uint16_t qtype, std::vector<DnsAnswer>* answers) {
    answers->clear();
    std::string asked(WithoutRootDot(name));
    // A server that answers with an alias alone has left the chase to us; a few hops are enough
    // for any real chain and stop a loop.
    for (int hop = 0; hop < 8; ++hop) {
        // A name no server could be asked for exists nowhere: a void lookup, not an error.
        if (!QueryableName(asked, false)) return true;
        ++queries;
        if (!lookup || !lookup->Query(asked, qtype, answers)) return false;
        if (qtype == kTypeCNAME || qtype == kTypePTR) return true;
        const DnsAnswer* alias = nullptr;
        for (const DnsAnswer& a : *answers) {
            if (a.type == qtype) return true;
            if (a.type == kTypeCNAME) alias = &a;
        }
        if (!alias) return true;
        std::string target(WithoutRootDot(alias->data));
        answers->clear();
        asked = std::move(target);
    }
    return true;
}

bool Begin(Context& ctx, std::string_view ip, std::string_view mail_from, std::string_view helo) {
    ctx.helo = std::string(helo);
    const auto client = common::IpAddress::Parse(ip);
    if (!client) return false;
    ctx.client = *client;
    ctx.ip = client->ToString();
    std::string_view from = mail_from.empty() ? std::string_view() : mail_from;
    const size_t at = from.rfind('@');
    if (from.empty()) {
        ctx.local_part = "postmaster";
        ctx.sender_domain = std::string(helo);
    } else if (at == std::string_view::npos) {
        ctx.local_part = "postmaster";
        ctx.sender_domain = std::string(from);
    } else {
        ctx.local_part = at == 0 ? "postmaster" : std::string(from.substr(0, at));
        ctx.sender_domain = std::string(from.substr(at + 1));
    }
    ctx.sender = ctx.local_part + "@" + ctx.sender_domain;
    ctx.now = common::NowSeconds();
    return true;
}

namespace {

enum Outcome { kNoMatch = -1, kMatch = -2 };

// The address records of the client's family.
uint16_t AddressType(const Context& ctx) {
    return ctx.client.IsV4() ? kTypeA : kTypeAAAA;
}

// kMatch when one of the address answers of the client's family is in the client's network.
int MatchAddresses(const Context& ctx, const std::vector<DnsAnswer>& answers, int bits4, int bits6) {
    const uint16_t type = AddressType(ctx);
    const int bits = ctx.client.IsV4() ? bits4 : bits6;
    for (const DnsAnswer& a : answers) {
        if (a.type != type) continue;
        const auto address = common::IpAddress::Parse(a.data);
        if (address && address->SamePrefix(ctx.client, bits)) return kMatch;
    }
    return kNoMatch;
}

// The "i" macro of an IPv6 client: its 32 nibbles, highest first, dot-separated (RFC 7208 7.3).
std::string DottedNibbles(const common::IpAddress& a) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 16; ++i) {
        if (i > 0) out += '.';
        out += kHex[a.bytes[i] >> 4];
        out += '.';
        out += kHex[a.bytes[i] & 0xF];
    }
    return out;
}

// The names of the client's address that lead back to it (at most ten are tried).
const std::vector<std::string>& ValidatedNames(Context& ctx) {
    if (ctx.validated_names) return *ctx.validated_names;
    std::vector<std::string>& names = ctx.validated_names.emplace();
    std::vector<DnsAnswer> ptrs;
    if (!ctx.Ask(ctx.ip, kTypePTR, &ptrs)) return names;
    int tried = 0;
    for (const DnsAnswer& p : ptrs) {
        if (p.type != kTypePTR) continue;
        if (++tried > kMaxNamesPerTerm) break;
        std::vector<DnsAnswer> addresses;
        if (!ctx.Ask(p.data, AddressType(ctx), &addresses)) continue;  // an error skips the name only
        if (MatchAddresses(ctx, addresses, 32, 128) == kMatch) names.emplace_back(WithoutRootDot(p.data));
    }
    return names;
}

bool SameOrSubdomain(std::string_view name, std::string_view domain) {
    name = WithoutRootDot(name);
    domain = WithoutRootDot(domain);
    if (name.size() == domain.size()) return AsciiEqualNoCase(name, domain);
    return name.size() > domain.size() && name[name.size() - domain.size() - 1] == '.' &&
           AsciiEqualNoCase(name.substr(name.size() - domain.size()), domain);
}

std::string PtrMacroValue(Context& ctx, std::string_view domain) {
    const std::vector<std::string>& names = ValidatedNames(ctx);
    for (const std::string& n : names)
        if (SameOrSubdomain(n, domain) && n.size() == WithoutRootDot(domain).size()) return n;
    for (const std::string& n : names)
        if (SameOrSubdomain(n, domain)) return n;
    return names.empty() ? "unknown" : names.front();
}

std::string MacroValue(Context& ctx, char letter, std::string_view domain) {
    switch (common::AsciiLower(letter)) {
        case 's': return ctx.sender;
        case 'l': return ctx.local_part;
        case 'o': return ctx.sender_domain;
        case 'd': return std::string(domain);
        case 'i': return ctx.client.IsV4() ? ctx.ip : DottedNibbles(ctx.client);
        case 'c': return ctx.ip;
        case 'p': return PtrMacroValue(ctx, domain);
        case 'v': return ctx.client.IsV4() ? "in-addr" : "ip6";
        case 'h': return ctx.helo;
        case 'r': return "unknown";
        case 't': return std::to_string(ctx.now);
        default: return {};
    }
}

}  // namespace

std::optional<std::string> Expand(Context& ctx, std::string_view text, std::string_view domain, ExpandMode mode) {
    std::string out;
    const bool ok = WalkMacroString(
        text, mode == ExpandMode::Explanation, [&out](std::string_view lit) { out += lit; },
        [&](const MacroExpand& m) {
            std::string value = Transform(MacroValue(ctx, m.letter, domain), m.delimiters, m.reverse, m.keep);
            out += IsAlpha(m.letter) && m.letter <= 'Z' ? UrlEscaped(value) : value;
        });
    if (!ok) return std::nullopt;
    return out;
}

namespace {

// The name a term points at: its domain pattern expanded, or the current domain.
std::optional<std::string> TargetOf(Context& ctx, const Term& t, std::string_view domain) {
    if (t.pattern.empty()) return std::string(domain);
    auto expanded = Expand(ctx, t.pattern, domain, ExpandMode::Record);
    if (!expanded) return std::nullopt;
    return TruncatedName(std::move(*expanded));
}

// kMatch, kNoMatch, or the result that ends the evaluation.
int CountDnsTerm(Context& ctx) {
    if (++ctx.dns_terms > kMaxDnsTerms) {
        ctx.error = "more than 10 DNS-querying terms";
        return kSpfPermError;
    }
    return kNoMatch;
}

int CountVoid(Context& ctx) {
    if (++ctx.void_lookups > kMaxVoidLookups) {
        ctx.error = "more than 2 void lookups";
        return kSpfPermError;
    }
    return kNoMatch;
}

int TempError(Context& ctx, std::string_view name) {
    ctx.error = "DNS error for " + std::string(name);
    return kSpfTempError;
}

size_t CountOfType(const std::vector<DnsAnswer>& answers, uint16_t type) {
    return static_cast<size_t>(
        std::count_if(answers.begin(), answers.end(), [type](const DnsAnswer& a) { return a.type == type; }));
}

int Evaluate(Context& ctx, const Term& t, std::string_view domain) {
    switch (t.kind) {
        case Kind::All: return kMatch;
        case Kind::Ip4: return ctx.client.SamePrefix(t.net, t.cidr4) ? kMatch : kNoMatch;
        case Kind::Ip6: return ctx.client.SamePrefix(t.net, t.cidr6) ? kMatch : kNoMatch;
        default: break;
    }
    if (int r = CountDnsTerm(ctx); r != kNoMatch) return r;
    std::optional<std::string> target = TargetOf(ctx, t, domain);
    if (!target) {
        ctx.error = "bad macro in \"" + t.pattern + "\"";
        return kSpfPermError;
    }
    std::vector<DnsAnswer> answers;
    switch (t.kind) {
        case Kind::Include: {
            const int r = CheckHost(ctx, *target, false);
            if (r == kSpfPass) return kMatch;
            if (r == kSpfFail || r == kSpfSoftFail || r == kSpfNeutral) return kNoMatch;
            if (r == kSpfNone) {
                ctx.error = "include of " + *target + ", which has no record";
                return kSpfPermError;
            }
            return r;
        }
        case Kind::A:
        case Kind::Exists: {
            // exists asks for A records whatever the client's family (RFC 7208 5.7).
            const uint16_t type = t.kind == Kind::Exists ? kTypeA : AddressType(ctx);
            if (!ctx.Ask(*target, type, &answers)) return TempError(ctx, *target);
            if (CountOfType(answers, type) == 0) return CountVoid(ctx);
            return t.kind == Kind::Exists ? kMatch : MatchAddresses(ctx, answers, t.cidr4, t.cidr6);
        }
        case Kind::Mx: {
            if (!ctx.Ask(*target, kTypeMX, &answers)) return TempError(ctx, *target);
            const size_t exchanges = CountOfType(answers, kTypeMX);
            if (exchanges == 0) return CountVoid(ctx);
            if (exchanges > kMaxNamesPerTerm) {
                ctx.error = *target + " has more than 10 MX records";
                return kSpfPermError;
            }
            for (const DnsAnswer& mx : answers) {
                if (mx.type != kTypeMX || WithoutRootDot(mx.data).empty()) continue;
                std::vector<DnsAnswer> addresses;
                if (!ctx.Ask(mx.data, AddressType(ctx), &addresses)) return TempError(ctx, mx.data);
                if (MatchAddresses(ctx, addresses, t.cidr4, t.cidr6) == kMatch) return kMatch;
            }
            return kNoMatch;
        }
        case Kind::Ptr:
            for (const std::string& name : ValidatedNames(ctx))
                if (SameOrSubdomain(name, *target)) return kMatch;
            return kNoMatch;
        default: return kNoMatch;
    }
}

// The exp= text of a Fail; any problem leaves the explanation empty, as the result stands.
void Explain(Context& ctx, const std::string& pattern, std::string_view domain) {
    auto name = Expand(ctx, pattern, domain, ExpandMode::Record);
    std::vector<DnsAnswer> answers;
    if (!name || !ctx.Ask(TruncatedName(std::move(*name)), kTypeTXT, &answers)) return;
    if (CountOfType(answers, kTypeTXT) != 1) return;
    for (const DnsAnswer& a : answers)
        if (a.type == kTypeTXT) ctx.explanation = Expand(ctx, a.data, domain, ExpandMode::Explanation).value_or("");
}

}  // namespace

int CheckHost(Context& ctx, std::string_view domain, bool explain) {
    if (!QueryableName(domain, true)) return kSpfNone;
    std::vector<DnsAnswer> answers;
    if (!ctx.Ask(domain, kTypeTXT, &answers)) return TempError(ctx, domain);
    const DnsAnswer* found = nullptr;
    for (const DnsAnswer& a : answers) {
        if (a.type != kTypeTXT || !IsSpfRecord(a.data)) continue;
        if (found) {
            ctx.error = std::string(domain) + " publishes more than one v=spf1 record";
            return kSpfPermError;
        }
        found = &a;
    }
    if (!found) return kSpfNone;
    Record rec;
    if (!ParseRecord(found->data, &rec, &ctx.error)) {
        ctx.error = std::string(domain) + ": " + ctx.error;
        return kSpfPermError;
    }
    for (const Term& t : rec.terms) {
        const int r = Evaluate(ctx, t, domain);
        if (r == kNoMatch) continue;
        if (r != kMatch) return r;
        if (t.qualifier == kSpfFail && explain && rec.exp) Explain(ctx, *rec.exp, domain);
        return t.qualifier;
    }
    if (!rec.redirect) return kSpfNeutral;
    if (int r = CountDnsTerm(ctx); r != kNoMatch) return r;
    Term t;
    t.pattern = *rec.redirect;
    std::optional<std::string> target = TargetOf(ctx, t, domain);
    const int r = target ? CheckHost(ctx, *target, explain) : kSpfPermError;
    if (r == kSpfNone) ctx.error = "redirect to " + target.value_or("") + ", which has no record";
    return r == kSpfNone ? kSpfPermError : r;
}

int Check(Context& ctx) {
    return CheckHost(ctx, ctx.sender_domain, true);
}

}  // namespace spf

CSpf::CSpf(const std::string& table_path, SpfLookup* lookup, store::CDB_RAM::TimeSource now)
    : CListTable(table_path, now), lookup_(lookup) {}

std::string CSpf::CacheKey(std::string_view ip, std::string_view mail_from, std::string_view helo) {
    std::string text = "rfc7208|";
    text.append(ip).append("|").append(mail_from).append("|").append(helo);
    return common::Md5Hex(text);
}

int CSpf::Evaluate(std::string_view ip, std::string_view mail_from, std::string_view helo) {
    spf::Context ctx;
    ctx.lookup = lookup_;
    if (!spf::Begin(ctx, ip, mail_from, helo)) return kSpfTempError;
    return spf::Check(ctx);
}

int CSpf::Query(const char* ip, const char* mail_from, const char* helo) {
    if (!ip || !mail_from || !helo) return kSpfNeutral;
    const auto client = common::IpAddress::Parse(ip);
    if (!client) return kSpfTempError;  // not cached
    // One client, one key: "2001:DB8::1" and "2001:db8::1" are the same sender.
    const std::string key = CacheKey(client->ToString(), mail_from, helo);
    if (std::optional<store::DbRecord> hit = table_.Get(key); hit && hit->data.size() == 4) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(hit->data[static_cast<size_t>(i)]);
        return static_cast<int32_t>(v);
    }
    const int result = Evaluate(ip, mail_from, helo);
    if (result == kSpfTempError) return result;  // a passing DNS fault must not stick
    std::string data(4, '\0');
    for (int i = 0; i < 4; ++i)
        data[static_cast<size_t>(i)] = static_cast<char>((static_cast<uint32_t>(result) >> (8 * i)) & 0xFF);
    table_.Insert(key, data, true);
    return result;
}

}  // namespace checks
