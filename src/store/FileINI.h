#pragma once
// CFileINI: a sectioned key=value text file held in memory as ordered entries.
//
// File order is kept and duplicates survive a load (every lookup takes the first), so saving a
// file an operator edited changes only what was written through this object. Lines that are not
// entries (comments, blank lines, text before the first section, lines without "=", a broken
// section header and what follows it) are kept as they stand and written back unchanged. Writes
// refuse keys, sections and values that would not read back as written (a line break in a value
// would start a new section). Saves are atomic: a crash mid-save leaves the previous file. Every
// operation takes the object's mutex, so one object may be shared by all threads (the kernel
// configuration is).
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/String.h"
#include "common/ThreadSafety.h"

namespace store {

struct IniEntry {
    common::String section;
    common::String key;
    common::String value;
};

// One line of an INI text as the parser classed it.
struct IniLine {
    enum class Kind : uint8_t {
        kEntry,      // key=value inside a section
        kHeader,     // "[name]"
        kBadHeader,  // starts with "[" but is not "[name]": the lines up to the next header are kept
        kComment,    // blank, or starting with ";" or "#"
        kOutside,    // an entry-like line before the first header or after a broken one
        kNoEqual,    // a line of a section that is not key=value (or holds a NUL byte)
    };
    Kind kind = Kind::kEntry;
    int number = 0;    // from 1
    std::string text;  // the line as it stood, without its line end
    std::string section, key, value;
};

class CFileINI {
public:
    // Larger files are refused at load: no INI file of the system comes near this, and a
    // runaway one must not take the kernel's memory.
    static constexpr size_t kMaxFileSize = 64u << 20;

    CFileINI() = default;
    virtual ~CFileINI() = default;
    CFileINI(const CFileINI&) = delete;
    CFileINI& operator=(const CFileINI&) = delete;

    // Remembers `path`; false (entries untouched) when the file is missing, unreadable or too big.
    bool Load(const std::string& path);
    // Parses `text` as file content, replacing the entries.
    bool LoadByString(std::string_view text);
    // Saves to `path`, or to the remembered path when empty; false when there is no path or
    // the write failed (the old file is then intact, and the failure is reported:
    // store::ReportSaveFailure).
    [[nodiscard]] bool Save(const std::string& path = std::string());
    // The file as Save would write it.
    std::string Serialize() const;

    common::String GetString(std::string_view section, std::string_view key, std::string_view def) const;
    // Decimal integer or float at the start of the value; the default when the entry is missing
    // or does not start with a number.
    int GetInt(std::string_view section, std::string_view key, int def) const;
    float GetFloat(std::string_view section, std::string_view key, float def) const;
    // Without a section (empty), the first entry with that key in any section.
    common::String GetValue(std::string_view section, std::string_view key, std::string_view def) const;

    // False, and nothing written, when the section, key or value is refused (WriteError).
    bool WriteString(std::string_view section, std::string_view key, std::string_view value);
    bool WriteInt(std::string_view section, std::string_view key, int value);
    bool WriteFloat(std::string_view section, std::string_view key, float value);
    // Why a write of these would not read back as written, or "" when it would: sections and
    // keys may not be empty or hold a line end, NUL, "[", "]" or "="; keys hold no blank or
    // control byte and do not start with ";" or "#"; values hold no line end or NUL.
    static std::string WriteError(std::string_view section, std::string_view key, std::string_view value);
    bool KeyExists(std::string_view section, std::string_view key) const;
    // Removes the first matching entry; false when there was none.
    bool DeleteKey(std::string_view section, std::string_view key);
    // (key, value) of every entry of `section`, or of all sections when it is empty.
    std::vector<std::pair<common::String, common::String>> ToPairs(std::string_view section) const;

    // The entries (not the kept lines), in file order.
    std::vector<IniEntry> Entries() const;
    std::string FilePath() const;

    // The pure parser behind Load: text in, every line classed.
    static std::vector<IniLine> ParseLines(std::string_view text);
    // Only the entries of ParseLines.
    static std::vector<IniEntry> Parse(std::string_view text);

private:
    // An entry, or a line kept verbatim (`raw`), which no lookup sees.
    struct Item {
        IniEntry entry;
        IniLine::Kind kind = IniLine::Kind::kEntry;
        std::string raw;
    };
    const IniEntry* FindLocked(std::string_view section, std::string_view key) const REQUIRES(mu_);

    mutable common::Mutex mu_;
    std::vector<Item> entries_ GUARDED_BY(mu_);
    std::string path_ GUARDED_BY(mu_);
};

}  // namespace store
