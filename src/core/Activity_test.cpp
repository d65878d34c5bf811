#include "core/Activity.h"

#include <gtest/gtest.h>

namespace core {
namespace {

constexpr int64_t kNow = 1'800'001'830;  // half past the hour, half past the minute

TEST(ActivityTest, SessionsLandInTheirMinuteAndHourByOutcome) {
    CActivity a;
    a.Record(kNow, "delivered", 120);
    a.Record(kNow, "tagged", 80);
    a.Record(kNow - 61, "refused", 5);      // the minute before
    a.Record(kNow - 3601, "held", 3000);    // the hour before
    a.Record(kNow, "tempfail", 10);         // a session, no outcome of the chart
    a.Record(kNow - 3700 * 2, "bogus", 1);  // two hours back
    const auto minutes = a.Minutes(kNow);
    ASSERT_EQ(minutes.size(), 60u);
    EXPECT_EQ(minutes.back().start, kNow / 60 * 60);
    const CActivity::Cell& now = minutes.back().cell;
    EXPECT_EQ(now.sessions, 3u);
    EXPECT_EQ(now.outcomes[CActivity::kDelivered], 1u);
    EXPECT_EQ(now.outcomes[CActivity::kTagged], 1u);
    EXPECT_EQ(minutes[58].cell.outcomes[CActivity::kRefused], 1u);
    EXPECT_EQ(minutes[0].cell.sessions, 0u) << "an hour ago is out of the minutes";
    const auto hours = a.Hours(kNow);
    ASSERT_EQ(hours.size(), 168u);
    EXPECT_EQ(hours.back().cell.sessions + hours[166].cell.sessions + hours[165].cell.sessions, 6u);
    EXPECT_EQ(hours[166].cell.outcomes[CActivity::kHeld], 1u);
    // A late figure for a minute the ring has passed leaves the newer minute in its slot alone.
    a.Record(kNow - 3600, "refused", 1);
    EXPECT_EQ(a.Minutes(kNow).back().cell.sessions, 3u);
    // A week later every slot reads empty, though none was swept.
    for (const auto& p : a.Hours(kNow + 168 * 3600)) EXPECT_EQ(p.cell.sessions, 0u);
}

TEST(ActivityTest, AverageAndP95FromDurationClasses) {
    CActivity::Cell c;
    EXPECT_EQ(CActivity::P95(c), 0u);
    CActivity a;
    for (int i = 0; i < 95; ++i) a.Record(kNow, "delivered", 40);   // class <= 50
    for (int i = 0; i < 5; ++i) a.Record(kNow, "delivered", 4000);  // class <= 5000
    c = a.Minutes(kNow).back().cell;
    EXPECT_EQ(CActivity::P95(c), 50u) << "95 of 100 are at most 50 ms";
    EXPECT_EQ(CActivity::Average(c), (95u * 40 + 5 * 4000) / 100);
    a.Record(kNow, "delivered", 4'000'000'000u);  // beyond the last bound
    c = a.Minutes(kNow).back().cell;
    EXPECT_EQ(c.durations.back(), 1u);
}

TEST(ActivityTest, TheFileKeepsWhatTheWindowsShow) {
    CActivity a;
    a.Record(kNow, "delivered", 120);
    a.Record(kNow - 7200, "greylisted", 30);
    const std::string text = a.Format(kNow);
    CActivity b;
    b.Parse(text + "m 1 2 3\nx 1\nh 99999999999999999999 0 0 0 0 0 1 1\n");
    EXPECT_EQ(b.Format(kNow), text) << "malformed lines are skipped";
    EXPECT_EQ(b.Hours(kNow)[165].cell.outcomes[CActivity::kGreylisted], 1u);
    b.Parse("");
    EXPECT_EQ(b.Format(kNow), "") << "a parse replaces the figures";
}

}  // namespace
}  // namespace core
