#include "checks/Phishing.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "common/String.h"
#include "platform/HttpClient.h"

namespace checks {

namespace {

std::string Key(const char* prefix, size_t i, const char* suffix = "") {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s%zu%s", prefix, i, suffix);
    return buf;
}

// A count of a list as the file states it: a whole number of at least 0 (anything else is 0).
// The section's "count", held to the number of keys the section has: each item takes at least
// one, and a damaged or hostile count must not make the load walk millions of missing keys.
int Count(const store::CFileINI& ini, const char* section) {
    const int keys = static_cast<int>(ini.ToPairs(section).size());
    return std::clamp(ini.GetInt(section, "count", 0), 0, keys);
}

bool IsDecimal(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

CPhishingDB::CPhishingDB(std::string file_path) : path_(std::move(file_path)) {}

int32_t CPhishingDB::OptionLetters(std::string_view letters) {
    int32_t options = 0;
    for (char c : letters) {
        if (c == 'i') options |= common::kRegexCaseless;
        if (c == 'm') options |= common::kRegexMultiline;
        if (c == 's') options |= common::kRegexDotAll;
        if (c == 'x') options |= common::kRegexExtended;
    }
    return options;
}

std::string CPhishingDB::WithDomain(std::string_view pattern, std::string_view domain, bool escape) {
    if (domain.empty()) return std::string(pattern);
    std::string d;
    for (char c : domain) {
        if (c == '.' && escape) d += '\\';
        d += c;
    }
    std::string out;
    size_t pos = 0;
    for (size_t at = pattern.find("#D#"); at != std::string_view::npos; at = pattern.find("#D#", pos)) {
        out.append(pattern.substr(pos, at - pos));
        out += d;
        pos = at + 3;
    }
    out.append(pattern.substr(pos));
    return out;
}

bool CPhishingDB::MatchList(const std::vector<PhishPattern>& list, std::string_view text, std::string_view domain,
                            int32_t* capture, common::RegexMatch* match) {
    for (const PhishPattern& p : list) {
        common::RegexMatch m = common::RegexSearch(WithDomain(p.pattern, domain, p.escape == 1), p.options, text);
        if (!m.matched()) continue;
        if (capture) *capture = p.capture;
        if (match) *match = std::move(m);
        return true;
    }
    return false;
}

void CPhishingDB::ReadLocked() {
    domains_.clear();
    for (auto& l : lists_) l.clear();
    for (int i = 0, n = Count(ini_, "DOMAIN"); i < n; ++i) {
        std::string d = ini_.GetString("DOMAIN", Key("D", static_cast<size_t>(i)), "").str();
        if (!d.empty()) domains_.push_back(d);
    }
    for (int l = 0; l < 4; ++l) {
        const char* s = kListNames[l];
        for (int i = 0, n = Count(ini_, s); i < n; ++i) {
            size_t k = static_cast<size_t>(i);
            PhishPattern p;
            p.pattern = ini_.GetString(s, Key("R", k), "").str();
            p.capture = ini_.GetInt(s, Key("R", k, "c"), 0);
            p.escape = ini_.GetInt(s, Key("R", k, "n"), 0);
            p.options = OptionLetters(ini_.GetString(s, Key("R", k, "e"), "").View());
            lists_[l].push_back(std::move(p));
        }
    }
    url_ = ini_.GetString("SETTING", "URL", "").str();
    CompileLocked();
}

void CPhishingDB::CompileLocked() {
    compiled_.clear();
    for (const std::string& d : domains_) {
        DomainPatterns c;
        c.link = common::RegexHandle::Compile(WithDomain("#D#", d, true), common::kRegexCaseless);
        for (int l = 0; l < 4; ++l)
            for (const PhishPattern& p : lists_[l])
                c.lists[l].push_back(common::RegexHandle::Compile(WithDomain(p.pattern, d, p.escape == 1), p.options));
        compiled_.push_back(std::move(c));
    }
}

bool CPhishingDB::Match(const DomainPatterns& d, List list, std::string_view text, int32_t* capture,
                        common::RegexMatch* match) const {
    const std::vector<common::RegexHandle>& handles = d.lists[list];
    for (size_t i = 0; i < handles.size(); ++i) {
        if (match) {
            common::RegexMatch m = handles[i].Search(text);
            if (!m.matched()) continue;
            *match = std::move(m);
        } else if (!handles[i].Test(text)) {
            continue;
        }
        if (capture) *capture = lists_[list][i].capture;
        return true;
    }
    return false;
}

bool CPhishingDB::Load() {
    common::WriterLock lock(mu_);
    bool ok = ini_.Load(path_);
    if (!ok) ini_.LoadByString("");
    ReadLocked();
    return ok;
}

void CPhishingDB::LoadText(std::string_view text) {
    common::WriterLock lock(mu_);
    ini_.LoadByString(text);
    ReadLocked();
}

bool CPhishingDB::SaveDomainsLocked() {
    const size_t before = static_cast<size_t>(Count(ini_, "DOMAIN"));
    ini_.WriteInt("DOMAIN", "count", static_cast<int>(domains_.size()));
    for (size_t i = 0; i < domains_.size(); ++i) ini_.WriteString("DOMAIN", Key("D", i), domains_[i]);
    // Entries beyond the new count would be read back by nobody, but they would stay in the
    // file for ever: they go.
    for (size_t i = domains_.size(); i < before; ++i) ini_.DeleteKey("DOMAIN", Key("D", i));
    return ini_.Save(path_);
}

bool CPhishingDB::SaveDomains() {
    common::WriterLock lock(mu_);
    return SaveDomainsLocked();
}

int32_t CPhishingDB::AddDomain(std::string_view domain) {
    if (domain.empty()) return 0;
    common::WriterLock lock(mu_);
    if (std::find(domains_.begin(), domains_.end(), domain) != domains_.end()) return 0;
    domains_.emplace_back(domain);
    CompileLocked();
    SaveDomainsLocked();
    return 1;
}

bool CPhishingDB::UpdateDomain(std::string_view old_domain, std::string_view new_domain) {
    common::WriterLock lock(mu_);
    auto it = std::find(domains_.begin(), domains_.end(), old_domain);
    if (it != domains_.end() && !new_domain.empty()) *it = std::string(new_domain);
    CompileLocked();
    SaveDomainsLocked();
    return true;
}

bool CPhishingDB::DeleteDomain(std::string_view domain) {
    common::WriterLock lock(mu_);
    auto it = std::find(domains_.begin(), domains_.end(), domain);
    if (it != domains_.end()) domains_.erase(it);
    CompileLocked();
    SaveDomainsLocked();
    return true;
}

void CPhishingDB::View(script::CS_Array* out) {
    if (!out) return;
    out->Reset();
    common::ReaderLock lock(mu_);
    for (size_t i = 0; i < domains_.size(); ++i) out->Set(Key("D", i), domains_[i]);
}

std::string CPhishingDB::Date() {
    return ini_.GetString("SETTING", "date", "").str();
}

std::string CPhishingDB::Url() {
    common::ReaderLock lock(mu_);
    return url_;
}

std::vector<std::string> CPhishingDB::Domains() {
    common::ReaderLock lock(mu_);
    return domains_;
}

std::vector<PhishPattern> CPhishingDB::Patterns(List list) {
    common::ReaderLock lock(mu_);
    return lists_[list];
}

void CPhishingDB::SetAdapter(const std::string& address) {
    common::WriterLock lock(mu_);
    adapter_ = address;
}

void CPhishingDB::SetSenderCheck(bool on) {
    common::WriterLock lock(mu_);
    sender_check_ = on;
}

bool CPhishingDB::IsCompleteList(const store::CFileINI& ini, std::string* why) {
    auto fail = [why](const std::string& w) {
        if (why) *why = w;
        return false;
    };
    std::string firm = ini.GetString("SETTING", "firm", "").str();
    if (!IsDecimal(firm) || std::atol(firm.c_str()) <= 0) return fail("no firm above 0");
    if (!ini.KeyExists("DOMAIN", "count") || !IsDecimal(ini.GetString("DOMAIN", "count", "").View()))
        return fail("no DOMAIN section");
    for (int i = 0, n = Count(ini, "DOMAIN"); i < n; ++i)
        if (!ini.KeyExists("DOMAIN", Key("D", static_cast<size_t>(i))))
            return fail("DOMAIN promises " + std::to_string(n) + " domains");
    for (const char* s : kListNames) {
        if (!ini.KeyExists(s, "count") || !IsDecimal(ini.GetString(s, "count", "").View()))
            return fail(std::string("no ") + s + " section");
        for (int i = 0, n = Count(ini, s); i < n; ++i) {
            size_t k = static_cast<size_t>(i);
            if (!ini.KeyExists(s, Key("R", k)) || !ini.KeyExists(s, Key("R", k, "c")) ||
                !ini.KeyExists(s, Key("R", k, "n")) || !ini.KeyExists(s, Key("R", k, "e")))
                return fail(std::string(s) + " promises " + std::to_string(n) + " patterns");
        }
    }
    return true;
}

int32_t CPhishingDB::UpdateFromService(std::string* why) {
    auto fail = [why](const std::string& w) {
        if (why) *why = w;
        return 0;
    };
    std::string url, adapter;
    {
        common::ReaderLock lock(mu_);
        url = url_;
        adapter = adapter_;
    }
    if (url.empty()) return fail("no service URL");
    // The download runs without the lock: checks go on meanwhile.
    platform::CMorvaneHTTPClient http;
    http.agent = kAgent;
    http.timeout_ms = kUpdateTimeoutMs;
    http.bind_address = adapter;
    if (!http.SendRequest(0, url.c_str(), nullptr)) return fail("no connection to " + url);
    if (http.header.empty()) return fail("no answer before the time-out");
    if (platform::CMorvaneHTTPClient::StatusCode(http.header) != 200)
        return fail("the service answered: " + http.header.substr(0, http.header.find('\r')));
    if (!http.complete) return fail("the answer was cut short");
    store::CFileINI answer;
    answer.LoadByString(http.body);
    std::string incomplete;
    if (!IsCompleteList(answer, &incomplete)) return fail("not a list: " + incomplete);
    const long firm = std::atol(answer.GetString("SETTING", "firm", "").str().c_str());

    common::WriterLock lock(mu_);
    if (firm <= ini_.GetInt("SETTING", "firm", 0)) return fail("not newer than the local list");
    for (int i = 0, n = Count(answer, "DELETE"); i < n; ++i) {
        std::string d = common::AsciiLowered(answer.GetString("DELETE", Key("D", static_cast<size_t>(i)), "").View());
        if (d.empty()) continue;
        auto it = std::find_if(domains_.begin(), domains_.end(),
                               [&d](const std::string& x) { return common::AsciiLowered(x) == d; });
        if (it != domains_.end()) domains_.erase(it);
    }
    for (int i = 0, n = Count(answer, "DOMAIN"); i < n; ++i) {
        std::string d = common::AsciiLowered(answer.GetString("DOMAIN", Key("D", static_cast<size_t>(i)), "").View());
        if (d.empty()) continue;
        if (std::none_of(domains_.begin(), domains_.end(),
                         [&d](const std::string& x) { return common::AsciiLowered(x) == d; }))
            domains_.push_back(d);
    }
    for (const char* s : kListNames) {
        const size_t before = static_cast<size_t>(Count(ini_, s)), n = static_cast<size_t>(Count(answer, s));
        ini_.WriteInt(s, "count", static_cast<int>(n));
        for (size_t i = 0; i < std::max(n, before); ++i)
            for (const char* suffix : {"", "c", "n", "e"}) {
                std::string k = Key("R", i, suffix);
                if (i < n)
                    ini_.WriteString(s, k, answer.GetString(s, k, "").View());
                else
                    ini_.DeleteKey(s, k);
            }
    }
    ini_.WriteString("SETTING", "firm", std::to_string(firm));
    ini_.WriteString("SETTING", "date", answer.GetString("SETTING", "date", "").View());
    const bool saved = SaveDomainsLocked();
    // What is in use is what the file holds: on a failed save, the previous list again.
    if (!ini_.Load(path_)) ini_.LoadByString("");
    ReadLocked();
    if (!saved) return fail("the list could not be saved; the previous one is kept");
    return 1;
}

int32_t CPhishingDB::CheckLinks(std::string_view text, const DomainPatterns& d) {
    const std::string lower = common::AsciiLowered(text);
    size_t pos = 0;
    // Where each scheme occurs next; searched again only once the scan has passed it, so a text
    // with only one of them is not searched to its end for the other at every link.
    size_t http = lower.find("http:"), https = lower.find("https:");
    for (;;) {
        if (http != std::string::npos && http < pos) http = lower.find("http:", pos);
        if (https != std::string::npos && https < pos) https = lower.find("https:", pos);
        size_t start = std::min(http, https);
        if (start == std::string::npos) return 0;
        size_t end = text.find(' ', start);
        if (end == std::string_view::npos) return 0;
        std::string link;
        for (char c : text.substr(start, end - start))
            if (c != '\r' && c != '\n') link += c;
        if (!d.link.Test(link)) return 1;  // names the domain, leads elsewhere
        if (Match(d, kFakeTxt, link, nullptr, nullptr)) return 1;
        pos = end;
    }
}

int32_t CPhishingDB::Check(const mail::CParseMail& mail, std::string* fake_domain, int32_t sender_flag,
                           std::string_view sender) {
    std::string found;
    auto verdict = [&](int32_t v) {
        // A message judged not phishing names no imitated domain.
        if (fake_domain) *fake_domain = v ? found : std::string();
        return v;
    };
    const std::string& raw = mail.Raw();
    if (raw.empty()) return verdict(0);
    common::ReaderLock lock(mu_);
    if (domains_.empty() || lists_[kVerifyTxt].empty() || lists_[kVerifyHtml].empty()) return verdict(0);
    for (size_t i = 0; i < domains_.size(); ++i) {
        const std::string& d = domains_[i];
        const DomainPatterns& p = compiled_[i];
        if (!Match(p, kVerifyTxt, raw, nullptr, nullptr)) continue;
        found = d;
        int32_t capture = 0;
        common::RegexMatch m;
        if (Match(p, kVerifyHtml, raw, &capture, &m)) {
            if (capture >= 1 && capture < m.groups && capture <= common::RegexMatch::kMaxGroups) {
                const std::string& link = m.text[static_cast<size_t>(capture)];
                if (!link.empty() && Match(p, kFakeHtml, link, nullptr, nullptr)) return verdict(1);
            }
        } else if (Match(p, kFakeTxt, raw, nullptr, nullptr)) {
            return verdict(1);
        }
        if (!sender_check_) continue;
        if (sender_flag == 0) {
            common::RegexMatch s = common::RegexSearch("^.+?\\@(.+?)$", 0, common::AsciiLowered(sender));
            if (s.matched() && s.groups == 2 && s.text[1] == found) return verdict(0);  // its own, SPF passed
        }
        return verdict(CheckLinks(mail.Body().empty() ? std::string_view(raw) : std::string_view(mail.Body()), p));
    }
    return verdict(0);
}

}  // namespace checks
