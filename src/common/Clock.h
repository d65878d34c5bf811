#pragma once
// Clocks of the kernel: wall-clock seconds since 1970 for schedules, expiry and anything
// stored or shown, and monotonic clocks for time-outs, deadlines and sweeps. All are safe from
// any thread.
#include <cstdint>
#include <ctime>

namespace common {

// Milliseconds of a monotonic tick, wrapping at 2^32 like the platform's tick counter.
uint32_t TickCount();

// The process millisecond clock: milliseconds since its first use. When the count would reach
// 0x7FFFFFFF it starts again from 0, so callers that store it in an int never see it overflow.
// Callers compare with "now < last ⇒ restart the interval" to survive that restart.
int32_t ProcessMillis();

// Milliseconds of a monotonic clock that never wraps, for deadlines.
int64_t SteadyMillis();
// Its seconds: every time-out and deadline counts on it, so a step of the wall clock (an NTP
// correction, an operator's date) neither fires nor suppresses one.
inline int64_t SteadySeconds() {
    return SteadyMillis() / 1000;
}

// Seconds since 1970.
inline int64_t NowSeconds() {
    return static_cast<int64_t>(::time(nullptr));
}

// Local calendar time of `t`, thread-safe.
std::tm LocalTime(int64_t t);

}  // namespace common
