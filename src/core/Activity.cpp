#include "core/Activity.h"

#include <algorithm>
#include <charconv>

#include "platform/KFile.h"

namespace core {

namespace {

constexpr int64_t kMinute = 60, kHour = 3600;
constexpr std::string_view kActions[CActivity::kOutcomes] = {"delivered", "tagged", "refused", "greylisted", "held"};
constexpr size_t kFields = 2 + CActivity::kOutcomes + 2 + CActivity::kClasses;

}  // namespace

void CActivity::Add(Cell& c, int outcome, uint32_t duration_ms) {
    if (outcome >= 0) ++c.outcomes[static_cast<size_t>(outcome)];
    ++c.sessions;
    c.total_ms += duration_ms;
    const auto at = std::lower_bound(kBounds.begin(), kBounds.end(), duration_ms);
    ++c.durations[static_cast<size_t>(at - kBounds.begin())];
}

void CActivity::Record(int64_t now, std::string_view action, uint32_t duration_ms) {
    const auto it = std::find(std::begin(kActions), std::end(kActions), action);
    const int outcome = it == std::end(kActions) ? -1 : static_cast<int>(it - std::begin(kActions));
    common::MutexLock lock(mu_);
    if (Cell* c = minutes_.At(now / kMinute)) Add(*c, outcome, duration_ms);
    if (Cell* c = hours_.At(now / kHour)) Add(*c, outcome, duration_ms);
}

std::vector<CActivity::Point> CActivity::Minutes(int64_t now) const {
    std::vector<Point> out;
    out.reserve(60);
    common::MutexLock lock(mu_);
    minutes_.ForEach(now / kMinute, [&out](int64_t p, const Cell& c) { out.push_back({p * kMinute, c}); });
    return out;
}

std::vector<CActivity::Point> CActivity::Hours(int64_t now) const {
    std::vector<Point> out;
    out.reserve(168);
    common::MutexLock lock(mu_);
    hours_.ForEach(now / kHour, [&out](int64_t p, const Cell& c) { out.push_back({p * kHour, c}); });
    return out;
}

uint32_t CActivity::P95(const Cell& c) {
    if (c.sessions == 0) return 0;
    // The smallest class whose running count reaches 95 % of the sessions.
    const uint64_t need = (static_cast<uint64_t>(c.sessions) * 95 + 99) / 100;
    uint64_t seen = 0;
    for (size_t i = 0; i < kClasses; ++i) {
        seen += c.durations[i];
        if (seen >= need) return i < kBounds.size() ? kBounds[i] : kBounds.back();
    }
    return kBounds.back();
}

uint32_t CActivity::Average(const Cell& c) {
    return c.sessions ? static_cast<uint32_t>(c.total_ms / c.sessions) : 0;
}

std::string CActivity::Format(int64_t now) const {
    std::string out;
    const auto line = [&out](char scale, int64_t start, const Cell& c) {
        if (c.sessions == 0) return;
        out += scale;
        out += ' ' + std::to_string(start);
        for (uint32_t n : c.outcomes) out += ' ' + std::to_string(n);
        out += ' ' + std::to_string(c.sessions) + ' ' + std::to_string(c.total_ms);
        for (uint32_t n : c.durations) out += ' ' + std::to_string(n);
        out += '\n';
    };
    common::MutexLock lock(mu_);
    minutes_.ForEach(now / kMinute, [&](int64_t p, const Cell& c) { line('m', p, c); });
    hours_.ForEach(now / kHour, [&](int64_t p, const Cell& c) { line('h', p, c); });
    return out;
}

void CActivity::Parse(std::string_view text) {
    common::TimeRing<60, Cell> minutes;
    common::TimeRing<168, Cell> hours;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (line.size() < 2 || (line[0] != 'm' && line[0] != 'h') || line[1] != ' ') continue;
        uint64_t v[kFields] = {};
        size_t n = 1;
        const char* p = line.data() + 2;
        const char* end = line.data() + line.size();
        bool ok = true;
        while (p < end && ok) {
            if (n >= kFields) {
                ok = false;
                break;
            }
            const auto [next, ec] = std::from_chars(p, end, v[n]);
            ok = ec == std::errc() && (next == end || *next == ' ');
            p = next + (next == end ? 0 : 1);
            ++n;
        }
        // Every field present; the period a number a time can hold; counts that fit.
        if (!ok || n != kFields || v[1] > static_cast<uint64_t>(INT64_MAX / kHour)) continue;
        bool fits = true;
        for (size_t i = 2; i < kFields; ++i)
            if (i != 2 + kOutcomes + 1 && v[i] > UINT32_MAX) fits = false;
        if (!fits) continue;
        Cell c;
        for (size_t i = 0; i < kOutcomes; ++i) c.outcomes[i] = static_cast<uint32_t>(v[2 + i]);
        c.sessions = static_cast<uint32_t>(v[2 + kOutcomes]);
        c.total_ms = v[2 + kOutcomes + 1];
        for (size_t i = 0; i < kClasses; ++i) c.durations[i] = static_cast<uint32_t>(v[2 + kOutcomes + 2 + i]);
        if (c.sessions == 0) continue;
        Cell* slot = line[0] == 'm' ? minutes.At(static_cast<int64_t>(v[1])) : hours.At(static_cast<int64_t>(v[1]));
        if (slot) *slot = c;
    }
    common::MutexLock lock(mu_);
    minutes_ = minutes;
    hours_ = hours;
}

bool CActivity::Load(const std::string& path) {
    std::string text;
    if (!platform::ReadWholeFile(path, text)) return false;
    Parse(text);
    return true;
}

bool CActivity::Save(const std::string& path, int64_t now) const {
    return platform::WriteFileAtomic(path, Format(now));
}

}  // namespace core
