#include "checks/RuleHits.h"

#include <algorithm>
#include <charconv>

#include "platform/KFile.h"

namespace checks {

namespace {

constexpr int64_t kHour = 3600;
constexpr size_t kMaxNameBytes = 256;

bool ReadNumber(std::string_view text, uint64_t* out) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

void CRuleHits::Count(const std::vector<std::string>& names, int64_t now) {
    if (names.empty()) return;
    common::MutexLock lock(mu_);
    for (const std::string& n : names) {
        Counts& c = by_name_[n];
        ++c.total;
        if (uint32_t* n = c.hours.At(now / kHour)) ++*n;
    }
}

RuleHitFigures CRuleHits::Get(const std::string& name, int64_t now) const {
    RuleHitFigures f;
    common::MutexLock lock(mu_);
    auto it = by_name_.find(name);
    if (it == by_name_.end()) return f;
    f.total = it->second.total;
    it->second.hours.ForEach(now / kHour, [&f](int64_t, uint32_t n) { f.last_day += n; });
    return f;
}

void CRuleHits::Forget(const std::string& name) {
    common::MutexLock lock(mu_);
    by_name_.erase(name);
}

void CRuleHits::Parse(std::string_view text) {
    std::unordered_map<std::string, Counts> fresh;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        const size_t t1 = line.find('\t');
        const size_t t2 = t1 == std::string_view::npos ? t1 : line.find('\t', t1 + 1);
        if (t2 == std::string_view::npos || t1 == 0 || t1 > kMaxNameBytes) continue;
        Counts c;
        if (!ReadNumber(line.substr(t1 + 1, t2 - t1 - 1), &c.total)) continue;
        std::string_view hours = line.substr(t2 + 1);
        while (!hours.empty()) {
            const size_t comma = hours.find(',');
            const std::string_view one = hours.substr(0, comma);
            hours = comma == std::string_view::npos ? std::string_view() : hours.substr(comma + 1);
            const size_t colon = one.find(':');
            uint64_t hour = 0, n = 0;
            if (colon == std::string_view::npos || !ReadNumber(one.substr(0, colon), &hour) ||
                !ReadNumber(one.substr(colon + 1), &n) || hour > static_cast<uint64_t>(INT64_MAX / kHour))
                continue;
            if (uint32_t* slot = c.hours.At(static_cast<int64_t>(hour)))
                *slot = static_cast<uint32_t>(std::min<uint64_t>(n, UINT32_MAX));
        }
        fresh[std::string(line.substr(0, t1))] = c;
    }
    common::MutexLock lock(mu_);
    by_name_ = std::move(fresh);
}

std::string CRuleHits::Format(int64_t now) const {
    std::string out;
    common::MutexLock lock(mu_);
    // By name, so that a file reads the same whatever order the table grew in.
    std::vector<const std::pair<const std::string, Counts>*> rows;
    rows.reserve(by_name_.size());
    for (const auto& row : by_name_) rows.push_back(&row);
    std::sort(rows.begin(), rows.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
    for (const auto* row : rows) {
        const std::string& name = row->first;
        const Counts& c = row->second;
        // Names come from the rules table, which never holds a line break or a tab in a name
        // a file could not hold; one that does is left out rather than breaking the file.
        if (name.find_first_of("\t\n") != std::string::npos) continue;
        out += name + '\t' + std::to_string(c.total) + '\t';
        bool first = true;
        c.hours.ForEach(now / kHour, [&](int64_t hour, uint32_t n) {
            if (n == 0) return;
            out += (first ? "" : ",") + std::to_string(hour) + ':' + std::to_string(n);
            first = false;
        });
        out += '\n';
    }
    return out;
}

bool CRuleHits::Load(const std::string& path) {
    std::string text;
    if (!platform::ReadWholeFile(path, text)) return false;
    Parse(text);
    return true;
}

bool CRuleHits::Save(const std::string& path, int64_t now) const {
    return platform::WriteFileAtomic(path, Format(now));
}

}  // namespace checks
