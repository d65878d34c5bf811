#pragma once
// CLogRotation: when the XML log is to be cut. Types 1-4 rotate when the wall clock enters a
// new period (hours, days, weeks, 31-day months, times the value); type 5 when the file has
// reached the value in megabytes. Main thread only.
#include <cstdint>

namespace logging {

class CLogRotation {
public:
    // A value of 0 counts as 1. A type outside 1..5 keeps the period set before; with none set
    // before, nothing rotates on time.
    void Set(int type, int value, int64_t now);
    // True when the log should rotate now; remembers the current slot either way.
    bool Check(int64_t now, int64_t log_size);

    int Type() const { return type_; }
    int64_t Period() const { return period_; }

private:
    int64_t period_ = 0;  // seconds; 0 = no time-based rotation
    int64_t last_slot_ = 0;
    int type_ = 1;
    int size_mb_ = 24;
};

}  // namespace logging
