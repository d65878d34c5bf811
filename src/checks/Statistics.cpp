#include "checks/Statistics.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/Clock.h"
#include "common/Coding.h"
#include "platform/KFile.h"
#include "store/SaveFailures.h"

namespace checks {

namespace {

constexpr uint32_t kMaxNameLength = 32768;

void PutU32(std::string& out, uint32_t v) {
    common::PutLe32(out, v);
}
void PutU16(std::string& out, uint16_t v) {
    common::PutLe16(out, v);
}
std::optional<uint32_t> TakeU32(std::string_view& in) {
    if (in.size() < 4) return std::nullopt;
    uint32_t v = common::GetLe32(in, 0);
    in.remove_prefix(4);
    return v;
}
std::optional<uint16_t> TakeU16(std::string_view& in) {
    if (in.size() < 2) return std::nullopt;
    uint16_t v = common::GetLe16(in, 0);
    in.remove_prefix(2);
    return v;
}

}  // namespace

std::string SerializeStats(uint32_t time, const std::vector<StatCounter>& counters) {
    std::string out;
    PutU32(out, time);
    PutU32(out, static_cast<uint32_t>(counters.size()));
    for (const StatCounter& c : counters) {
        PutU32(out, static_cast<uint32_t>(c.name.size()));
        out += c.name;
        PutU16(out, c.type);
        PutU16(out, c.sub_type);
        uint32_t bits;
        std::memcpy(&bits, &c.value, 4);
        PutU32(out, bits);
    }
    return out;
}

StatFile ParseStats(std::string_view in) {
    StatFile f;
    auto time = TakeU32(in);
    auto count = time ? TakeU32(in) : std::nullopt;
    if (!count) return f;
    f.time = *time;
    for (uint32_t i = 0; i < *count; ++i) {
        auto len = TakeU32(in);
        if (!len) break;  // cut short: what was read stands
        if (*len == 0 || *len > kMaxNameLength) {
            f.damaged = true;
            f.counters.clear();
            break;
        }
        if (in.size() < *len) break;
        StatCounter c;
        c.name = std::string(in.substr(0, *len));
        in.remove_prefix(*len);
        auto type = TakeU16(in);
        auto sub = type ? TakeU16(in) : std::nullopt;
        auto bits = sub ? TakeU32(in) : std::nullopt;
        if (!bits) break;
        c.type = *type;
        c.sub_type = *sub;
        std::memcpy(&c.value, &*bits, 4);
        f.counters.push_back(std::move(c));
    }
    return f;
}

float CombineStat(float old, float value, int mode) {
    switch (mode) {
        case 1: return old + 1;
        case 2: return old - 1;
        case 3: return value;
        case 4: return old + value;
        case 5: return old - value;
        case 6: return old > value ? old : value;
        case 7: return old < value ? old : value;
        default: return old;
    }
}

CStatitiche_Day::CStatitiche_Day(std::string app_path, TimeSource now)
    : app_path_(std::move(app_path)), now_(now ? now : &common::NowSeconds) {}

int64_t CStatitiche_Day::Now() const {
    return now_();
}

std::string CStatitiche_Day::DayName(int64_t when) {
    std::tm t = common::LocalTime(when);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d.stc", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return buf;
}

std::string CStatitiche_Day::DayFile() const {
    common::MutexLock lock(mu_);
    std::string path = app_path_ + "/db/DAY_" + day_;
    for (size_t at; (at = path.find("//")) != std::string::npos;) path.erase(at, 1);
    return path;
}

void CStatitiche_Day::Start() {
    {
        common::MutexLock lock(mu_);
        day_ = DayName(Now());
    }
    Load(DayFile());
    common::MutexLock lock(mu_);
    path_.clear();
}

void CStatitiche_Day::AddItem(std::string_view name, int type, int sub_type, float value, int mode) {
    if (name.empty()) return;
    common::MutexLock lock(mu_);
    if (track_shared_ && mode >= 1 && mode <= 5 && mode != 3)
        shared_pending_[std::string(name)] += mode == 1 ? 1.0 : mode == 2 ? -1.0 : mode == 4 ? value : -value;
    auto it = index_.find(std::string(name));
    if (it == index_.end()) {
        index_.emplace(std::string(name), counters_.size());
        counters_.push_back({std::string(name), static_cast<uint16_t>(type), static_cast<uint16_t>(sub_type),
                             CombineStat(0.0f, value, mode)});
        return;
    }
    StatCounter& c = counters_[it->second];
    c.type = static_cast<uint16_t>(type);
    c.sub_type = static_cast<uint16_t>(sub_type);
    c.value = CombineStat(c.value, value, mode);
}

void CStatitiche_Day::FlushShared(CRedis* redis) {
    std::unordered_map<std::string, double> pending;
    std::string day;
    {
        common::MutexLock lock(mu_);
        track_shared_ = redis != nullptr && redis->Enabled();
        pending.swap(shared_pending_);
        day = DayName(Now());
    }
    if (pending.empty() || redis == nullptr) return;
    day = day.substr(0, day.find('.'));  // "2026-12-09", without the file's extension
    const std::string key = redis->Key("stats", day);
    std::vector<std::vector<std::string>> commands;
    for (const auto& [name, delta] : pending) {
        char v[32];
        std::snprintf(v, sizeof v, "%.6g", delta);
        commands.push_back({"HINCRBYFLOAT", key, name, v});
    }
    commands.push_back({"EXPIRE", key, std::to_string(40 * 86400)});
    if (redis->Run(commands)) return;
    // Not sent: kept, and added to what comes meanwhile, up to a bound (counter names carry
    // addresses, and Redis may stay away for long).
    constexpr size_t kMaxPending = 10000;
    common::MutexLock lock(mu_);
    for (const auto& [name, delta] : pending)
        if (shared_pending_.size() < kMaxPending || shared_pending_.count(name)) shared_pending_[name] += delta;
}

void CStatitiche_Day::Reset() {
    common::MutexLock lock(mu_);
    counters_.clear();
    index_.clear();
}

bool CStatitiche_Day::Load(const std::string& path) {
    std::string bytes;
    {
        common::MutexLock lock(mu_);
        path_ = path;
    }
    if (!platform::IsRegularFile(path) || !platform::ReadWholeFile(path, bytes)) return false;
    StatFile f = ParseStats(bytes);
    common::MutexLock lock(mu_);
    counters_ = std::move(f.counters);
    index_.clear();
    for (size_t i = 0; i < counters_.size(); ++i) index_.emplace(counters_[i].name, i);
    time_ = f.damaged ? static_cast<uint32_t>(Now()) : f.time;
    return true;
}

bool CStatitiche_Day::WriteLocked(const std::string& path) {
    if (time_ == 0) time_ = static_cast<uint32_t>(Now());
    if (counters_.empty() || path.empty()) return false;
    if (platform::WriteFileAtomic(path, SerializeStats(time_, counters_))) return true;
    store::ReportSaveFailure(path, errno);
    return false;
}

bool CStatitiche_Day::Save() {
    common::MutexLock lock(mu_);
    return WriteLocked(path_);
}

void CStatitiche_Day::PeriodicWrite() {
    const int64_t now = Now();
    const std::string today = DayName(now);
    std::string finished_path = DayFile();
    common::MutexLock lock(mu_);
    if (today != day_) {
        // The finished day's counters go to the finished day's file: its last period is not
        // lost, and the new day starts clean.
        time_ = static_cast<uint32_t>(now - 600);
        WriteLocked(finished_path);
        day_ = today;
        float restart = 0.0f;
        auto it = index_.find("f1n_restart_service");
        if (it != index_.end()) restart = counters_[it->second].value;
        counters_.clear();
        index_.clear();
        index_.emplace("f1n_restart_service", 0);
        counters_.push_back({"f1n_restart_service", 1, 0, restart});
        return;
    }
    time_ = static_cast<uint32_t>(now);
    WriteLocked(finished_path);
}

std::vector<StatCounter> CStatitiche_Day::Counters() const {
    common::MutexLock lock(mu_);
    return counters_;
}

std::optional<float> CStatitiche_Day::Value(std::string_view name) const {
    common::MutexLock lock(mu_);
    auto it = index_.find(std::string(name));
    if (it == index_.end()) return std::nullopt;
    return counters_[it->second].value;
}

}  // namespace checks
