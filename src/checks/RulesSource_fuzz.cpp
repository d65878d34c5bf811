// Rules sources of arbitrary bytes: reading ends, and what it accepts is storable and compiles
// (patterns, header fields, test names, meta expressions).
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
        if (r.name.empty() || r.pattern.empty() || r.type < checks::kRuleSubject || r.type > checks::kRuleMeta)
            std::abort();
        if (!checks::CRules::RuleError(r.pattern.c_str(), r.type, r.options).empty()) std::abort();
        if (table.AddRule(r.name.c_str(), r.pattern.c_str(), r.type, r.score, r.options) != 1) std::abort();
    }
    return 0;
}
