#include "store/FileINI.h"

#include <charconv>
#include <cstdio>

#include "platform/KFile.h"

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

std::vector<IniEntry> CFileINI::Parse(std::string_view text) {
    std::vector<IniEntry> out;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        // A section header: "[" name "]". Text outside a section is ignored.
        size_t open = text.find('[', i);
        if (open == std::string_view::npos) break;
        size_t close = text.find(']', open + 1);
        if (close == std::string_view::npos) break;
        std::string_view section = text.substr(open + 1, close - open - 1);
        i = close + 1;
        std::string key, value;
        bool in_value = false;
        bool just_after_equal = false;
        auto end_line = [&] {
            if (!key.empty() && !section.empty()) out.push_back({common::String(section), key, value});
            key.clear();
            value.clear();
            in_value = false;
            just_after_equal = false;
        };
        for (; i < n; ++i) {
            char c = text[i];
            if (c == '\r' || c == '\n') {
                end_line();
                continue;
            }
            if (c == '[' && !in_value) break;  // the next section header
            if (just_after_equal) {
                value.push_back(c);  // the byte after "=" is kept even when it is a blank
                just_after_equal = false;
                continue;
            }
            if (c == ' ' && value.empty()) continue;
            if (c == '=' && !in_value && !key.empty()) {
                in_value = true;
                just_after_equal = true;
                continue;
            }
            (in_value ? value : key).push_back(c);
        }
        // An unterminated last line is still an entry: editors that drop the final newline
        // must not silently drop a setting.
        if (i >= n) end_line();
    }
    return out;
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
    std::vector<IniEntry> parsed = Parse(text);
    common::MutexLock lock(mu_);
    entries_.swap(parsed);
    return true;
}

std::string CFileINI::Serialize() const {
    common::MutexLock lock(mu_);
    std::string out;
    const common::String* previous = nullptr;
    for (const IniEntry& e : entries_) {
        if (!previous || *previous != e.section) {
            out.append("[").append(e.section.View()).append("]\r\n");
            previous = &e.section;
        }
        out.append(e.key.View()).append("=").append(e.value.View()).append("\r\n");
    }
    return out;
}

bool CFileINI::Save(const std::string& path) {
    std::string target = path.empty() ? FilePath() : path;
    if (target.empty()) return false;
    return platform::WriteFileAtomic(target, Serialize());
}

const IniEntry* CFileINI::FindLocked(std::string_view section, std::string_view key) const {
    for (const IniEntry& e : entries_) {
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

void CFileINI::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    common::MutexLock lock(mu_);
    auto first_of_section = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->section.View() != section) continue;
        if (first_of_section == entries_.end()) first_of_section = it;
        if (it->key.View() == key) {
            it->value = value;
            return;
        }
    }
    IniEntry e{common::String(section), common::String(key), common::String(value)};
    if (first_of_section == entries_.end())
        entries_.push_back(std::move(e));
    else
        entries_.insert(first_of_section, std::move(e));
}

void CFileINI::WriteInt(std::string_view section, std::string_view key, int value) {
    WriteString(section, key, std::to_string(value));
}

void CFileINI::WriteFloat(std::string_view section, std::string_view key, float value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%f", static_cast<double>(value));
    WriteString(section, key, buf);
}

bool CFileINI::KeyExists(std::string_view section, std::string_view key) const {
    common::MutexLock lock(mu_);
    return !section.empty() && FindLocked(section, key) != nullptr;
}

bool CFileINI::DeleteKey(std::string_view section, std::string_view key) {
    common::MutexLock lock(mu_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->section.View() == section && it->key.View() == key) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<std::pair<common::String, common::String>> CFileINI::ToPairs(std::string_view section) const {
    common::MutexLock lock(mu_);
    std::vector<std::pair<common::String, common::String>> out;
    for (const IniEntry& e : entries_)
        if (section.empty() || e.section.View() == section) out.emplace_back(e.key, e.value);
    return out;
}

std::vector<IniEntry> CFileINI::Entries() const {
    common::MutexLock lock(mu_);
    return entries_;
}

std::string CFileINI::FilePath() const {
    common::MutexLock lock(mu_);
    return path_;
}

}  // namespace store
