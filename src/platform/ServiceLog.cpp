#include "platform/ServiceLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "common/Clock.h"

namespace platform {

void ServiceLog::Write(const char* format, ...) {
    static std::mutex mu;
    char message[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    std::tm t = common::LocalTime(common::NowSeconds());
    std::scoped_lock lock(mu);
    if (to_stderr_) std::fprintf(stderr, "morvane: %s", message);
    FILE* f = std::fopen(path_.c_str(), "a");
    if (!f) return;
    std::fprintf(f, "%02d/%02d/%04d, %02d:%02d:%02d\n    %s", t.tm_mon + 1, t.tm_mday, t.tm_year + 1900, t.tm_hour,
                 t.tm_min, t.tm_sec, message);
    std::fclose(f);
}

}  // namespace platform
