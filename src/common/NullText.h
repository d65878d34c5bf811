#pragma once
// Script hosts receive C strings that may be null: as text, a null one is empty.
#include <string>

namespace common {

inline std::string NullText(const char* s) {
    return s ? std::string(s) : std::string();
}

}  // namespace common
