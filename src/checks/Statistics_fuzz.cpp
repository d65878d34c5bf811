// .stc files of arbitrary bytes: reading never crashes, and what is read writes back the same.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "checks/Statistics.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto f = checks::ParseStats(std::string_view(reinterpret_cast<const char*>(data), size));
    auto again = checks::ParseStats(checks::SerializeStats(f.time, f.counters));
    if (again.counters.size() != f.counters.size()) std::abort();
    return 0;
}
