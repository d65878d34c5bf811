// The crontab reader and the schedule rules on any text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cron/Crontab.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::tm t{};
    t.tm_mday = 1 + static_cast<int>(size % 31);
    t.tm_min = static_cast<int>(size % 60);
    t.tm_wday = static_cast<int>(size % 7);
    for (const cron::CrontabLine& l : cron::ParseCrontab(text)) {
        std::string script;
        cron::ScheduleDue(l.schedule, t, &script);
        cron::PlainScriptName(script);
    }
    return 0;
}
