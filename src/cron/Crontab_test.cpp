#include "cron/Crontab.h"

#include <gtest/gtest.h>

namespace cron {
namespace {

std::tm At(int year, int mon, int mday, int hour, int min, int wday) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = mday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = 40;
    t.tm_wday = wday;
    return t;
}

// Minutes of one hour at which the minute field matches.
std::vector<int> Minutes(const char* field) {
    std::vector<int> out;
    for (int m = 0; m < 60; ++m)
        if (FieldMatches(field, m, kMinute)) out.push_back(m);
    return out;
}

TEST(CrontabTest, FieldRules) {
    EXPECT_EQ(Minutes("*").size(), 60u);
    EXPECT_EQ(Minutes("*/15"), (std::vector<int>{0, 15, 30, 45}));
    EXPECT_EQ(Minutes("*/0").size(), 60u) << "a step below 1 counts as 1";
    EXPECT_EQ(Minutes("5-10"), (std::vector<int>{5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(Minutes("0,30"), (std::vector<int>{0, 30}));
    EXPECT_EQ(Minutes("7"), (std::vector<int>{7}));
    EXPECT_EQ(Minutes("75-3"), (std::vector<int>{0, 1, 2, 3})) << "a start at or above the wrap starts at 0";
    EXPECT_TRUE(Minutes("1-x").empty());
    EXPECT_TRUE(Minutes("abc").empty());
    EXPECT_EQ(Minutes("1-5,20"), (std::vector<int>{1, 20})) << "list items read their leading digits";
    EXPECT_EQ(Minutes("x,20"), (std::vector<int>{0, 20})) << "an item without digits reads as 0";
    EXPECT_EQ(Minutes("99999999999999999999"), std::vector<int>{}) << "huge numbers saturate, never wrap";
    // A step counts from the field's minimum: days 1, 11, 21, 31.
    std::vector<int> days;
    for (int d = 1; d <= 31; ++d)
        if (FieldMatches("*/10", d, kDayOfMonth)) days.push_back(d);
    EXPECT_EQ(days, (std::vector<int>{1, 11, 21, 31}));
    EXPECT_FALSE(FieldMatches("7", 0, kDayOfWeek)) << "day of week 7 is not Sunday here";
}

TEST(CrontabTest, WholeSchedules) {
    std::string script;
    const std::tm sunday3 = At(2026, 12, 6, 3, 0, 0);
    EXPECT_TRUE(ScheduleDue("0 3 * * 0 weekly.cs", sunday3, &script));
    EXPECT_EQ(script, "weekly.cs");
    EXPECT_FALSE(ScheduleDue("0 3 * * 7 weekly.cs", sunday3, &script));
    EXPECT_FALSE(ScheduleDue("0 3 * * 0 weekly.cs", At(2026, 12, 7, 3, 0, 1), &script));
    EXPECT_FALSE(ScheduleDue("0  3 * * 0 weekly.cs", sunday3, &script)) << "two spaces: never due";
    EXPECT_FALSE(ScheduleDue("0 3 * * 0", sunday3, &script)) << "no script field";
    EXPECT_FALSE(ScheduleDue("0 3 * * 0 ", sunday3, &script)) << "empty script field";
    EXPECT_TRUE(ScheduleDue("* * 6 12 * x.cs", sunday3, &script)) << "day of month and month (1 = January)";
    EXPECT_FALSE(ScheduleDue("* * 6 11 * x.cs", sunday3, &script));
}

TEST(CrontabTest, FileFormat) {
    auto lines = ParseCrontab(
        "*/5 * * * * a.cs=first\r\n"
        "\n"
        "  =nothing\n"
        "0 * * * * b.cs\n"
        " 1 * * * * c.cs = third = extra \n"
        "2 * * * * d.cs=last");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].schedule, "*/5 * * * * a.cs");
    EXPECT_EQ(lines[0].id, "first");
    EXPECT_EQ(lines[1].id, "") << "no = gives an empty identifier";
    EXPECT_EQ(lines[2].schedule, "1 * * * * c.cs");
    EXPECT_EQ(lines[2].id, "third");
    EXPECT_EQ(lines[3].id, "last") << "a last line without a line feed is read";
    EXPECT_EQ(RenderCrontab(lines).substr(0, 24), "*/5 * * * * a.cs=first\n0");

    // Beyond 4096 bytes nothing is read, and the line cut by the limit is not read either.
    std::string big;
    while (big.size() < kCrontabMaxBytes - 10) big += "0 0 * * * x.cs=\n";
    big += "0 1 * * * cut.cs=cut\n0 2 * * * after.cs=after\n";
    bool truncated = false;
    auto cut = ParseCrontab(big, &truncated);
    EXPECT_TRUE(truncated);
    for (const CrontabLine& l : cut) EXPECT_EQ(l.schedule.find("cut"), std::string::npos);
    EXPECT_EQ(cut.back().schedule, "0 0 * * * x.cs");
}

TEST(CrontabTest, ScriptNamesStayInTheirFolder) {
    EXPECT_EQ(JobScriptName("../x/y\\z.cs"), "..xyz.cs");
    EXPECT_EQ(PlainScriptName("../clean.cs"), "clean.cs");
    EXPECT_EQ(PlainScriptName("~/..\\..//etc/passwd"), "etcpasswd");
    EXPECT_EQ(PlainScriptName("...."), "");
}

}  // namespace
}  // namespace cron
