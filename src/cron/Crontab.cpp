#include "cron/Crontab.h"

#include <cstdint>
#include <vector>

#include "common/Clock.h"

namespace cron {

namespace {

std::string_view TrimSpaces(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// The value of leading decimal digits, saturating well above any field's range; 0 without any.
int64_t LeadingNumber(std::string_view s) {
    int64_t n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') break;
        n = n * 10 + (c - '0');
        if (n > INT32_MAX) n = INT32_MAX;
    }
    return n;
}

std::string Without(std::string_view name, std::initializer_list<std::string_view> drop) {
    std::string out(name);
    for (std::string_view d : drop)
        for (size_t at; (at = out.find(d)) != std::string::npos;) out.erase(at, d.size());
    return out;
}

}  // namespace

std::vector<CrontabLine> ParseCrontab(std::string_view text, bool* truncated) {
    const bool cut = text.size() > kCrontabMaxBytes;
    if (truncated) *truncated = cut;
    if (cut) text = text.substr(0, kCrontabMaxBytes);
    std::vector<CrontabLine> out;
    while (!text.empty()) {
        size_t lf = text.find('\n');
        if (lf == std::string_view::npos && cut) break;  // the limit cut this line short
        std::string_view raw = text.substr(0, lf);
        text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
        std::string line;
        for (char c : raw)
            if (c != '\r') line += c;
        size_t eq = line.find('=');
        std::string_view schedule = TrimSpaces(std::string_view(line).substr(0, eq));
        if (schedule.empty()) continue;
        std::string_view id;
        if (eq != std::string::npos) {
            id = std::string_view(line).substr(eq + 1);
            id = TrimSpaces(id.substr(0, id.find('=')));
        }
        out.push_back({std::string(schedule), std::string(id)});
    }
    return out;
}

std::string RenderCrontab(const std::vector<CrontabLine>& lines) {
    std::string out;
    for (const CrontabLine& l : lines) out += l.schedule + "=" + l.id + "\n";
    return out;
}

bool FieldMatches(std::string_view field, int value, FieldRange range) {
    if (field == "*") return true;
    // "*/N" at the end of the field.
    if (size_t star = field.rfind("*/"); star != std::string_view::npos && AllDigits(field.substr(star + 2))) {
        int64_t step = LeadingNumber(field.substr(star + 2));
        if (step < 1) step = 1;
        return value >= range.min && value <= range.max && (value - range.min) % step == 0;
    }
    if (AllDigits(field)) return LeadingNumber(field) == value;
    if (field.find(',', 1) == std::string_view::npos) {
        size_t dash = field.find('-');
        if (dash == std::string_view::npos || !AllDigits(field.substr(0, dash)) || !AllDigits(field.substr(dash + 1)))
            return false;
        int64_t a = LeadingNumber(field.substr(0, dash)), b = LeadingNumber(field.substr(dash + 1));
        int64_t start = a < range.wrap ? a : 0;
        return start <= value && value <= b;
    }
    while (true) {
        size_t comma = field.find(',');
        if (LeadingNumber(field.substr(0, comma)) == value) return true;
        if (comma == std::string_view::npos) return false;
        field.remove_prefix(comma + 1);
    }
}

namespace {

// A number of the field's range: digits only.
bool InRange(std::string_view digits, FieldRange range) {
    if (digits.empty() || digits.size() > 2 || !AllDigits(digits)) return false;
    const int64_t v = LeadingNumber(digits);
    return v >= range.min && v <= range.max;
}

std::string FieldError(std::string_view field, const char* name, FieldRange range) {
    const std::string bad = "the " + std::string(name) + " field \"" + std::string(field) + "\" is not *, */N, " +
                            "a number, A-B or A,B,... within " + std::to_string(range.min) + "-" +
                            std::to_string(range.max);
    if (field == "*") return {};
    if (field.substr(0, 2) == "*/") {
        std::string_view step = field.substr(2);
        if (step.empty() || step.size() > 2 || !AllDigits(step) || LeadingNumber(step) < 1 ||
            LeadingNumber(step) > range.max)
            return bad;
        return {};
    }
    if (size_t dash = field.find('-'); dash != std::string_view::npos) {
        std::string_view a = field.substr(0, dash), b = field.substr(dash + 1);
        if (!InRange(a, range) || !InRange(b, range) || LeadingNumber(a) > LeadingNumber(b)) return bad;
        return {};
    }
    for (std::string_view rest = field;;) {
        size_t comma = rest.find(',');
        if (!InRange(rest.substr(0, comma), range)) return bad;
        if (comma == std::string_view::npos) return {};
        rest.remove_prefix(comma + 1);
    }
}

}  // namespace

std::string ScheduleError(std::string_view schedule) {
    std::vector<std::string_view> fields;
    for (size_t at = 0;;) {
        size_t sp = schedule.find(' ', at);
        fields.push_back(schedule.substr(at, sp == std::string_view::npos ? std::string_view::npos : sp - at));
        if (sp == std::string_view::npos) break;
        at = sp + 1;
    }
    if (fields.size() != 6)
        return "a schedule is five time fields and a script, one blank between each (\"0 3 * * * daily.cs\")";
    static const char* names[] = {"minute", "hour", "day-of-month", "month", "day-of-week"};
    static const FieldRange ranges[] = {kMinute, kHour, kDayOfMonth, kMonth, kDayOfWeek};
    for (int i = 0; i < 5; ++i)
        if (std::string why = FieldError(fields[static_cast<size_t>(i)], names[i], ranges[i]); !why.empty()) return why;
    if (fields[5].empty() || PlainScriptName(fields[5]) != fields[5] || fields[5].find('=') != std::string_view::npos)
        return "the script \"" + std::string(fields[5]) + "\" is not a plain file name of scripts/cron/";
    return {};
}

int64_t NextDue(std::string_view schedule, int64_t now) {
    constexpr int64_t kLookAheadMinutes = 31 * 24 * 60;
    int64_t minute = (now / 60 + 1) * 60;
    for (int64_t i = 0; i < kLookAheadMinutes; ++i, minute += 60)
        if (ScheduleDue(schedule, common::LocalTime(minute), nullptr)) return minute;
    return 0;
}

bool ScheduleDue(std::string_view schedule, const std::tm& t, std::string* script) {
    std::string_view fields[6];
    int n = 0;
    while (n < 6) {
        size_t sp = schedule.find(' ');
        std::string_view f = schedule.substr(0, sp);
        if (f.empty()) break;  // two spaces in a row, or a space at the end
        fields[n++] = f;
        if (sp == std::string_view::npos) break;
        schedule.remove_prefix(sp + 1);
    }
    if (n < 6) return false;
    if (script) *script = std::string(fields[5]);
    return FieldMatches(fields[0], t.tm_min, kMinute) && FieldMatches(fields[1], t.tm_hour, kHour) &&
           FieldMatches(fields[2], t.tm_mday, kDayOfMonth) && FieldMatches(fields[3], t.tm_mon + 1, kMonth) &&
           FieldMatches(fields[4], t.tm_wday, kDayOfWeek);
}

std::string JobScriptName(std::string_view name) {
    return Without(name, {"/", "\\"});
}

std::string PlainScriptName(std::string_view name) {
    return Without(name, {"..", "~", "\\", "/"});
}

}  // namespace cron
