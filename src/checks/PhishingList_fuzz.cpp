// Phishing lists of arbitrary bytes: loading ends, every pattern record is usable, a check on a
// fixed message ends with 0 or 1, and the completeness test of an update answer ends.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "checks/Phishing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    checks::CPhishingDB db("");
    db.LoadText(text);
    static const mail::CParseMail* message = [] {
        auto* m = new mail::CParseMail();
        m->AddStreaming(
            "From: a@paypal.com\r\nSubject: paypal.com\r\nContent-Type: text/html\r\n\r\n<a "
            "href=\"http://x.test/\">paypal.com</a> http://192.0.2.1/ y\r\n");
        m->Parse();
        return m;
    }();
    std::string fake;
    int v = db.Check(*message, &fake, 3, "a@paypal.com");
    if (v != 0 && v != 1) std::abort();
    if (v == 0 && !fake.empty()) std::abort();
    store::CFileINI ini;
    ini.LoadByString(text);
    std::string why;
    checks::CPhishingDB::IsCompleteList(ini, &why);
    return 0;
}
