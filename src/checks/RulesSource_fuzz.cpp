// Rules sources of arbitrary bytes: reading ends, and what it accepts is storable and compiles.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "checks/Rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    std::vector<checks::RuleSpec> rules;
    std::string error;
    bool ok = checks::ParseRulesSource(std::string_view(reinterpret_cast<const char*>(data), size), &rules, &error);
    if (!ok && error.empty()) std::abort();
    if (!ok) return 0;
    checks::CRules table;
    for (const checks::RuleSpec& r : rules) {
        if (r.name.empty() || r.pattern.empty() || r.type < 1 || r.type > 3) std::abort();
        if (!common::RegexCheck(r.pattern, r.options).empty()) std::abort();
        if (table.AddRule(r.name.c_str(), r.pattern.c_str(), r.type, r.score, r.options) != 1) std::abort();
    }
    return 0;
}
