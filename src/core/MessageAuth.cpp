#include "core/MessageAuth.h"

#include <ctime>
#include <random>

#include "checks/Dns.h"
#include "common/String.h"
#include "core/MorvaneCore.h"

namespace core {

namespace {

// Text that may stand in a comment of the field: no parentheses, backslashes or line breaks.
std::string CommentText(std::string_view text) {
    std::string out;
    for (char c : text) out += (c == '(' || c == ')' || c == '\\' || c == '\r' || c == '\n') ? ' ' : c;
    return out;
}

// A property value: a name or an address as it stands, anything else as a quoted string.
std::string PropertyValue(std::string_view value) {
    bool plain = !value.empty();
    for (char c : value)
        plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          std::string_view(".-_+@").find(c) != std::string_view::npos);
    if (plain) return std::string(value);
    std::string out = "\"";
    for (char c : value) {
        if (c == '\r' || c == '\n') continue;
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string SpfName(int spf) {
    return common::AsciiLowered(checks::SpfResultString(spf));
}

int Roll() {
    thread_local std::mt19937 gen{std::random_device{}()};
    return static_cast<int>(gen() % 100);
}

}  // namespace

MessageAuth Authenticate(int spf, const AuthInput& in, const checks::dkim::KeyLookup& keys,
                         const checks::dmarc::TxtLookup& txt, const checks::dmarc::PublicSuffixList& psl, int roll) {
    MessageAuth auth;
    auth.spf = spf;
    auth.spf_from_helo = in.mail_from.empty();
    auth.spf_identity = auth.spf_from_helo ? in.helo : in.mail_from;
    auth.dkim = checks::dkim::Verify(in.message, keys, std::time(nullptr), in.held_all);

    checks::dmarc::Input d;
    std::string why;
    if (!checks::dmarc::FromDomains(in.message, &d.from_domains, &why)) {
        auth.dmarc.result = checks::dmarc::kPermError;
        auth.dmarc.reason = why;
        return auth;
    }
    d.spf_pass = spf == checks::kSpfPass;
    const size_t at = auth.spf_identity.rfind('@');
    d.spf_domain = at == std::string::npos ? auth.spf_identity : auth.spf_identity.substr(at + 1);
    for (const checks::dkim::Verdict& v : auth.dkim)
        if (v.result == checks::dkim::kDkimPass) d.dkim_pass_domains.push_back(v.domain);
    auth.dmarc = checks::dmarc::Evaluate(d, txt, psl, roll);
    return auth;
}

MessageAuth Authenticate(CMorvaneCore& core, const AuthInput& in) {
    checks::CDns* dns = core.Dns();
    // Texts of a name: 0 with them (none when the name does not exist), 2 when no usable reply.
    auto texts = [dns](const std::string& name, std::vector<std::string>* out) {
        std::vector<checks::DnsAnswer> answers;
        int rcode = 0;
        if (!dns || !dns->Query(name, checks::kTypeTXT, &answers, -1, -1, false, &rcode)) return 2;
        if (rcode != checks::kRcodeNoError && rcode != checks::kRcodeNameError) return 2;
        for (const checks::DnsAnswer& a : answers)
            if (a.type == checks::kTypeTXT && rcode == checks::kRcodeNoError) out->push_back(a.data);
        return 0;
    };
    const checks::dkim::KeyLookup keys = [&texts](const std::string& name, std::string* txt) {
        std::vector<std::string> found;
        if (texts(name, &found) != 0) return 2;
        if (found.empty()) return 1;
        *txt = found.front();
        return 0;
    };
    // Without a client (a message checked by hand) there is no SPF to ask.
    const int spf = in.client_ip.empty()
                        ? checks::kSpfNone
                        : core.Spf()->Query(in.client_ip.c_str(), in.mail_from.c_str(), in.helo.c_str());
    return Authenticate(spf, in, keys, texts, checks::dmarc::PublicSuffixList::System(), Roll());
}

std::string AuthenticationResultsValue(std::string_view authserv_id, const MessageAuth& auth) {
    std::string out(authserv_id);
    out += ";\r\n\tspf=" + SpfName(auth.spf) + (auth.spf_from_helo ? " smtp.helo=" : " smtp.mailfrom=") +
           PropertyValue(auth.spf_identity.empty() ? "unknown" : auth.spf_identity);
    if (auth.dkim.empty()) out += ";\r\n\tdkim=none";
    for (const checks::dkim::Verdict& v : auth.dkim) {
        out += ";\r\n\tdkim=" + std::string(checks::dkim::ResultName(v.result));
        if (v.result != checks::dkim::kDkimPass && !v.reason.empty()) out += " (" + CommentText(v.reason) + ")";
        if (!v.domain.empty()) out += " header.d=" + PropertyValue(v.domain);
        if (!v.selector.empty()) out += " header.s=" + PropertyValue(v.selector);
    }
    const checks::dmarc::Verdict& d = auth.dmarc;
    out += ";\r\n\tdmarc=" + std::string(checks::dmarc::ResultName(d.result));
    if (d.result == checks::dmarc::kFail)
        out += " (p=" + std::string(checks::dmarc::PolicyName(d.requested)) +
               " dis=" + checks::dmarc::PolicyName(d.policy) + ")";
    else if (d.result != checks::dmarc::kPass && !d.reason.empty())
        out += " (" + CommentText(d.reason) + ")";
    if (!d.from_domain.empty()) out += " header.from=" + PropertyValue(d.from_domain);
    return out;
}

std::string DkimSummary(const std::vector<checks::dkim::Verdict>& dkim) {
    std::string out;
    for (const checks::dkim::Verdict& v : dkim) {
        if (!out.empty()) out += "; ";
        out += std::string(checks::dkim::ResultName(v.result)) + " " + v.domain + " " + v.selector;
        if (v.result != checks::dkim::kDkimPass) out += " (" + v.reason + ")";
    }
    return out;
}

std::string DmarcSummary(const checks::dmarc::Verdict& v) {
    const char* aligned = v.dkim_aligned ? (v.spf_aligned ? "dkim+spf" : "dkim") : v.spf_aligned ? "spf" : "none";
    std::string out = std::string(checks::dmarc::ResultName(v.result)) + " " + checks::dmarc::PolicyName(v.policy) +
                      " " + (v.from_domain.empty() ? "-" : v.from_domain) + " " + aligned;
    if (v.result != checks::dmarc::kPass && !v.reason.empty()) out += " (" + v.reason + ")";
    return out;
}

}  // namespace core
