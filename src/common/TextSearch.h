#pragma once
// Substring search without regard to ASCII case, as the operator's searches (history, held
// mail, quarantine copies) and the header tests read text. Its own header so that the few
// readers that need it rebuild, not everything that includes String.h.
#include <algorithm>
#include <string_view>

#include "common/String.h"

namespace common {

// An empty needle is in every text.
inline bool ContainsNoCase(std::string_view text, std::string_view needle) {
    if (needle.empty()) return true;
    return std::search(text.begin(), text.end(), needle.begin(), needle.end(),
                       [](char a, char b) { return AsciiLower(a) == AsciiLower(b); }) != text.end();
}

}  // namespace common
