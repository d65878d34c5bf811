#pragma once
// The crontab file and the schedule rules of the cron scheduler: "scripts/cron/morvane.crontab",
// one job per line, "MIN HOUR DOM MON DOW SCRIPT=ID". The matching rules are the scheduler's own
// (not those of cron(8)): a step counts from the field's minimum, "a-b" starts at 0 when a is out
// of range, a list item reads its leading digits, and two spaces in a row make a line never due.
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace cron {

inline constexpr size_t kCrontabMaxBytes = 4096;

struct CrontabLine {
    std::string schedule;  // the five time fields and the script, before "="
    std::string id;        // after the first "=", may be empty
};

// The lines of a crontab's text: at most its first kCrontabMaxBytes bytes, CR removed, each side
// of "=" trimmed of spaces, lines with an empty schedule skipped. A last line without a line
// feed is read like the others when the text ends there; a line cut by the byte limit is not.
// `truncated` tells whether the limit cut the text.
std::vector<CrontabLine> ParseCrontab(std::string_view text, bool* truncated = nullptr);

// The file's text as written back: "schedule=id\n" per job.
std::string RenderCrontab(const std::vector<CrontabLine>& lines);

// Field bounds: min, max, and the wrap value that puts a range's start back to 0.
struct FieldRange {
    int min, max, wrap;
};
inline constexpr FieldRange kMinute{0, 59, 60}, kHour{0, 23, 24}, kDayOfMonth{1, 31, 32}, kMonth{1, 12, 13},
    kDayOfWeek{0, 6, 7};

bool FieldMatches(std::string_view field, int value, FieldRange range);

// True when the five time fields match local time `t` and the script field is not empty; the
// script field goes to `script`.
bool ScheduleDue(std::string_view schedule, const std::tm& t, std::string* script);

// The start of the first minute after `now` (seconds since 1970) in which `schedule` is due in
// local time, looking up to 31 days ahead; 0 when it is not due in that time.
int64_t NextDue(std::string_view schedule, int64_t now);

// Why `schedule` ("MIN HOUR DOM MON DOW SCRIPT", one blank between fields) would never run as
// meant, or "": each time field is "*", "*/N", a number, "A-B" or a list "A,B,..." inside the
// field's range, and the script a plain file name.
std::string ScheduleError(std::string_view schedule);

// The script name as a job runs it: every "/" and "\" removed.
std::string JobScriptName(std::string_view name);
// The script name as RunScript takes it: every "..", "~", "\" and "/" removed, so only files
// directly in the scripts' own folder are reached.
std::string PlainScriptName(std::string_view name);

}  // namespace cron
