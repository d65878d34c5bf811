// The built-ins' codecs on arbitrary bytes: no crash, Base64 round trips, and output sizes stay
// within what the input can produce.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "script/Codecs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    using namespace script::codec;
    if (Decode64(Encode64(in)) != in) std::abort();
    Decode64(in);
    if (URLDecode(in).size() > in.size()) std::abort();
    if (URLEncode(in).size() > 3 * in.size()) std::abort();
    if (DecodeHtmlSpecialChar(in).size() > in.size()) std::abort();
    if (EncodeHtmlSpecialChar(in).size() > 8 * in.size()) std::abort();
    if (DeOfuscate(in).size() > in.size()) std::abort();
    if (HtmlToText(in).size() > in.size()) std::abort();
    HextoInt(in);
    TrimInternal(in);
    Split(in, size ? in[0] : ',', size % 7);
    return 0;
}
