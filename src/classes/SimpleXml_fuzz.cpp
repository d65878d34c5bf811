// The XML reader on any text, with and without a filter, a child limit and a part seek.
#include <cstddef>
#include <cstdint>
#include <string>

#include "classes/SimpleXml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    classes::CSimpleXMLParse x;
    x.SetMaxChild(static_cast<int32_t>(size % 4));
    x.SetPartSeek(static_cast<int32_t>(size % 11));
    x.LoadText(text, size % 2 ? "id" : nullptr, size % 2 ? "a|b" : nullptr);
    for (int32_t i = -1; i <= x.GetCountChild(); ++i)
        if (classes::CSimpleXMLItmesChild* c = x.GetChild(i)) c->GetValue("id");
    return 0;
}
