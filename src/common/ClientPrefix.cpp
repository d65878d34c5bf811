#include "common/ClientPrefix.h"

#include <algorithm>

namespace common {

ClientPrefix ClientPrefix::Of(int v4_bits, int v6_bits) {
    ClientPrefix p;
    p.v4_bits = static_cast<uint8_t>(std::clamp(v4_bits, kMinV4, 32));
    p.v6_bits = static_cast<uint8_t>(std::clamp(v6_bits, kMinV6, 128));
    return p;
}

std::string ClientPrefix::Key(std::string_view ip) const {
    const auto a = IpAddress::Parse(ip);
    if (!a) return std::string(ip);
    const int bits = BitsFor(*a);
    if (bits >= a->Bits()) return a->ToString();
    return a->Masked(bits).ToString() + "/" + std::to_string(bits);
}

}  // namespace common
