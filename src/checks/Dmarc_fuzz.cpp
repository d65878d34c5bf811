// DMARC's readers of outside text: a message's From field (the input as a header), a policy
// record, and a suffix list. None may crash; every From domain found is lower case and
// non-empty, and an organisational domain is always a suffix of its name.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "checks/Dmarc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    const std::string in(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> domains;
    std::string why;
    if (checks::dmarc::FromDomains("From: " + in + "\r\n\r\n", &domains, &why)) {
        if (domains.empty()) std::abort();
        for (const std::string& d : domains)
            for (char c : d)
                if (c >= 'A' && c <= 'Z') std::abort();
    }
    checks::dmarc::Record record;
    checks::dmarc::ParseRecord(in, &record, &why);
    if (record.pct < 0 || record.pct > 100) std::abort();

    checks::dmarc::PublicSuffixList psl;
    psl.Parse(in);
    for (std::string_view name : {"a.b.example.com", "x.y.z", "single", "a..b", ""}) {
        const std::string org = psl.OrganizationalDomain(name);
        if (org.size() > name.size() || name.substr(name.size() - org.size()) != org) std::abort();
    }
    return 0;
}
