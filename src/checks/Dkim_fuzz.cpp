// Messages of arbitrary bytes with DKIM-Signature fields, and key records of arbitrary bytes:
// tag lists, signatures, keys, both canonicalisations and the whole verification end without
// reading past what they were given, and chunked canonicalisation gives what the whole gives.
// Input: the key record, a NUL, the message.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "checks/Dkim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const size_t nul = in.find('\0');
    const std::string key(nul == std::string_view::npos ? std::string_view() : in.substr(0, nul));
    const std::string_view message = nul == std::string_view::npos ? in : in.substr(nul + 1);
    std::vector<checks::dkim::Tag> tags;
    std::string why;
    checks::dkim::ParseTagList(message, &tags, &why);
    checks::dkim::Key k;
    checks::dkim::ParseKey(key, &k, &why);
    checks::dkim::RelaxedHeader(message.substr(0, 1000));
    for (checks::dkim::Canon canon : {checks::dkim::Canon::kSimple, checks::dkim::Canon::kRelaxed}) {
        const std::string whole = checks::dkim::CanonicalBody(message, canon);
        checks::dkim::BodyCanonicalizer c(canon);
        std::string out;
        c.Add(message.substr(0, message.size() / 2), &out);
        c.Add(message.substr(message.size() / 2), &out);
        c.Finish(&out);
        if (out != whole) std::abort();
    }
    const checks::dkim::KeyLookup lookup = [&key](const std::string&, std::string* txt) {
        *txt = key;
        return key.empty() ? 1 : 0;
    };
    for (const auto& v : checks::dkim::Verify(message, lookup, 1700000000))
        if (v.result < 0 || v.result > 5) std::abort();
    return 0;
}
