// The PROXY protocol header reader on any bytes: a verdict within the limits, never a read past
// what it was given.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/ProxyHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const common::ProxyHeader h = common::ParseProxyHeader(text);
    if (h.state == common::ProxyHeader::State::kDone &&
        (h.length == 0 || h.length > size || h.length > common::kMaxProxyHeader))
        __builtin_trap();
    if (h.state == common::ProxyHeader::State::kDone && !h.local) (void)h.source.ToString();
    return 0;
}
