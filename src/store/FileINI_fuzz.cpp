// INI text of arbitrary bytes: parsing never crashes; what Serialize writes parses back to the
// same entries (section, key and value byte for byte) and serializes to the same text; and
// every write the object accepts reads back as written.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "store/FileINI.h"

namespace {

bool SameEntries(const std::vector<store::IniEntry>& a, const std::vector<store::IniEntry>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].section != b[i].section || a[i].key != b[i].key || a[i].value != b[i].value) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    store::CFileINI ini;
    ini.LoadByString(text);
    const std::string saved = ini.Serialize();
    store::CFileINI again;
    again.LoadByString(saved);
    if (!SameEntries(ini.Entries(), again.Entries())) std::abort();
    if (again.Serialize() != saved) std::abort();
    ini.GetInt("CONFIG", "loglevel", 0);
    ini.GetFloat("CONFIG", "score_for_spam", 0);

    // The input's first bytes, cut at NULs, as a section, a key and a value to write.
    std::string_view parts[3];
    std::string_view rest = text;
    for (auto& p : parts) {
        size_t z = rest.find('\0');
        p = rest.substr(0, z);
        rest = z == std::string_view::npos ? std::string_view() : rest.substr(z + 1);
    }
    if (ini.WriteString(parts[0], parts[1], parts[2])) {
        store::CFileINI written;
        written.LoadByString(ini.Serialize());
        if (written.GetString(parts[0], parts[1], "\x01missing").View() != parts[2]) std::abort();
    } else if (store::CFileINI::WriteError(parts[0], parts[1], parts[2]).empty()) {
        std::abort();
    }
    return 0;
}
