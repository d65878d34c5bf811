#include "store/FileINI.h"

#include <cerrno>
#include <charconv>
#include <cstdio>

#include "platform/KFile.h"
#include "store/SaveFailures.h"

namespace store {

namespace {

// Leading blanks then a decimal number, as the configuration has always been read.
template <typename T>
bool ParseNumber(std::string_view s, T& out) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i < s.size() && s[i] == '+') ++i;
    const char* begin = s.data() + i;
    const char* end = s.data() + s.size();
    auto [ptr, ec] = std::from_chars(begin, end, out);
    return ec == std::errc() && ptr != begin;
}

}  // namespace

std::vector<IniLine> CFileINI::ParseLines(std::string_view text) {
    std::vector<IniLine> out;
    std::string section;      // the section in effect; "" before the first header
    bool in_section = false;  // false before the first header and after a broken one
    int number = 0;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        // CR, LF or CR LF ends a line.
        size_t end = i;
        while (end < n && text[end] != '\r' && text[end] != '\n') ++end;
        std::string_view line = text.substr(i, end - i);
        i = end;
        if (i < n && text[i] == '\r') ++i;
        if (i < n && text[i] == '\n') ++i;
        ++number;
        IniLine l;
        l.number = number;
        l.text = std::string(line);
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == ';' || line[first] == '#') {
            l.kind = IniLine::Kind::kComment;
            out.push_back(std::move(l));
            continue;
        }
        if (line[first] == '[') {
            const size_t last = line.find_last_not_of(" \t");
            const std::string_view name = line.substr(first + 1, last > first ? last - first - 1 : 0);
            // Names are kept as text: a NUL byte would cut them short.
            if (line[last] == ']' && !name.empty() &&
                name.find_first_of(std::string_view("[]\0", 3)) == std::string_view::npos) {
                l.kind = IniLine::Kind::kHeader;
                section = std::string(name);
                in_section = true;
            } else {
                l.kind = IniLine::Kind::kBadHeader;
                in_section = false;
            }
            l.section = section;
            out.push_back(std::move(l));
            continue;
        }
        // key=value: blanks are dropped from the key and before the value; the byte right
        // after "=" is the value's first even when it is a blank.
        std::string key, value;
        bool in_value = false;
        for (size_t k = 0; k < line.size(); ++k) {
            const char c = line[k];
            if (in_value) {
                value.push_back(c);
            } else if (c == '=' && !key.empty()) {
                in_value = true;
                value.assign(line.substr(k + 1));
                break;
            } else if (c != ' ') {
                key.push_back(c);
            }
        }
        l.section = section;
        if (!in_section) {
            l.kind = IniLine::Kind::kOutside;
        } else if (!in_value || line.find('\0') != std::string_view::npos) {
            // Keys and values are kept as text: a NUL byte would cut them short.
            l.kind = IniLine::Kind::kNoEqual;
        } else {
            l.kind = IniLine::Kind::kEntry;
            l.key = std::move(key);
            l.value = std::move(value);
        }
        out.push_back(std::move(l));
    }
    return out;
}

std::vector<IniEntry> CFileINI::Parse(std::string_view text) {
    std::vector<IniEntry> out;
    for (IniLine& l : ParseLines(text))
        if (l.kind == IniLine::Kind::kEntry)
            out.push_back({common::String(l.section), common::String(l.key), common::String(l.value)});
    return out;
}

std::string CFileINI::WriteError(std::string_view section, std::string_view key, std::string_view value) {
    if (section.empty()) return "the section name is empty";
    if (key.empty()) return "the key is empty";
    if (section.find_first_of(std::string_view("\r\n\0[]=", 6)) != std::string_view::npos)
        return "a section name may not hold a line end, NUL, \"[\", \"]\" or \"=\"";
    for (char c : key)
        if (static_cast<unsigned char>(c) <= 0x20 || c == '[' || c == ']' || c == '=' || c == 0x7f)
            return "a key may not hold a blank, a control byte, \"[\", \"]\" or \"=\"";
    if (key.front() == ';' || key.front() == '#') return "a key may not start with \";\" or \"#\"";
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        return "a value may not hold a line end or NUL";
    return std::string();
}

bool CFileINI::Load(const std::string& path) {
    {
        common::MutexLock lock(mu_);
        path_ = path;
    }
    int64_t size = platform::FileSize(path);
    if (size < 0 || static_cast<uint64_t>(size) > kMaxFileSize) return false;
    std::string text;
    if (!platform::ReadWholeFile(path, text)) return false;
    return LoadByString(text);
}

bool CFileINI::LoadByString(std::string_view text) {
    std::vector<Item> parsed;
    for (IniLine& l : ParseLines(text)) {
        Item it;
        it.kind = l.kind;
        it.entry.section = common::String(l.section);
        if (l.kind == IniLine::Kind::kEntry) {
            it.entry.key = common::String(l.key);
            it.entry.value = common::String(l.value);
        } else {
            it.raw = std::move(l.text);
        }
        parsed.push_back(std::move(it));
    }
    common::MutexLock lock(mu_);
    entries_.swap(parsed);
    return true;
}

std::string CFileINI::Serialize() const {
    common::MutexLock lock(mu_);
    std::string out;
    // The section the text written so far leaves in effect; none before the first header and
    // after a broken one.
    const common::String* current = nullptr;
    for (const Item& it : entries_) {
        if (it.kind != IniLine::Kind::kEntry) {
            out.append(it.raw).append("\r\n");
            if (it.kind == IniLine::Kind::kHeader) current = &it.entry.section;
            if (it.kind == IniLine::Kind::kBadHeader) current = nullptr;
            continue;
        }
        if (!current || *current != it.entry.section) {
            out.append("[").append(it.entry.section.View()).append("]\r\n");
            current = &it.entry.section;
        }
        out.append(it.entry.key.View()).append("=").append(it.entry.value.View()).append("\r\n");
    }
    return out;
}

bool CFileINI::Save(const std::string& path) {
    std::string target = path.empty() ? FilePath() : path;
    if (target.empty()) return false;
    if (platform::WriteFileAtomic(target, Serialize())) return true;
    ReportSaveFailure(target, errno);
    return false;
}

const IniEntry* CFileINI::FindLocked(std::string_view section, std::string_view key) const {
    for (const Item& it : entries_) {
        if (it.kind != IniLine::Kind::kEntry) continue;
        const IniEntry& e = it.entry;
        if ((section.empty() || e.section.View() == section) && e.key.View() == key) return &e;
    }
    return nullptr;
}

common::String CFileINI::GetString(std::string_view section, std::string_view key, std::string_view def) const {
    common::MutexLock lock(mu_);
    if (section.empty()) return common::String(def);
    const IniEntry* e = FindLocked(section, key);
    return e ? e->value : common::String(def);
}

common::String CFileINI::GetValue(std::string_view section, std::string_view key, std::string_view def) const {
    common::MutexLock lock(mu_);
    const IniEntry* e = FindLocked(section, key);
    return e ? e->value : common::String(def);
}

int CFileINI::GetInt(std::string_view section, std::string_view key, int def) const {
    common::String v = GetString(section, key, "");
    int out = 0;
    return ParseNumber(v.View(), out) ? out : def;
}

float CFileINI::GetFloat(std::string_view section, std::string_view key, float def) const {
    common::String v = GetString(section, key, "");
    float out = 0;
    return ParseNumber(v.View(), out) ? out : def;
}

bool CFileINI::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    if (!WriteError(section, key, value).empty()) return false;
    common::MutexLock lock(mu_);
    // A new key goes first in its section: after the section's first header, or before its
    // first entry when the header was never read (a section made by writes).
    auto first_of_section = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->entry.section.View() != section) continue;
        if (it->kind == IniLine::Kind::kHeader) {
            if (first_of_section == entries_.end()) first_of_section = it + 1;
            continue;
        }
        if (it->kind != IniLine::Kind::kEntry) continue;
        if (first_of_section == entries_.end()) first_of_section = it;
        if (it->entry.key.View() == key) {
            it->entry.value = value;
            return true;
        }
    }
    Item e;
    e.entry = IniEntry{common::String(section), common::String(key), common::String(value)};
    if (first_of_section == entries_.end())
        entries_.push_back(std::move(e));
    else
        entries_.insert(first_of_section, std::move(e));
    return true;
}

bool CFileINI::WriteInt(std::string_view section, std::string_view key, int value) {
    return WriteString(section, key, std::to_string(value));
}

bool CFileINI::WriteFloat(std::string_view section, std::string_view key, float value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%f", static_cast<double>(value));
    return WriteString(section, key, buf);
}

bool CFileINI::KeyExists(std::string_view section, std::string_view key) const {
    common::MutexLock lock(mu_);
    return !section.empty() && FindLocked(section, key) != nullptr;
}

bool CFileINI::DeleteKey(std::string_view section, std::string_view key) {
    common::MutexLock lock(mu_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->kind == IniLine::Kind::kEntry && it->entry.section.View() == section && it->entry.key.View() == key) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<std::pair<common::String, common::String>> CFileINI::ToPairs(std::string_view section) const {
    common::MutexLock lock(mu_);
    std::vector<std::pair<common::String, common::String>> out;
    for (const Item& it : entries_)
        if (it.kind == IniLine::Kind::kEntry && (section.empty() || it.entry.section.View() == section))
            out.emplace_back(it.entry.key, it.entry.value);
    return out;
}

std::vector<IniEntry> CFileINI::Entries() const {
    common::MutexLock lock(mu_);
    std::vector<IniEntry> out;
    for (const Item& it : entries_)
        if (it.kind == IniLine::Kind::kEntry) out.push_back(it.entry);
    return out;
}

std::string CFileINI::FilePath() const {
    common::MutexLock lock(mu_);
    return path_;
}

}  // namespace store
