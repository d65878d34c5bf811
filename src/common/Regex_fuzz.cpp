// Patterns and subjects of arbitrary bytes: a bad pattern is a result, a match is bounded.
#include <cstdint>
#include <string>

#include "common/Regex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    std::string in(reinterpret_cast<const char*>(data), size);
    int options = in[0] & 15;
    size_t cut = in.find('\x01', 1);
    std::string pattern = in.substr(1, cut == std::string::npos ? std::string::npos : cut - 1);
    std::string subject = cut == std::string::npos ? std::string() : in.substr(cut + 1);
    common::RegexSearch(pattern, options, subject);
    std::string copy = subject;
    common::RegexReplace(pattern, options, copy, "[$1$$]");
    if (common::RegexCacheSize() > 4096) common::RegexCacheClear();
    return 0;
}
