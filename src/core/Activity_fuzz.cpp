// The dashboard's figures file of arbitrary bytes: reading ends, and what it keeps writes
// itself back as it was read.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/Activity.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    const int64_t now = 1'800'000'000;
    core::CActivity a;
    a.Parse(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::string once = a.Format(now);
    core::CActivity b;
    b.Parse(once);
    if (b.Format(now) != once) std::abort();
    return 0;
}
