// Messages of arbitrary bytes, cut as a session cuts them, against the shipped sample list:
// the check ends with 0 or 1 and names a protected domain exactly when it says 1.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "checks/Phishing.h"
#include "platform/KFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static checks::CPhishingDB* db = [] {
        auto* d = new checks::CPhishingDB("");
        std::string text;
        if (!platform::ReadWholeFile(MORVANE_SOURCE_DIR "/dist/db/phishing.db", text)) std::abort();
        d->LoadText(text);
        return d;
    }();
    mail::CParseMail m;
    m.AddStreaming(std::string_view(reinterpret_cast<const char*>(data), std::min(size, mail::kAnalysedBytes)));
    m.Parse();
    std::string fake;
    int v = db->Check(m, &fake, static_cast<int>(size % 7), "someone@paypal.com");
    if (v != 0 && v != 1) std::abort();
    if ((v == 1) == fake.empty()) std::abort();
    return 0;
}
