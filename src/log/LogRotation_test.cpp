#include "log/LogRotation.h"

#include <gtest/gtest.h>

namespace logging {
namespace {

constexpr int64_t kDay = 86400;

TEST(LogRotationTest, DailyRotationWithValueZeroCountsAsOne) {
    CLogRotation r;
    int64_t t0 = 20000 * kDay + 100;
    r.Set(2, 0, t0);
    EXPECT_EQ(r.Period(), kDay);
    EXPECT_FALSE(r.Check(t0 + 10, 0));
    EXPECT_TRUE(r.Check(t0 + kDay, 0)) << "a new day";
    EXPECT_FALSE(r.Check(t0 + kDay + 5, 0)) << "once per slot";
}

TEST(LogRotationTest, PeriodsOfEachType) {
    struct Case {
        int type, value;
        int64_t period;
    } cases[] = {{1, 3, 3 * 3600}, {2, 1, kDay}, {3, 2, 2 * 604800}, {4, 1, 2678400}};
    for (const Case& c : cases) {
        CLogRotation r;
        r.Set(c.type, c.value, 1000 * kDay);
        EXPECT_EQ(r.Period(), c.period) << "type " << c.type;
    }
}

TEST(LogRotationTest, SizeRotationAtTheLimit) {
    CLogRotation r;
    r.Set(5, 2, 0);
    EXPECT_FALSE(r.Check(1, (2 << 20) - 1));
    EXPECT_TRUE(r.Check(1, 2 << 20));
}

TEST(LogRotationTest, UnknownTypeKeepsThePreviousPeriod) {
    CLogRotation fresh;
    fresh.Set(9, 1, 100 * kDay);
    EXPECT_FALSE(fresh.Check(200 * kDay, 1LL << 40)) << "no period was ever set: nothing rotates";
    CLogRotation r;
    r.Set(1, 1, 100 * kDay);
    r.Set(7, 5, 100 * kDay);
    EXPECT_EQ(r.Period(), 3600);
    EXPECT_TRUE(r.Check(100 * kDay + 3600, 0));
}

}  // namespace
}  // namespace logging
