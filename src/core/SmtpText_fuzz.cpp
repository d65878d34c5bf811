// SMTP lines, message data and MTA replies of arbitrary bytes: recognition and rewriting end
// and stay inside their input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/SmtpText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return 0;
    std::string in(reinterpret_cast<const char*>(data), size);
    using namespace core::smtp;
    RecognizeCommand(in, size % 2 == 0);
    RecognizeData(in);
    // Wherever the data is split, the end is found at the same place.
    DataEndScanner whole, split;
    const size_t end = whole.Scan(in), cut = size / 2;
    size_t first = split.Scan(std::string_view(in).substr(0, cut));
    size_t found = first != std::string::npos ? first : split.Scan(std::string_view(in).substr(cut));
    if (first == std::string::npos && found != std::string::npos) found += cut;
    if (found != end || (end != std::string::npos && end > in.size())) std::abort();
    std::string insert = "250-X\r\n", drop = in.substr(0, size / 3);
    EditReply(in, &insert, &drop);
    IsCountedError(in);
    ModifyHeaderSubject(in, "[T]");
    WriteHeaderMessage(in, "X-T: 1");
    return 0;
}
