// The cooperative network's datagram reader on any bytes, as they come and signed with the
// reader's secret (so the fields behind the signature are read too).
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "checks/Community.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    checks::CommunityMessage m;
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    checks::DecodeCommunity(in, "fuzz", now, &m);
    checks::DecodeCommunity(checks::SignCommunity(in, "fuzz"), "fuzz", now, &m);
    checks::SenderDomain(in);
    return 0;
}
