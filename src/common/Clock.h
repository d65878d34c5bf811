#pragma once
// Clocks of the kernel. Two are in use, as the main loop and the engines expect:
// wall-clock seconds since 1970 for schedules and expiry, and a millisecond counter for short
// sweeps. Both are safe from any thread.
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

// Seconds since 1970.
inline int64_t NowSeconds() {
    return static_cast<int64_t>(::time(nullptr));
}

// Local calendar time of `t`, thread-safe.
std::tm LocalTime(int64_t t);

}  // namespace common
