// The request parser and the cell decoder on any text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "admin/AdminProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string key = size > 3 ? text.substr(0, 3) : "k";
    admin::CServerMorvaneRequest r;
    if (r.Parse(text, key))
        while (r.GetRow()) {
        }
    admin::DecodeCell(text, key);
    admin::ParseAnswer(text, key);
    return 0;
}
