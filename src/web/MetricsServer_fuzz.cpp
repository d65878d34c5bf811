// The monitoring listener's request reader on any bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "web/MetricsServer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static web::MetricsServer server([] { return std::string("morvane_x 1\n"); }, [] { return std::string(); });
    const std::string response = server.Answer(std::string_view(reinterpret_cast<const char*>(data), size));
    if (response.rfind("HTTP/1.1 ", 0) != 0) __builtin_trap();
    return 0;
}
