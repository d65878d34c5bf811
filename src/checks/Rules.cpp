#include "checks/Rules.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <unordered_map>

#include "checks/MessageTests.h"
#include "common/Coding.h"
#include "platform/KFile.h"

namespace checks {

namespace {

constexpr const char* kNoMatch = "NO MACTH";
constexpr const char* kMatch = "MACTH";
constexpr size_t kMaxRuleName = 255;

using common::GetLe32;
using common::PutLe32;

bool IsTextType(const std::string& type) {
    return type == "text/plain" || type == "text/html";
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

}  // namespace

std::string RuleTypeName(int32_t type) {
    switch (type) {
        case kRuleSubject: return "subject";
        case kRuleBody: return "body";
        case kRuleRaw: return "raw";
        case kRuleTest: return "test";
        default: return std::to_string(type);
    }
}

std::string RuleOptionNames(int32_t options) {
    static const std::pair<int32_t, const char*> kNames[] = {{common::kRegexCaseless, "caseless"},
                                                             {common::kRegexMultiline, "multiline"},
                                                             {common::kRegexDotAll, "dotall"},
                                                             {common::kRegexExtended, "extended"}};
    std::string out;
    for (const auto& [bit, name] : kNames)
        if (options & bit) out += (out.empty() ? "" : ",") + std::string(name);
    if (int32_t rest = options & ~15) out += (out.empty() ? "" : ",") + std::to_string(rest);
    return out.empty() ? "none" : out;
}

bool ParseRulesSource(std::string_view text, std::vector<RuleSpec>* rules, std::string* error) {
    rules->clear();
    std::set<std::string> names;
    RuleSpec cur;
    std::set<std::string> seen;  // keys of the current entry
    bool open = false;
    auto fail = [error](int line, const std::string& why) {
        *error = std::to_string(line) + ": " + why;
        return false;
    };
    auto finish = [&]() -> bool {
        if (!open) return true;
        // A test rule names its test in its pattern, or is named after it.
        if (cur.type == kRuleTest && !seen.count("pattern")) {
            cur.pattern = cur.name;
            seen.insert("pattern");
        }
        for (const char* key : {"type", "score", "pattern"})
            if (!seen.count(key)) return fail(cur.line, "rule " + cur.name + " has no " + key);
        if (cur.type == kRuleTest) {
            if (MessageTestIndex(cur.pattern) < 0)
                return fail(cur.line, "rule " + cur.name + ": there is no test " + cur.pattern +
                                          " (morvane-rules tests lists them)");
            rules->push_back(cur);
            open = false;
            return true;
        }
        std::string why = common::RegexCheck(cur.pattern, cur.options);
        if (!why.empty()) return fail(cur.line, "rule " + cur.name + ": the pattern does not compile: " + why);
        rules->push_back(cur);
        open = false;
        return true;
    };
    int line_no = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++line_no;
        std::string_view body = TrimBlanks(line);
        if (body.empty() || body.front() == '#') {
            if (end == text.size()) break;
            continue;
        }
        if (body.find('\0') != std::string_view::npos) return fail(line_no, "a NUL byte");
        size_t gap = body.find_first_of(" \t");
        std::string key(body.substr(0, gap));
        std::string_view value = gap == std::string_view::npos ? std::string_view() : TrimBlanks(body.substr(gap));
        if (key == "rule") {
            if (!finish()) return false;
            if (value.empty() || value.find_first_of(" \t") != std::string_view::npos)
                return fail(line_no, "a rule name is one word");
            if (value.size() > kMaxRuleName) return fail(line_no, "a rule name is at most 255 bytes");
            if (!names.insert(std::string(value)).second) return fail(line_no, "rule " + std::string(value) + " again");
            cur = RuleSpec{};
            cur.name = std::string(value);
            cur.line = line_no;
            seen.clear();
            open = true;
        } else if (!open) {
            return fail(line_no, "\"" + key + "\" before the first \"rule NAME\" line");
        } else if (key != "type" && key != "options" && key != "score" && key != "pattern" && key != "comment") {
            return fail(line_no, "unknown key \"" + key + "\" (type, options, score, pattern, comment)");
        } else if (key == "comment") {
            // A long comment goes on over several comment lines.
            cur.comment += (cur.comment.empty() ? "" : " ") + std::string(value);
        } else if (!seen.insert(key).second) {
            return fail(line_no, "\"" + key + "\" twice in rule " + cur.name);
        } else if (key == "type") {
            if (value == "subject")
                cur.type = kRuleSubject;
            else if (value == "body")
                cur.type = kRuleBody;
            else if (value == "raw")
                cur.type = kRuleRaw;
            else if (value == "test")
                cur.type = kRuleTest;
            else
                return fail(line_no, "type is subject, body, raw or test");
        } else if (key == "options") {
            cur.options = 0;
            if (value != "none") {
                std::string_view rest = value;
                while (!rest.empty()) {
                    size_t comma = rest.find(',');
                    std::string_view word = TrimBlanks(rest.substr(0, comma));
                    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
                    if (word == "caseless")
                        cur.options |= common::kRegexCaseless;
                    else if (word == "multiline")
                        cur.options |= common::kRegexMultiline;
                    else if (word == "dotall")
                        cur.options |= common::kRegexDotAll;
                    else if (word == "extended")
                        cur.options |= common::kRegexExtended;
                    else
                        return fail(line_no, "options are none or caseless, multiline, dotall, extended");
                }
            }
        } else if (key == "score") {
            std::string v(value);
            char* stop = nullptr;
            float f = std::strtof(v.c_str(), &stop);
            if (v.empty() || *stop != '\0' || !std::isfinite(f)) return fail(line_no, "score is a number");
            cur.score = f;
        } else if (key == "pattern") {
            if (value.empty()) return fail(line_no, "an empty pattern");
            cur.pattern = std::string(value);
        }
        if (end == text.size()) break;
    }
    return finish();
}

std::string CRules::RecordData(float score, int32_t type, int32_t options, std::string_view pattern) {
    std::string out;
    out.reserve(kHeadBytes + pattern.size());
    uint32_t bits = 0;
    std::memcpy(&bits, &score, sizeof bits);
    PutLe32(out, bits);
    PutLe32(out, static_cast<uint32_t>(type));
    PutLe32(out, static_cast<uint32_t>(options));
    out.append(pattern);
    return out;
}

bool CRules::ReadRecord(std::string_view data, float* score, int32_t* type, int32_t* options, std::string* pattern) {
    if (data.size() < kHeadBytes) return false;
    uint32_t bits = GetLe32(data, 0);
    std::memcpy(score, &bits, sizeof bits);
    *type = static_cast<int32_t>(GetLe32(data, 4));
    *options = static_cast<int32_t>(GetLe32(data, 8));
    std::string_view p = data.substr(kHeadBytes);
    *pattern = std::string(p.substr(0, p.find('\0')));  // read as C text: up to a zero byte
    return true;
}

std::string CRules::RuleText(const mail::CParseMail& mail, int32_t type) {
    switch (type) {
        case kRuleSubject: return mail.Subject();
        case kRuleRaw: return mail.Raw();
        case kRuleBody: {
            if (IsTextType(mail.ContentType())) return mail.Body();
            std::string out;
            for (const mail::MailPart& p : mail.Parts())
                if (IsTextType(p.content_type)) out += p.body;
            return out;
        }
        default: return std::string();
    }
}

bool CRules::Open(const char* path) {
    if (!path) return false;
    common::WriterLock lock(mu_);
    stale_ = true;
    bool ok = table_.Open(path);
    RememberStampLocked();
    return ok;
}

bool CRules::Load() {
    common::WriterLock lock(mu_);
    stale_ = true;
    bool ok = table_.Load();
    RememberStampLocked();
    return ok;
}

bool CRules::Save() {
    common::WriterLock lock(mu_);
    bool ok = table_.Save();
    RememberStampLocked();
    return ok;
}

void CRules::Reset() {
    common::WriterLock lock(mu_);
    stale_ = true;
    table_.Reset();
}

std::string CRules::FileStamp() const {
    common::ReaderLock lock(mu_);
    return stamp_;
}

void CRules::RememberStampLocked() {
    stamp_ = platform::FileStamp(table_.Path());
}

std::string CRules::RuleError(const char* regex, int32_t type, int32_t options) {
    if (!regex || !*regex) return "the pattern is empty";
    if (type == kRuleTest)
        return MessageTestIndex(regex) >= 0 ? std::string() : "there is no test " + std::string(regex);
    if (type != kRuleSubject && type != kRuleBody && type != kRuleRaw)
        return "the type " + std::to_string(type) + " is none of 1 (subject), 2 (body), 3 (raw), 4 (test)";
    if (options & ~15) return "the options " + std::to_string(options) + " hold unknown bits (1, 2, 4, 8 are known)";
    std::string why = common::RegexCheck(regex, options);
    return why.empty() ? why : "the pattern does not compile: " + why;
}

int32_t CRules::AddRule(const char* name, const char* regex, int32_t type, float score, int32_t options) {
    if (!name || !*name || !regex || !*regex) return 0;
    common::WriterLock lock(mu_);
    if (table_.Find(name) >= 0) return 0;
    if (table_.Insert(name, RecordData(score, type, options, regex)) != 1) return 0;
    stale_ = true;
    return 1;
}

bool CRules::DeleteRule(const char* name) {
    if (!name) return true;
    common::WriterLock lock(mu_);
    if (table_.Delete(name) == 1) stale_ = true;
    return true;
}

void CRules::ViewRules(script::CS_Array* out) {
    if (!out) return;
    for (const RuleSpec& r : Rules()) {
        char head[64];
        std::snprintf(head, sizeof head, "%.3f\x02%d\x02%d\x02", static_cast<double>(r.score), r.type, r.options);
        out->Set(r.name, head + r.pattern);
    }
}

std::vector<RuleSpec> CRules::Rules() {
    std::vector<RuleSpec> out;
    common::ReaderLock lock(mu_);
    table_.ForEach([&out](const store::DbRecord& rec) {
        RuleSpec r;
        if (rec.deleted || !ReadRecord(rec.data, &r.score, &r.type, &r.options, &r.pattern)) return;
        r.name = rec.key;
        out.push_back(std::move(r));
    });
    return out;
}

std::string CRules::RuleTest(mail::CS_ParseMail* mail, const char* regex, int32_t type, int32_t options,
                             script::CS_Array* captures) {
    if (!mail) return std::string();
    if (type == kRuleTest) {
        const int test = MessageTestIndex(regex ? regex : "");
        return test >= 0 && RunMessageTests(mail->Raw()).test(static_cast<size_t>(test)) ? kMatch : kNoMatch;
    }
    common::RegexMatch m = common::RegexSearch(regex ? regex : "", options, RuleText(*mail, type));
    if (!m.matched()) return kNoMatch;
    if (captures)
        for (int i = 1; i < m.groups && i <= common::RegexMatch::kMaxGroups; ++i)
            captures->Set("$" + std::to_string(i), m.text[static_cast<size_t>(i)]);
    return kMatch;
}

float CRules::RegularExpressionCheck(mail::CS_ParseMail* mail, CRulesResult* result) {
    if (!mail || !result) return 0.0f;
    return Check(*mail, result);
}

float CRules::Check(const mail::CParseMail& mail, CRulesResult* result) {
    if (!result) return 0.0f;
    result->Clear();
    for (;;) {
        {
            common::ReaderLock lock(mu_);
            if (!stale_) return RunLocked(mail, result);
        }
        common::WriterLock lock(mu_);
        if (stale_) RebuildLocked();
    }
}

void CRules::RebuildLocked() {
    std::unordered_map<std::string, Compiled*> before;
    for (Compiled& c : compiled_) before[c.name] = &c;
    std::vector<Compiled> fresh;
    table_.ForEach([&](const store::DbRecord& rec) {
        Compiled c;
        int32_t options = 0;
        // A record shorter than its head (only a hand-made file holds one) is no rule.
        if (rec.deleted || !ReadRecord(rec.data, &c.score, &c.type, &options, &c.pattern)) return;
        c.name = rec.key;
        c.data = rec.data;
        auto it = before.find(c.name);
        if (c.type == kRuleTest)
            c.test = MessageTestIndex(c.pattern);  // an unknown test never fires
        else if (it != before.end() && it->second->data == c.data)
            c.regex = it->second->regex;
        else
            c.regex = common::RegexHandle::Compile(c.pattern, options);
        fresh.push_back(std::move(c));
    });
    compiled_ = std::move(fresh);
    stale_ = false;
}

float CRules::RunLocked(const mail::CParseMail& mail, CRulesResult* result) {
    // Each type's text is made once per check, not once per rule.
    std::string texts[3];
    bool made[3] = {false, false, false};
    float total = 0.0f;
    // The structural tests run once, and only when a rule asks for one.
    MessageTestSet tests;
    bool tested = false;
    for (const Compiled& c : compiled_) {
        if (c.type == kRuleTest) {
            if (!tested) {
                tests = RunMessageTests(mail.Raw());
                tested = true;
            }
            if (c.test < 0 || !tests.test(static_cast<size_t>(c.test))) continue;
            total += c.score;
            result->entries.push_back({c.name, c.score, c.pattern});
            continue;
        }
        // Other types look at an empty text, which a pattern such as "^" still matches.
        static const std::string kEmpty;
        const std::string* text = &kEmpty;
        if (c.type >= kRuleSubject && c.type <= kRuleRaw) {
            size_t i = static_cast<size_t>(c.type - 1);
            if (!made[i]) {
                texts[i] = RuleText(mail, c.type);
                made[i] = true;
            }
            text = &texts[i];
        }
        if (!c.regex.Test(*text)) continue;
        total += c.score;
        result->entries.push_back({c.name, c.score, c.pattern});
    }
    return total;
}

}  // namespace checks
