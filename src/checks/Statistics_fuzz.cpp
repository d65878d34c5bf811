// .stc files of arbitrary bytes: reading never crashes, and what is read writes back the same:
// the time and every counter's name, type, sub-type and value, byte for byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "checks/Statistics.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto f = checks::ParseStats(std::string_view(reinterpret_cast<const char*>(data), size));
    auto again = checks::ParseStats(checks::SerializeStats(f.time, f.counters));
    if (again.time != f.time || again.counters.size() != f.counters.size()) std::abort();
    for (size_t i = 0; i < f.counters.size(); ++i) {
        const checks::StatCounter& a = f.counters[i];
        const checks::StatCounter& b = again.counters[i];
        // Values compared as bits: a NaN read from the file must come back the same NaN.
        if (a.name != b.name || a.type != b.type || a.sub_type != b.sub_type ||
            std::memcmp(&a.value, &b.value, sizeof a.value) != 0)
            std::abort();
    }
    return 0;
}
