#include "checks/Dmarc.h"

#include <algorithm>
#include <mutex>

#include "checks/Dkim.h"
#include "common/String.h"
#include "platform/KFile.h"

namespace checks::dmarc {

namespace {

using common::AsciiEqualNoCase;
using common::TrimWhiteSpace;

std::string NormalName(std::string_view name) {
    name = TrimWhiteSpace(name);
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    return common::AsciiLowered(name);
}

// A text that names itself a DMARC record: "v=DMARC1" first, blanks allowed around "=".
bool IsDmarcRecord(std::string_view text) {
    text = TrimWhiteSpace(text);
    if (text.empty() || (text[0] != 'v' && text[0] != 'V')) return false;
    text = TrimWhiteSpace(text.substr(1));
    if (text.empty() || text[0] != '=') return false;
    text = TrimWhiteSpace(text.substr(1));
    if (text.size() < 6 || !AsciiEqualNoCase(text.substr(0, 6), "DMARC1")) return false;
    text = TrimWhiteSpace(text.substr(6));
    return text.empty() || text[0] == ';';
}

bool ParsePolicy(std::string_view value, Policy* out) {
    if (AsciiEqualNoCase(value, "none"))
        *out = Policy::kNone;
    else if (AsciiEqualNoCase(value, "quarantine"))
        *out = Policy::kQuarantine;
    else if (AsciiEqualNoCase(value, "reject"))
        *out = Policy::kReject;
    else
        return false;
    return true;
}

Policy Milder(Policy p) {
    return p == Policy::kReject ? Policy::kQuarantine : Policy::kNone;
}

// Strictest first: a fail (the stricter policy first), then the errors, none, pass.
int Severity(const Verdict& v) {
    switch (v.result) {
        case kFail: return 10 + static_cast<int>(v.policy);
        case kTempError: return 4;
        case kPermError: return 3;
        case kNone: return 2;
        default: return 1;
    }
}

}  // namespace

const char* PolicyName(Policy p) {
    switch (p) {
        case Policy::kQuarantine: return "quarantine";
        case Policy::kReject: return "reject";
        default: return "none";
    }
}

const char* ResultName(int result) {
    static const char* const kNames[] = {"pass", "fail", "none", "temperror", "permerror"};
    return result >= 0 && result <= 4 ? kNames[result] : "permerror";
}

void PublicSuffixList::Parse(std::string_view text) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        const size_t blank = line.find_first_of(" \t\r");
        if (blank != std::string_view::npos) line = line.substr(0, blank);
        if (line.empty() || line.substr(0, 2) == "//") continue;
        if (line[0] == '!') {
            exceptions_.insert(common::AsciiLowered(line.substr(1)));
        } else if (line.substr(0, 2) == "*.") {
            wildcards_.insert(common::AsciiLowered(line.substr(2)));
        } else {
            rules_.insert(common::AsciiLowered(line));
        }
    }
}

bool PublicSuffixList::Load(const std::string& path) {
    std::string text;
    if (!platform::ReadWholeFile(path, text)) return false;
    Parse(text);
    return !Empty();
}

const PublicSuffixList& PublicSuffixList::System() {
    // Read once and never destroyed: a session thread may still ask during shutdown.
    static const PublicSuffixList* list = [] {
        auto* l = new PublicSuffixList;
        l->Load(kDefaultSuffixList);
        return l;
    }();
    return *list;
}

std::string PublicSuffixList::OrganizationalDomain(std::string_view domain) const {
    // Label starts, rightmost last: the suffix of k labels starts at starts[n - k].
    std::vector<size_t> starts{0};
    for (size_t i = 0; i < domain.size(); ++i)
        if (domain[i] == '.') starts.push_back(i + 1);
    const size_t n = starts.size();
    size_t suffix_labels = 1;  // the implied rule "*"
    if (!Empty()) {
        for (size_t k = 1; k <= n; ++k) {
            const std::string candidate(domain.substr(starts[n - k]));
            if (exceptions_.count(candidate)) {
                suffix_labels = k - 1;  // an exception wins over every other rule
                break;
            }
            const bool wild = k >= 2 && wildcards_.count(std::string(domain.substr(starts[n - k + 1])));
            if (rules_.count(candidate) || wild) suffix_labels = k;
        }
    } else {
        suffix_labels = 1;
    }
    if (suffix_labels >= n) return std::string(domain);
    return std::string(domain.substr(starts[n - suffix_labels - 1]));
}

bool ParseRecord(std::string_view text, Record* record, std::string* why) {
    *record = Record{};
    if (!IsDmarcRecord(text)) {
        *why = "not a v=DMARC1 record";
        return false;
    }
    std::vector<dkim::Tag> tags;
    if (!dkim::ParseTagList(text, &tags, why)) return false;
    bool have_p = false, have_rua = false, have_sp = false;
    for (const dkim::Tag& t : tags) {
        const std::string name = common::AsciiLowered(t.name);
        if (name == "p") {
            have_p = ParsePolicy(t.value, &record->p);
        } else if (name == "sp") {
            have_sp = ParsePolicy(t.value, &record->sp);
        } else if (name == "pct") {
            int v = 0;
            bool ok = !t.value.empty() && t.value.size() <= 3;
            for (char c : t.value) ok = ok && c >= '0' && c <= '9' && (v = v * 10 + (c - '0')) <= 100;
            record->pct = ok ? v : 100;
        } else if (name == "adkim") {
            record->strict_dkim = AsciiEqualNoCase(t.value, "s");
        } else if (name == "aspf") {
            record->strict_spf = AsciiEqualNoCase(t.value, "s");
        } else if (name == "rua") {
            have_rua = !t.value.empty();
        }
    }
    if (!have_p) {
        // A record without a usable p= still asks for reports when it has rua=: read as p=none.
        if (!have_rua) {
            *why = "no valid p= tag";
            return false;
        }
        record->p = Policy::kNone;
    }
    if (!have_sp) record->sp = record->p;
    return true;
}

bool FromDomains(std::string_view message, std::vector<std::string>* domains, std::string* why) {
    domains->clear();
    size_t body_at = 0;
    std::string_view from;
    int fields = 0;
    for (std::string_view field : dkim::HeaderFields(message, &body_at)) {
        if (!AsciiEqualNoCase(dkim::FieldName(field), "from")) continue;
        ++fields;
        from = field.substr(field.find(':') + 1);
    }
    if (fields == 0) {
        *why = "no From field";
        return false;
    }
    if (fields > 1) {
        *why = "several From fields";
        return false;
    }
    // The addresses, comments dropped, split at commas outside quotes and angle brackets; a
    // group's display name (up to its colon) and its closing ";" are not addresses.
    std::vector<std::string> addresses(1);
    int comment = 0;
    bool quoted = false, angle = false;
    for (size_t i = 0; i < from.size(); ++i) {
        const char c = from[i];
        if (c == '\r' || c == '\n') continue;
        if (c == '\\' && (quoted || comment > 0)) {
            if (quoted && i + 1 < from.size())
                addresses.back() += from[++i];
            else
                ++i;
            continue;
        }
        if (comment > 0) {
            if (c == '(') ++comment;
            if (c == ')') --comment;
            continue;
        }
        if (quoted) {
            if (c == '"')
                quoted = false;
            else
                addresses.back() += c;
            continue;
        }
        if (c == '"')
            quoted = true;
        else if (c == '(')
            ++comment;
        else if (c == '<') {
            angle = true;
            addresses.back() = "<";
        } else if (c == '>') {
            angle = false;
            addresses.back() += '>';
        } else if (!angle && (c == ',' || c == ';')) {
            addresses.emplace_back();
        } else if (!angle && c == ':') {
            addresses.back().clear();  // a group's name
        } else {
            addresses.back() += c;
        }
    }
    for (std::string& a : addresses) {
        std::string_view text = TrimWhiteSpace(a);
        if (text.empty()) continue;
        if (text.front() == '<') {
            const size_t close = text.find('>');
            text = text.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
        }
        const size_t at = text.rfind('@');
        const std::string domain = at == std::string_view::npos ? std::string() : NormalName(text.substr(at + 1));
        if (domain.empty() || domain.find_first_of(" \t<>@") != std::string::npos) {
            *why = "a From address without a domain";
            domains->clear();
            return false;
        }
        if (std::find(domains->begin(), domains->end(), domain) == domains->end()) domains->push_back(domain);
    }
    if (domains->empty()) {
        *why = "no address in From";
        return false;
    }
    return true;
}

namespace {

bool Aligned(std::string_view a, std::string_view from, bool strict, const PublicSuffixList& psl) {
    const std::string x = NormalName(a);
    if (x.empty()) return false;
    if (x == from) return true;
    return !strict && psl.OrganizationalDomain(x) == psl.OrganizationalDomain(from);
}

// The one policy record at `name`: 0 found, 1 none (or several: no policy either), 2 the lookup
// failed, 3 a record that is not valid (why says how).
int FetchRecord(const TxtLookup& lookup, const std::string& name, Record* record, std::string* why) {
    std::vector<std::string> texts;
    if (lookup(name, &texts) != 0) return 2;
    const std::string* found = nullptr;
    for (const std::string& t : texts) {
        if (!IsDmarcRecord(t)) continue;
        if (found) return 1;
        found = &t;
    }
    if (!found) return 1;
    return ParseRecord(*found, record, why) ? 0 : 3;
}

Verdict EvaluateOne(const std::string& domain, const Input& input, const TxtLookup& lookup, const PublicSuffixList& psl,
                    int roll) {
    Verdict v;
    v.from_domain = domain;
    const std::string org = psl.OrganizationalDomain(domain);
    Record record;
    std::string why;
    bool at_org = false;
    int got = FetchRecord(lookup, "_dmarc." + domain, &record, &why);
    if (got == 1 && org != domain) {
        got = FetchRecord(lookup, "_dmarc." + org, &record, &why);
        at_org = true;
    }
    if (got != 0) record = Record{};  // relaxed alignment, for the aligned flags alone
    v.spf_aligned = input.spf_pass && Aligned(input.spf_domain, domain, record.strict_spf, psl);
    for (const std::string& d : input.dkim_pass_domains)
        v.dkim_aligned = v.dkim_aligned || Aligned(d, domain, record.strict_dkim, psl);
    if (got == 2) {
        v.result = kTempError;
        v.reason = "the policy lookup failed";
        return v;
    }
    if (got == 3) {
        v.result = kPermError;
        v.reason = "bad policy record: " + why;
        return v;
    }
    if (got == 1) {
        v.result = kNone;
        v.reason = "no policy record";
        return v;
    }
    v.requested = at_org && domain != org ? record.sp : record.p;
    if (v.spf_aligned || v.dkim_aligned) {
        v.result = kPass;
        return v;
    }
    v.result = kFail;
    v.policy = roll < record.pct ? v.requested : Milder(v.requested);
    v.reason = "neither SPF nor DKIM aligned with " + domain;
    return v;
}

}  // namespace

Verdict Evaluate(const Input& input, const TxtLookup& lookup, const PublicSuffixList& psl, int roll) {
    if (input.from_domains.empty()) {
        Verdict v;
        v.result = kPermError;
        v.reason = "no From domain";
        return v;
    }
    Verdict worst;
    bool first = true;
    for (const std::string& d : input.from_domains) {
        Verdict v = EvaluateOne(d, input, lookup, psl, roll);
        if (first || Severity(v) > Severity(worst)) worst = std::move(v);
        first = false;
    }
    return worst;
}

}  // namespace checks::dmarc
