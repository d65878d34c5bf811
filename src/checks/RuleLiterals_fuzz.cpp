// Patterns and texts of arbitrary bytes: the literal analysis ends, and whenever the pattern
// matches the text, one of its literals is in the text (lower-cased for a caseless pattern).
// Input: options byte, pattern, a NUL, the text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

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
    const std::vector<std::string> literals = checks::RequiredLiterals(pattern, options);
    if (literals.empty() || !common::RegexTest(pattern, options, text)) return 0;
    const std::string haystack = options & common::kRegexCaseless ? common::AsciiLowered(text) : std::string(text);
    for (const std::string& l : literals)
        if (haystack.find(l) != std::string::npos) return 0;
    std::abort();  // a match without any of its literals: the prefilter would have lost it
}
