// History lines of arbitrary bytes: a line that parses writes itself back unchanged and parses
// to the same record; no line crashes the reader.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "store/History.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const auto r = store::CHistory::ParseLine(line);
    if (!r) return 0;
    const std::string again = store::CHistory::FormatLine(*r);
    const auto back = store::CHistory::ParseLine(again);
    if (!back || store::CHistory::FormatLine(*back) != again) std::abort();
    return 0;
}
