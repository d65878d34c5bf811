// The rules' hit-count file of arbitrary bytes: reading ends, and what it keeps writes itself
// back as it was read.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "checks/RuleHits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    const int64_t now = 1'800'000'000;
    checks::CRuleHits hits;
    hits.Parse(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::string once = hits.Format(now);
    checks::CRuleHits again;
    again.Parse(once);
    if (again.Format(now) != once) std::abort();
    return 0;
}
