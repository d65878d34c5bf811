#pragma once
// CFileINI: a sectioned key=value text file held in memory as ordered entries.
//
// File order is kept and duplicates survive a load (every lookup takes the first), so saving a
// file an operator edited changes only what was written through this object. Saves are atomic:
// a crash mid-save leaves the previous file. Every operation takes the object's mutex, so one
// object may be shared by all threads (the kernel configuration is).
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
    // the write failed (the old file is then intact).
    bool Save(const std::string& path = std::string());
    // The file as Save would write it.
    std::string Serialize() const;

    common::String GetString(std::string_view section, std::string_view key, std::string_view def) const;
    // Decimal integer or float at the start of the value; the default when the entry is missing
    // or does not start with a number.
    int GetInt(std::string_view section, std::string_view key, int def) const;
    float GetFloat(std::string_view section, std::string_view key, float def) const;
    // Without a section (empty), the first entry with that key in any section.
    common::String GetValue(std::string_view section, std::string_view key, std::string_view def) const;

    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInt(std::string_view section, std::string_view key, int value);
    void WriteFloat(std::string_view section, std::string_view key, float value);
    bool KeyExists(std::string_view section, std::string_view key) const;
    // Removes the first matching entry; false when there was none.
    bool DeleteKey(std::string_view section, std::string_view key);
    // (key, value) of every entry of `section`, or of all sections when it is empty.
    std::vector<std::pair<common::String, common::String>> ToPairs(std::string_view section) const;

    std::vector<IniEntry> Entries() const;
    std::string FilePath() const;

    // The pure parser behind Load: text in, entries out.
    static std::vector<IniEntry> Parse(std::string_view text);

private:
    const IniEntry* FindLocked(std::string_view section, std::string_view key) const REQUIRES(mu_);

    mutable common::Mutex mu_;
    std::vector<IniEntry> entries_ GUARDED_BY(mu_);
    std::string path_ GUARDED_BY(mu_);
};

}  // namespace store
