#pragma once
// CStatitiche_Day: the day's counters (connections, firewall events, block-list hits, greylist
// and Bayes outcomes, and whatever scripts count), written every save period to the day's file
// "db/DAY_YYYY-MM-DD.stc" and started afresh when the local date changes.
//
// Every thread counts into the one object; every operation takes its lock. Files are written
// atomically.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "checks/Redis.h"
#include "common/ThreadSafety.h"

namespace checks {

struct StatCounter {
    std::string name;
    uint16_t type = 0;
    uint16_t sub_type = 0;
    float value = 0.0f;
};

// The .stc file: time (u32 LE), count N, then N times: name length L (1..32768), name, type
// (u16), sub-type (u16), value (f32). No magic, no checksum.
struct StatFile {
    uint32_t time = 0;
    std::vector<StatCounter> counters;
    bool damaged = false;  // a name length of 0 or over 32768 ended the read
};
std::string SerializeStats(uint32_t time, const std::vector<StatCounter>& counters);
StatFile ParseStats(std::string_view bytes);

// How AddItem combines the old value with the new one.
float CombineStat(float old, float value, int mode);

class CStatitiche_Day {
public:
    using TimeSource = int64_t (*)();

    // `app_path` is where "db/" lies; empty: a free-standing object (scripts' own).
    explicit CStatitiche_Day(std::string app_path = std::string(), TimeSource now = nullptr);

    // Loads today's file (the counters start empty when there is none).
    void Start();
    void AddItem(std::string_view name, int type, int sub_type, float value, int mode);
    void Reset();
    // Remembers `path` and reads it; false (counters unchanged) when it cannot be read.
    bool Load(const std::string& path);
    // Writes to the remembered path; false without a path or with nothing to write.
    [[nodiscard]] bool Save();
    // The core's periodic write: today's file, or, past midnight, the finished day's file and
    // a fresh start that keeps only "f1n_restart_service".
    void PeriodicWrite();

    // Sends what the additive counters (modes 1, 2, 4, 5) gained since the last flush to the
    // site's totals on Redis (`stats:YYYY-MM-DD`, one hash per day, kept 40 days), in one round trip;
    // the core calls it every few seconds. The local files are written as ever. What cannot be
    // sent now is kept for the next flush.
    void FlushShared(CRedis* redis);

    std::vector<StatCounter> Counters() const;
    std::optional<float> Value(std::string_view name) const;
    std::string DayFile() const;  // the current day's path
    static std::string DayName(int64_t when);

private:
    bool WriteLocked(const std::string& path) REQUIRES(mu_);
    int64_t Now() const;

    mutable common::Mutex mu_;
    std::string app_path_;
    TimeSource now_;
    std::vector<StatCounter> counters_ GUARDED_BY(mu_);
    std::unordered_map<std::string, size_t> index_ GUARDED_BY(mu_);
    uint32_t time_ GUARDED_BY(mu_) = 0;
    std::string day_ GUARDED_BY(mu_);
    std::string path_ GUARDED_BY(mu_);                                        // Load/Save's file
    std::unordered_map<std::string, double> shared_pending_ GUARDED_BY(mu_);  // for FlushShared
    bool track_shared_ GUARDED_BY(mu_) = false;                               // a flush ran: track
};

}  // namespace checks
