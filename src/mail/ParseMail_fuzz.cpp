// Messages of arbitrary bytes: Parse ends, never reads outside the message, and its parts lie
// inside the body.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mail/ParseMail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    mail::CParseMail m;
    m.AddStreaming(std::string_view(reinterpret_cast<const char*>(data), size));
    m.Parse();
    if (m.Header().size() + m.Body().size() != m.Raw().size() && !m.Header().empty()) std::abort();
    for (const mail::MailPart& p : m.Parts())
        if (p.body.size() > m.Body().size()) std::abort();
    return 0;
}
