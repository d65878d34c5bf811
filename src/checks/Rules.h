#pragma once
// CRules: a table of named regular-expression rules and the check that scores a parsed message
// against them. Each record's key is the rule's name; its data is a 12-byte little-endian head
// (score as a float, type, PCRE option bits) followed by the pattern. A message's score is the
// sum of the scores of the rules that match the text their type names: 1 the subject, 2 the
// text/plain and text/html bodies, 3 the raw message.
//
// Checks run in parallel: they hold the rules' lock shared and match the compiled patterns of a
// snapshot of the table, compiled once per rule and replaced only when its rule changes (a
// pattern that does not compile is remembered as such and never matches). Every change (add,
// delete, open, load, save) holds the lock exclusively, so it waits for running checks, and the
// next check sees it.
//
// The rules source format of morvane-rules (ParseRulesSource) lives here too, so the kernel,
// the tool and the fuzz target read it the same way.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "checks/RuleHits.h"
#include "checks/RuleLiterals.h"
#include "common/Regex.h"
#include "common/ThreadSafety.h"
#include "mail/ScriptParseMail.h"
#include "script/CS_Array.h"
#include "store/DB_RAM.h"

namespace checks {

enum RuleType : int32_t {
    kRuleSubject = 1,
    kRuleBody = 2,
    kRuleRaw = 3,
    kRuleTest = 4,    // the pattern names a structural test (MessageTests.h): the rule matches when it fires
    kRuleHeader = 5,  // the pattern is "Field:regex", matched against that field's values (decoded)
    kRuleText = 6,    // the decoded text of the text parts (HTML as text)
    kRuleUri = 7,     // each link of the message: the rule matches when one does
    kRuleMeta = 8,    // the pattern is a boolean expression over other rules' names (&&, ||, !, ())
};

// An option bit beside the pattern's (common::kRegex*): the rule is kept but never matches.
inline constexpr int32_t kRuleDisabled = 16;

// A meta rule's expression in postfix form: each step pushes a rule's match (kName, the
// index into `names`) or combines the top of the stack.
struct MetaExpr {
    enum Op : uint8_t { kName, kNot, kAnd, kOr };
    std::vector<std::pair<Op, uint32_t>> steps;
    std::vector<std::string> names;

    // False with why for a malformed expression.
    static bool Parse(std::string_view text, MetaExpr* out, std::string* error);
    // `matched(i)` tells whether names[i] matched.
    template <typename F>
    bool Evaluate(F&& matched) const {
        bool stack[64];
        size_t top = 0;
        for (const auto& [op, arg] : steps) {
            if (op == kName) {
                if (top < 64) stack[top++] = matched(arg);
            } else if (op == kNot) {
                if (top >= 1) stack[top - 1] = !stack[top - 1];
            } else if (top >= 2) {
                --top;
                stack[top - 1] = op == kAnd ? stack[top - 1] && stack[top] : stack[top - 1] || stack[top];
            }
        }
        return top == 1 && stack[0];
    }
};

// What one check found: the matching rules in table order. The script class CS_RulesResult.
class CRulesResult {
public:
    struct Entry {
        std::string name;
        float score = 0;
        std::string pattern;
    };
    void Clear() { entries.clear(); }

    int32_t GetRulesCount() const { return static_cast<int32_t>(entries.size()); }
    std::string GetRulesName(int32_t index) const { return At(index) ? At(index)->name : std::string(); }
    std::string GetRulesRE(int32_t index) const { return At(index) ? At(index)->pattern : std::string(); }
    float GetRulesScore(int32_t index) const { return At(index) ? At(index)->score : 0.0f; }

    std::vector<Entry> entries;

private:
    const Entry* At(int32_t index) const {
        return index >= 0 && static_cast<size_t>(index) < entries.size() ? &entries[static_cast<size_t>(index)]
                                                                         : nullptr;
    }
};

// One rule as a source file or a record states it.
struct RuleSpec {
    std::string name;
    int32_t type = kRuleBody;
    int32_t options = 0;
    float score = 0;
    std::string pattern;
    std::string comment;
    int line = 0;  // where its entry starts in the source
};

// Reads a rules source (format at the top of dist/rules/starter.rules). False with "LINE: why"
// in `error` for the first malformed entry, a duplicate name or a pattern that does not compile.
bool ParseRulesSource(std::string_view text, std::vector<RuleSpec>* rules, std::string* error);
// "subject", "body", "raw", "test", "header", "text", "uri", "meta"; for other types the number.
std::string RuleTypeName(int32_t type);
// "caseless,multiline,dotall,extended" as set, "none" for 0; unknown bits as a number.
std::string RuleOptionNames(int32_t options);

class CRules {
public:
    static constexpr size_t kHeadBytes = 12;

    CRules() = default;
    CRules(const CRules&) = delete;
    CRules& operator=(const CRules&) = delete;

    // The table's own operations, under the rules' lock.
    bool Open(const char* path);
    bool Load();
    [[nodiscard]] bool Save();
    // Drops every rule in memory (the file is not touched until Save).
    void Reset();

    // Why a rule of this pattern, type and options could never match as meant, or "": the
    // type is 1, 2 or 3, the options known bits, and the pattern compiles. Operator surfaces
    // (admin commands) ask it before AddRule, which keeps taking any rule, as scripts and
    // stored tables expect (a pattern that does not compile then never matches).
    static std::string RuleError(const char* regex, int32_t type, int32_t options);
    std::string CheckRule(const char* regex, int32_t type, int32_t options) { return RuleError(regex, type, options); }
    // 1 when added; 0 for an empty name or pattern, or a name already in use.
    int32_t AddRule(const char* name, const char* regex, int32_t type, float score, int32_t options);
    // The operator's edits of one rule: 1 when changed, 0 when there is no such rule (or, for
    // UpdateRule, an empty pattern). Its hit counts stay.
    int32_t UpdateRule(const char* name, const char* regex, int32_t type, float score, int32_t options);
    int32_t SetRuleScore(const char* name, float score);
    int32_t EnableRule(const char* name, int32_t on);
    bool DeleteRule(const char* name);
    // "TOTAL<TAB>LAST_DAY": how often the rule matched live mail (CRuleHits).
    std::string RuleHits(const char* name);
    // out[name] = "%.3f" score, 0x02, type, 0x02, options, 0x02, pattern, for every live rule.
    void ViewRules(script::CS_Array* out);
    // "NO MACTH" or "MACTH" (captures["$1".."$9"] filled when given); "" without a mail.
    std::string RuleTest(mail::CS_ParseMail* mail, const char* regex, int32_t type, int32_t options,
                         script::CS_Array* captures);
    // The sum of the matching rules' scores; 0.0 without a mail or a result.
    float RegularExpressionCheck(mail::CS_ParseMail* mail, CRulesResult* result);

    float Check(const mail::CParseMail& mail, CRulesResult* result);
    // Counts the rules of a live message's result (a check made by hand is not counted).
    void CountHits(const CRulesResult& result, int64_t now);
    CRuleHits& Hits() { return hits_; }
    // Every live rule in table order, as stored.
    std::vector<RuleSpec> Rules();
    int32_t Count() { return table_.GetCount(); }
    std::string Path() const { return table_.Path(); }
    // The file's modification time and size when it was last read or written ("" before).
    std::string FileStamp() const;

    // The text a rule of `type` looks at.
    static std::string RuleText(const mail::CParseMail& mail, int32_t type);
    static std::string RecordData(float score, int32_t type, int32_t options, std::string_view pattern);
    // False for data shorter than the head.
    static bool ReadRecord(std::string_view data, float* score, int32_t* type, int32_t* options, std::string* pattern);

private:
    struct Compiled {
        std::string name;
        std::string data;  // the record's data, to tell a changed rule
        float score = 0;
        int32_t type = 0;
        bool disabled = false;
        std::string pattern;
        common::RegexHandle regex;
        int test = -1;          // type 4: the test's index
        std::string field;      // type 5: the header field, lower case
        MetaExpr meta;          // type 8
        std::vector<int> refs;  // type 8: the index in compiled_ of each name, -1 when none
        // Types 2, 3 and 6 (the large texts): the pattern's top-level branches, each compiled
        // alone with the literals of which any match holds one (RuleLiterals.h; empty when it
        // has none; lower case when the rule is caseless). The rule matches when a branch does.
        struct Branch {
            common::RegexHandle regex;
            std::vector<std::string> literals;
            uint32_t id = 0;  // among all the table's branches
        };
        std::vector<Branch> branches;
        bool caseless = false;
    };

    float RunLocked(const mail::CParseMail& mail, CRulesResult* result) REQUIRES_SHARED(mu_);
    void RebuildLocked() REQUIRES(mu_);
    void RememberStampLocked() REQUIRES(mu_);
    // Rewrites a rule's record through `edit(score, type, options, pattern)`; false when none.
    template <typename F>
    bool EditRule(const char* name, F&& edit);

    mutable common::SharedMutex mu_;
    store::CDB_RAM table_;
    std::vector<Compiled> compiled_ GUARDED_BY(mu_);
    // The literals of the rules of the large texts, by text (body, raw, decoded text) and by
    // case (exact, caseless): each is one pass over its text per check.
    CLiteralScan scans_[3][2] GUARDED_BY(mu_);
    uint32_t branch_count_ GUARDED_BY(mu_) = 0;
    bool stale_ GUARDED_BY(mu_) = true;
    std::string stamp_ GUARDED_BY(mu_);
    CRuleHits hits_;
};

}  // namespace checks
