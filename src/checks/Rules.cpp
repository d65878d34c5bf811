#include "checks/Rules.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <set>
#include <unordered_map>

#include "checks/MessageTests.h"
#include "checks/MessageTokens.h"
#include "checks/RuleLiterals.h"
#include "common/Coding.h"
#include "common/String.h"
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
        case kRuleHeader: return "header";
        case kRuleText: return "text";
        case kRuleUri: return "uri";
        case kRuleMeta: return "meta";
        default: return std::to_string(type);
    }
}

std::string RuleOptionNames(int32_t options) {
    static const std::pair<int32_t, const char*> kNames[] = {{common::kRegexCaseless, "caseless"},
                                                             {common::kRegexMultiline, "multiline"},
                                                             {common::kRegexDotAll, "dotall"},
                                                             {common::kRegexExtended, "extended"},
                                                             {kRuleDisabled, "disabled"}};
    std::string out;
    for (const auto& [bit, name] : kNames)
        if (options & bit) out += (out.empty() ? "" : ",") + std::string(name);
    if (int32_t rest = options & ~31) out += (out.empty() ? "" : ",") + std::to_string(rest);
    return out.empty() ? "none" : out;
}

namespace {

bool IsNameByte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

// Recursive descent over: expr = term {"||" term}; term = factor {"&&" factor};
// factor = "!" factor | "(" expr ")" | NAME.
class MetaParser {
public:
    MetaParser(std::string_view text, MetaExpr* out) : text_(text), out_(out) {}
    bool Run(std::string* error) {
        if (!Expr(0) || (Skip(), pos_ != text_.size())) {
            *error = why_.empty() ? "a meta expression is rule names joined by &&, || and !, with ( )" : why_;
            return false;
        }
        return true;
    }

private:
    static constexpr int kMaxDepth = 16;
    static constexpr size_t kMaxNames = 32;

    void Skip() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
    }
    bool Eat(std::string_view token) {
        Skip();
        if (text_.substr(pos_, token.size()) != token) return false;
        pos_ += token.size();
        return true;
    }
    bool Expr(int depth) {
        if (!Term(depth)) return false;
        while (Eat("||")) {
            if (!Term(depth)) return false;
            out_->steps.push_back({MetaExpr::kOr, 0});
        }
        return true;
    }
    bool Term(int depth) {
        if (!Factor(depth)) return false;
        while (Eat("&&")) {
            if (!Factor(depth)) return false;
            out_->steps.push_back({MetaExpr::kAnd, 0});
        }
        return true;
    }
    bool Factor(int depth) {
        if (depth > kMaxDepth) {
            why_ = "a meta expression nests at most 16 deep";
            return false;
        }
        if (Eat("!")) {
            if (!Factor(depth + 1)) return false;
            out_->steps.push_back({MetaExpr::kNot, 0});
            return true;
        }
        if (Eat("(")) return Expr(depth + 1) && Eat(")");
        Skip();
        const size_t start = pos_;
        while (pos_ < text_.size() && IsNameByte(text_[pos_])) ++pos_;
        if (pos_ == start) return false;
        if (out_->names.size() >= kMaxNames) {
            why_ = "a meta expression names at most 32 rules";
            return false;
        }
        out_->steps.push_back({MetaExpr::kName, static_cast<uint32_t>(out_->names.size())});
        out_->names.emplace_back(text_.substr(start, pos_ - start));
        return true;
    }

    std::string_view text_;
    MetaExpr* out_;
    size_t pos_ = 0;
    std::string why_;
};

// A header rule's pattern "Field:regex" as its field and its regex; nothing without a colon.
std::optional<std::pair<std::string_view, std::string_view>> SplitHeaderPattern(std::string_view pattern) {
    const size_t colon = pattern.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    return std::pair{pattern.substr(0, colon), pattern.substr(colon + 1)};
}

// Why a pattern of this type cannot be used, or "".
std::string PatternError(int32_t type, const std::string& pattern, int32_t options) {
    switch (type) {
        case kRuleTest:
            return MessageTestIndex(pattern) >= 0 ? std::string()
                                                  : "there is no test " + pattern + " (morvane-rules tests lists them)";
        case kRuleMeta: {
            MetaExpr e;
            std::string why;
            return MetaExpr::Parse(pattern, &e, &why) ? std::string() : why;
        }
        case kRuleHeader: {
            const auto split = SplitHeaderPattern(pattern);
            if (!split || split->first.empty() ||
                !std::all_of(split->first.begin(), split->first.end(), [](char c) { return c > ' ' && c < 127; }))
                return "a header rule names its field: type header FIELD";
            const std::string why = common::RegexCheck(std::string(split->second), options);
            return why.empty() ? why : "the pattern does not compile: " + why;
        }
        case kRuleSubject:
        case kRuleBody:
        case kRuleRaw:
        case kRuleText:
        case kRuleUri: {
            const std::string why = common::RegexCheck(pattern, options);
            return why.empty() ? why : "the pattern does not compile: " + why;
        }
        default:
            return "the type " + std::to_string(type) +
                   " is none of 1 (subject), 2 (body), 3 (raw), 4 (test), 5 (header), 6 (text), 7 (uri), 8 (meta)";
    }
}

}  // namespace

bool MetaExpr::Parse(std::string_view text, MetaExpr* out, std::string* error) {
    *out = MetaExpr{};
    return MetaParser(text, out).Run(error);
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
    std::string field;      // type header: the field it looks at
    bool disabled = false;  // parsed and checked, but not compiled
    auto finish = [&]() -> bool {
        if (!open) return true;
        open = false;
        // A test rule names its test in its pattern, or is named after it.
        if (cur.type == kRuleTest && !seen.count("pattern")) {
            cur.pattern = cur.name;
            seen.insert("pattern");
        }
        for (const char* key : {"type", "score", "pattern"})
            if (!seen.count(key)) return fail(cur.line, "rule " + cur.name + " has no " + key);
        if (cur.type == kRuleHeader) cur.pattern = field + ":" + cur.pattern;
        const std::string why = PatternError(cur.type, cur.pattern, cur.options);
        if (!why.empty()) return fail(cur.line, "rule " + cur.name + ": " + why);
        if (!disabled) rules->push_back(cur);
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
            field.clear();
            disabled = false;
            cur.name = std::string(value);
            cur.line = line_no;
            seen.clear();
            open = true;
        } else if (!open) {
            return fail(line_no, "\"" + key + "\" before the first \"rule NAME\" line");
        } else if (key != "type" && key != "options" && key != "score" && key != "pattern" && key != "comment" &&
                   key != "disabled") {
            return fail(line_no, "unknown key \"" + key + "\" (type, options, score, pattern, comment, disabled)");
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
            else if (value == "text")
                cur.type = kRuleText;
            else if (value == "uri")
                cur.type = kRuleUri;
            else if (value == "meta")
                cur.type = kRuleMeta;
            else if (value == "header" || value.substr(0, 7) == "header " || value.substr(0, 7) == "header\t") {
                cur.type = kRuleHeader;
                field = value.size() > 7 ? std::string(TrimBlanks(value.substr(7))) : std::string();
                if (field.empty() || field.find_first_of(" \t:") != std::string::npos)
                    return fail(line_no, "type header names one field: type header FIELD");
            } else
                return fail(line_no, "type is subject, body, raw, test, header FIELD, text, uri or meta");
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
        } else if (key == "disabled") {
            if (value != "yes" && value != "no") return fail(line_no, "disabled is yes or no");
            disabled = value == "yes";
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
    if (!finish()) return false;
    // A meta rule may name any rule of the source, before or after it, disabled ones included.
    for (const RuleSpec& r : *rules) {
        if (r.type != kRuleMeta) continue;
        MetaExpr e;
        std::string why;
        MetaExpr::Parse(r.pattern, &e, &why);
        for (const std::string& n : e.names)
            if (!names.count(n)) return fail(r.line, "rule " + r.name + ": there is no rule " + n);
    }
    return true;
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
            // A message without a Content-Type is text/plain (RFC 2045, 5.2).
            if (mail.ContentType().empty() || IsTextType(mail.ContentType())) return mail.Body();
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
    if (options & ~31)
        return "the options " + std::to_string(options) + " hold unknown bits (1, 2, 4, 8 and 16 are known)";
    return PatternError(type, regex, options & ~kRuleDisabled);
}

int32_t CRules::AddRule(const char* name, const char* regex, int32_t type, float score, int32_t options) {
    if (!name || !*name || !regex || !*regex) return 0;
    common::WriterLock lock(mu_);
    if (table_.Find(name) >= 0) return 0;
    if (table_.Insert(name, RecordData(score, type, options, regex)) != 1) return 0;
    stale_ = true;
    return 1;
}

template <typename F>
bool CRules::EditRule(const char* name, F&& edit) {
    if (!name || !*name) return false;
    common::WriterLock lock(mu_);
    std::string data;
    float score = 0;
    int32_t type = 0, options = 0;
    std::string pattern;
    if (!table_.GetData(name, &data) || !ReadRecord(data, &score, &type, &options, &pattern)) return false;
    edit(score, type, options, pattern);
    if (table_.Update(name, RecordData(score, type, options, pattern)) < 0) return false;
    stale_ = true;
    return true;
}

int32_t CRules::UpdateRule(const char* name, const char* regex, int32_t type, float score, int32_t options) {
    if (!regex || !*regex) return 0;
    return EditRule(name, [&](float& s, int32_t& t, int32_t& o, std::string& p) {
        s = score;
        t = type;
        o = options;
        p = regex;
    });
}

int32_t CRules::SetRuleScore(const char* name, float score) {
    return EditRule(name, [score](float& s, int32_t&, int32_t&, std::string&) { s = score; });
}

int32_t CRules::EnableRule(const char* name, int32_t on) {
    return EditRule(name, [on](float&, int32_t&, int32_t& o, std::string&) {
        o = on ? (o & ~kRuleDisabled) : (o | kRuleDisabled);
    });
}

bool CRules::DeleteRule(const char* name) {
    if (!name) return true;
    common::WriterLock lock(mu_);
    if (table_.Delete(name) == 1) {
        stale_ = true;
        hits_.Forget(name);
    }
    return true;
}

std::string CRules::RuleHits(const char* name) {
    const RuleHitFigures f = hits_.Get(name ? name : "", static_cast<int64_t>(std::time(nullptr)));
    return std::to_string(f.total) + '\t' + std::to_string(f.last_day);
}

void CRules::CountHits(const CRulesResult& result, int64_t now) {
    std::vector<std::string> names;
    names.reserve(result.entries.size());
    for (const CRulesResult::Entry& e : result.entries) names.push_back(e.name);
    hits_.Count(names, now);
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
    const std::string pattern = regex ? regex : "";
    if (type == kRuleTest) {
        const int test = MessageTestIndex(pattern);
        return test >= 0 && RunMessageTests(mail->Raw()).test(static_cast<size_t>(test)) ? kMatch : kNoMatch;
    }
    if (type == kRuleMeta) return kNoMatch;  // it needs the other rules of a table
    std::string text;
    std::string_view re = pattern;
    if (type == kRuleHeader) {
        // The field's values, one per line; the captures come from the first that matches.
        const auto split = SplitHeaderPattern(pattern);
        if (!split) return kNoMatch;
        const std::string field = common::AsciiLowered(split->first);
        re = split->second;
        size_t body_at = 0;
        for (const tokens::Field& f : tokens::ReadHeader(mail->Raw(), body_at))
            if (f.name == field) text += tokens::DecodeEncodedWords(f.value) + "\n";
    } else if (type == kRuleText) {
        text = DecodedText(mail->Raw());
    } else if (type == kRuleUri) {
        for (const std::string& u : MessageUrls(mail->Raw())) text += u + "\n";
    } else {
        text = RuleText(*mail, type);
    }
    common::RegexMatch m = common::RegexSearch(std::string(re), options, text);
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
        c.disabled = (options & kRuleDisabled) != 0;
        options &= ~kRuleDisabled;
        auto it = before.find(c.name);
        if (c.type == kRuleTest) {
            c.test = MessageTestIndex(c.pattern);  // an unknown test never fires
        } else if (c.type == kRuleMeta) {
            std::string why;
            MetaExpr::Parse(c.pattern, &c.meta, &why);  // a malformed one never matches
        } else if (c.type == kRuleHeader) {
            // Without a colon (only a hand-made record) the whole pattern is the field.
            const auto split = SplitHeaderPattern(c.pattern);
            c.field = common::AsciiLowered(split ? split->first : std::string_view(c.pattern));
            c.regex = common::RegexHandle::Compile(split ? std::string(split->second) : std::string(), options);
        } else if (it != before.end() && it->second->data == c.data) {
            c.regex = it->second->regex;
            c.branches = it->second->branches;
            c.caseless = it->second->caseless;
        } else if (c.type == kRuleBody || c.type == kRuleRaw || c.type == kRuleText) {
            // A pattern that does not compile as a whole never matches, whatever its parts.
            c.regex = common::RegexHandle::Compile(c.pattern, options);
            const std::vector<std::string> parts =
                c.regex.ok() ? TopLevelBranches(c.pattern, options) : std::vector<std::string>{c.pattern};
            for (const std::string& b : parts) {
                Compiled::Branch branch;
                branch.regex = common::RegexHandle::Compile(b, options);
                branch.literals = RequiredLiterals(b, options);
                c.branches.push_back(std::move(branch));
            }
            c.caseless = (options & common::kRegexCaseless) != 0;
        } else {
            c.regex = common::RegexHandle::Compile(c.pattern, options);
        }
        fresh.push_back(std::move(c));
    });
    // Meta rules name other rules: resolved once here, in the new table.
    std::unordered_map<std::string, int> position;
    for (size_t i = 0; i < fresh.size(); ++i) position.emplace(fresh[i].name, static_cast<int>(i));
    for (Compiled& c : fresh) {
        if (c.type != kRuleMeta) continue;
        for (const std::string& n : c.meta.names) {
            auto p = position.find(n);
            c.refs.push_back(p == position.end() ? -1 : p->second);
        }
    }
    for (auto& by_case : scans_)
        for (CLiteralScan& scan : by_case) scan = CLiteralScan();
    branch_count_ = 0;
    for (Compiled& c : fresh) {
        const size_t slot = c.type == kRuleBody ? 0 : c.type == kRuleRaw ? 1 : 2;
        for (Compiled::Branch& b : c.branches) {
            b.id = branch_count_++;
            scans_[slot][c.caseless ? 1 : 0].Add(b.id, b.literals);
        }
    }
    compiled_ = std::move(fresh);
    stale_ = false;
}

float CRules::RunLocked(const mail::CParseMail& mail, CRulesResult* result) {
    // Each kind of text is made once per check, and only when a rule looks at it; tests, decoded
    // text and links all read one walk of the message's parts.
    std::string texts[3];
    bool made[3] = {false, false, false};
    std::optional<CMessageParts> parts;
    const auto walked = [&]() -> const CMessageParts& {
        if (!parts) parts.emplace(mail.Raw());
        return *parts;
    };
    MessageTestSet tests;
    bool tested = false;
    std::vector<tokens::Field> fields;
    bool have_fields = false;
    std::string decoded;
    bool have_decoded = false;
    std::vector<std::string> urls;
    bool have_urls = false;
    std::vector<char> matched(compiled_.size(), 0);
    static const std::string kEmpty;
    // A branch of a large text's rule none of whose literals is in that text cannot match, and
    // is not run. The literals of all the branches of one text (and case) are looked for in
    // one pass, the first time one of them asks; caseless ones in a lower-cased copy.
    std::vector<char> found(branch_count_, 0);
    bool scanned[3][2] = {};
    const auto branches_match = [&](const Compiled& c, const std::string& text, size_t slot) REQUIRES_SHARED(mu_) {
        const int by_case = c.caseless ? 1 : 0;
        return std::any_of(c.branches.begin(), c.branches.end(), [&](const Compiled::Branch& b) REQUIRES_SHARED(mu_) {
            if (!b.literals.empty()) {
                if (!scanned[slot][by_case]) {
                    if (c.caseless)
                        scans_[slot][by_case].Scan(common::AsciiLowered(text), found);
                    else
                        scans_[slot][by_case].Scan(text, found);
                    scanned[slot][by_case] = true;
                }
                if (!found[b.id]) return false;
            }
            return b.regex.Test(text);
        });
    };
    for (size_t i = 0; i < compiled_.size(); ++i) {
        const Compiled& c = compiled_[i];
        bool hit = false;
        if (c.disabled) continue;
        switch (c.type) {
            case kRuleMeta: continue;  // once the others are known
            case kRuleTest:
                if (!tested) {
                    tests = walked().Tests();
                    tested = true;
                }
                hit = c.test >= 0 && tests.test(static_cast<size_t>(c.test));
                break;
            case kRuleHeader:
                if (!have_fields) {
                    size_t body_at = 0;
                    fields = tokens::ReadHeader(mail.Raw(), body_at);
                    have_fields = true;
                }
                for (const tokens::Field& f : fields)
                    if (f.name == c.field && c.regex.Test(tokens::DecodeEncodedWords(f.value))) {
                        hit = true;
                        break;
                    }
                break;
            case kRuleText:
                if (!have_decoded) {
                    decoded = walked().DecodedText();
                    have_decoded = true;
                }
                hit = branches_match(c, decoded, 2);
                break;
            case kRuleUri:
                if (!have_urls) {
                    urls = walked().Urls();
                    have_urls = true;
                }
                hit = std::any_of(urls.begin(), urls.end(), [&c](const std::string& u) { return c.regex.Test(u); });
                break;
            default: {
                // Other types look at an empty text, which a pattern such as "^" still matches.
                const std::string* text = &kEmpty;
                if (c.type >= kRuleSubject && c.type <= kRuleRaw) {
                    const size_t k = static_cast<size_t>(c.type - 1);
                    if (!made[k]) {
                        texts[k] = RuleText(mail, c.type);
                        made[k] = true;
                    }
                    text = &texts[k];
                }
                if (c.type == kRuleBody || c.type == kRuleRaw)
                    hit = branches_match(c, *text, c.type == kRuleBody ? 0 : 1);
                else
                    hit = c.regex.Test(*text);
            }
        }
        matched[i] = hit;
    }
    // Meta rules in table order: one may name another listed before it.
    for (size_t i = 0; i < compiled_.size(); ++i) {
        const Compiled& c = compiled_[i];
        if (c.type != kRuleMeta || c.disabled) continue;
        matched[i] = c.meta.Evaluate([&](uint32_t name) {
            const int at = name < c.refs.size() ? c.refs[name] : -1;
            return at >= 0 && matched[static_cast<size_t>(at)] != 0;
        });
    }
    float total = 0.0f;
    for (size_t i = 0; i < compiled_.size(); ++i) {
        if (!matched[i]) continue;
        total += compiled_[i].score;
        result->entries.push_back({compiled_[i].name, compiled_[i].score, compiled_[i].pattern});
    }
    return total;
}

}  // namespace checks
