#pragma once
// The dashboard's live figures: sessions per minute over the last hour and per hour over the
// last week, by what became of them (delivered, tagged, refused, greylisted, held), with their
// average and 95th-percentile duration. Fed by every session's end (the same point that writes
// its history record); kept in two rings of fixed size, so recording is a few additions under
// a lock no reader holds for long; saved with the kernel's tables to outlive a restart.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/ThreadSafety.h"
#include "common/TimeRing.h"

namespace core {

class CActivity {
public:
    enum Outcome : uint8_t { kDelivered, kTagged, kRefused, kGreylisted, kHeld, kOutcomes };
    // Duration classes by upper bound in milliseconds (1-2-5 steps); the last is open.
    static constexpr std::array<uint32_t, 19> kBounds = {
        1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000, 100000, 200000, 500000, 1000000};
    static constexpr size_t kClasses = kBounds.size() + 1;

    struct Cell {
        std::array<uint32_t, kOutcomes> outcomes{};
        uint32_t sessions = 0;
        uint64_t total_ms = 0;
        std::array<uint32_t, kClasses> durations{};
    };
    struct Point {
        int64_t start = 0;  // seconds since 1970
        Cell cell;
    };

    // A session's end: its history action ("delivered", "tagged", "refused", "greylisted",
    // "held"; any other counts as a session only) and duration.
    void Record(int64_t now, std::string_view action, uint32_t duration_ms);
    std::vector<Point> Minutes(int64_t now) const;  // 60, oldest first
    std::vector<Point> Hours(int64_t now) const;    // 168, oldest first

    // The 95th percentile of a cell's durations: the upper bound of the class it falls in
    // (the last class's lower bound when it is there), 0 without sessions.
    static uint32_t P95(const Cell& c);
    static uint32_t Average(const Cell& c);

    // The file: a line per period that has sessions, "m|h PERIOD OUTCOMES... SESSIONS TOTAL_MS
    // CLASSES..." (numbers separated by blanks; PERIOD is seconds since 1970 / 60 or / 3600). Parse replaces the figures and skips malformed
    // lines.
    void Parse(std::string_view text);
    std::string Format(int64_t now) const;
    bool Load(const std::string& path);
    [[nodiscard]] bool Save(const std::string& path, int64_t now) const;

private:
    static void Add(Cell& c, int outcome, uint32_t duration_ms);
    mutable common::Mutex mu_;
    common::TimeRing<60, Cell> minutes_ GUARDED_BY(mu_);
    common::TimeRing<168, Cell> hours_ GUARDED_BY(mu_);
};

}  // namespace core
