// Patterns and texts of arbitrary bytes: the literal analysis ends, and whenever the pattern
// matches the text, one of its literals is in the text (lower-cased for a caseless pattern), and
// the one-pass scan finds the literals a search per literal finds; a valid pattern matches
// exactly when one of its top-level branches does.
// Input: options byte, pattern, a NUL, the text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "checks/RuleLiterals.h"
#include "common/Regex.h"
#include "common/String.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 4096) return 0;
    const int options = data[0] & 0x0f;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t nul = rest.find('\0');
    if (nul == std::string_view::npos) return 0;
    const std::string_view pattern = rest.substr(0, nul), text = rest.substr(nul + 1);
    // Splitting into branches keeps what a valid pattern matches.
    if (common::RegexHandle::Compile(pattern, options).ok()) {
        bool any = false;
        for (const std::string& b : checks::TopLevelBranches(pattern, options))
            any = any || common::RegexTest(b, options, text);
        if (any != common::RegexTest(pattern, options, text)) std::abort();
    }
    const std::vector<std::string> literals = checks::RequiredLiterals(pattern, options);
    if (literals.empty()) return 0;
    const std::string haystack = options & common::kRegexCaseless ? common::AsciiLowered(text) : std::string(text);
    bool present = false;
    for (const std::string& l : literals) present = present || haystack.find(l) != std::string::npos;
    // The one-pass scan agrees with a search per literal.
    checks::CLiteralScan scan;
    scan.Add(0, literals);
    std::vector<char> found(1, 0);
    scan.Scan(haystack, found);
    if ((found[0] != 0) != present) std::abort();
    // A match without any of its literals: the prefilter would have lost it.
    if (!present && common::RegexTest(pattern, options, text)) std::abort();
    return 0;
}
