#pragma once
// The addresses of a listening setting ("127.0.0.1 ::1", "192.0.2.1,2001:db8::25"): separated by
// blanks, tabs or commas, empty items skipped. One reader for the configuration check, the
// listeners and the tools that reach them.
#include <string>
#include <string_view>
#include <vector>

namespace common {

inline std::vector<std::string> SplitListenAddresses(std::string_view text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = text.find_first_of(" ,\t", i);
        if (end == std::string_view::npos) end = text.size();
        if (end > i) out.emplace_back(text.substr(i, end - i));
        i = end + 1;
    }
    return out;
}

}  // namespace common
