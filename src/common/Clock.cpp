#include "common/Clock.h"

#include <atomic>
#include <chrono>
#include <mutex>

namespace common {

uint32_t TickCount() {
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(ms.count());
}

int64_t SteadyMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int32_t ProcessMillis() {
    static std::mutex mu;
    static bool started = false;
    static uint32_t base = 0;
    std::scoped_lock lock(mu);
    uint32_t now = TickCount();
    if (!started) {
        started = true;
        base = now;
    }
    uint32_t elapsed = now - base;  // unsigned: survives the tick's own wrap
    if (elapsed >= 0x7FFFFFFFu) {
        base = now;
        return 0;
    }
    return static_cast<int32_t>(elapsed);
}

std::tm LocalTime(int64_t t) {
    std::tm out{};
    time_t tt = static_cast<time_t>(t);
    localtime_r(&tt, &out);
    return out;
}

}  // namespace common
