#pragma once
// The PROXY protocol header a TCP load balancer (HAProxy and its peers) sends before the client's
// own bytes, so that the server behind it learns the client's real address: version 1 (one text
// line, at most 107 bytes) and version 2 (a binary block after a 12-byte signature). Only the
// header is read; what follows it is the client's.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/IpAddress.h"

namespace common {

struct ProxyHeader {
    enum class State : uint8_t {
        kNeedMore,  // a header may still be there: read more
        kInvalid,   // not a header, or a malformed one: drop the connection
        kDone,
    };
    State state = State::kNeedMore;
    size_t length = 0;  // bytes of the header, when done
    // The balancer speaks for itself (v2 LOCAL, v1 UNKNOWN, an unspecified or unix family): the
    // connection's own addresses stand.
    bool local = false;
    IpAddress source;
    uint16_t source_port = 0;
};

// A header larger than this is refused (a v2 header's TLVs included).
inline constexpr size_t kMaxProxyHeader = 1024;
inline constexpr size_t kMaxProxyHeaderV1 = 107;

// Reads the header at the start of `data`, the bytes received so far.
ProxyHeader ParseProxyHeader(std::string_view data);

}  // namespace common
