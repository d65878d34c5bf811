// The request reader and the multipart reader on any bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/MtaDelivery.h"
#include "web/HttpRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    web::HttpRequest r;
    std::string buffer(text);
    // A keep-alive connection's buffer: requests one after another.
    while (web::ParseRequest(buffer, &r) == web::ParseStatus::kComplete && r.consumed > 0) {
        web::PagePath(r.url);
        buffer.erase(0, r.consumed);
    }
    web::VarMap vars;
    size_t cut = text.find('\n');
    web::ParseMultipart(text, cut == std::string_view::npos ? std::string_view("b") : text.substr(0, cut), &vars);
    core::EnvelopeOf(text);
    core::DotStuffed(text);
    return 0;
}
