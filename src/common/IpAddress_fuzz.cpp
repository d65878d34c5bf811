// Address text of arbitrary bytes: a parsed address writes a canonical text that parses back to
// the same address and writes itself again; reverse labels have the family's count of labels;
// a client group's key is the address itself or a network that no address text looks like, the
// same for every address of the group.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/ClientPrefix.h"
#include "common/IpAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 128) return 0;
    const std::string in(reinterpret_cast<const char*>(data), size);
    const auto a = common::IpAddress::Parse(in);
    if (!a) return 0;
    const std::string text = a->ToString();
    const auto again = common::IpAddress::Parse(text);
    if (!again || !(*again == *a) || again->ToString() != text) std::abort();
    const std::string labels = a->ReverseLabels();
    size_t dots = 0;
    for (char c : labels) dots += c == '.';
    if (dots != (a->IsV4() ? 3u : 31u)) std::abort();
    for (int bits = 0; bits <= a->Bits(); bits += 7)
        if (!a->Masked(bits).SamePrefix(*a, bits)) std::abort();
    const auto prefix = common::ClientPrefix::Of(8 + data[0] % 25, 16 + data[0] % 113);
    const int bits = prefix.BitsFor(*a);
    const std::string key = prefix.Key(in);
    if (bits >= a->Bits() ? key != text : common::IpAddress::Parse(key).has_value()) std::abort();
    if (prefix.Key(a->Masked(bits).ToString()) != key) std::abort();
    return 0;
}
