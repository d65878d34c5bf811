#pragma once
// Regex: the one door to PCRE2 for the whole kernel.
//
// Patterns arrive with the classic option bits (1 caseless, 2 multiline, 4 dotall, 8 extended),
// as stored in rules, tables and scripts. Compiled patterns are cached process-wide, because
// the same few hundred patterns are matched on every connection; the cache is bounded and
// thread-safe, and a cached pattern lives as long as any caller still holds it.
//
// Any thread may call these functions. A pattern that does not compile is reported in the
// result (status BadPattern with PCRE2's message and offset), never by a crash or exception.
#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace common {

enum RegexOption : int {
    kRegexCaseless = 1,
    kRegexMultiline = 2,
    kRegexDotAll = 4,
    kRegexExtended = 8,
};

enum class RegexStatus { Match, NoMatch, BadPattern, MatchError };

// One match: group 0 is the whole match, 1..9 the capture groups. Groups that did not take
// part are empty with offset -1.
struct RegexMatch {
    static constexpr int kMaxGroups = 9;
    RegexStatus status = RegexStatus::NoMatch;
    int groups = 0;  // how many groups (0 included) took part, at most kMaxGroups + 1
    std::array<std::string, kMaxGroups + 1> text;
    std::array<long, kMaxGroups + 1> offset{};
    std::string error;  // the compiler's message for BadPattern
    bool matched() const { return status == RegexStatus::Match; }
};

// Matches `pattern` against `subject` from byte `start`.
RegexMatch RegexSearch(std::string_view pattern, int options, std::string_view subject, size_t start = 0);

// True when `pattern` matches somewhere in `subject`; a bad pattern is no match.
bool RegexTest(std::string_view pattern, int options, std::string_view subject);

// Replaces the first match (or every match, when `all`) with `replacement`, in which $0..$9
// stand for the groups and $$ for a dollar. Returns the number of replacements, or -1 for a
// bad pattern (then `subject` is left as it was).
int RegexReplace(std::string_view pattern, int options, std::string& subject, std::string_view replacement,
                 bool all = true);

// Compiles without matching: empty when the pattern is good, else the compiler's message.
std::string RegexCheck(std::string_view pattern, int options);

// A compiled pattern held by its user, for callers that match one pattern many times (tables
// of patterns keep one per record). Cheap to copy; shares the compiled code.
struct RegexCompiled;
class RegexHandle {
public:
    RegexHandle() = default;
    // Compiles through the shared cache.
    static RegexHandle Compile(std::string_view pattern, int options);
    bool ok() const;
    const std::string& error() const;
    // False for a bad (or empty) handle.
    bool Test(std::string_view subject) const;
    RegexMatch Search(std::string_view subject, size_t start = 0) const;

private:
    std::shared_ptr<const RegexCompiled> c_;
};

// Cache bookkeeping, for tests and the operator's statistics.
size_t RegexCacheSize();
void RegexCacheClear();

}  // namespace common
