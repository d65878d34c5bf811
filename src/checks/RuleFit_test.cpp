#include "checks/RuleFit.h"

#include <gtest/gtest.h>

#include <cmath>

namespace checks {
namespace {

// Rule 0 marks spam, rule 1 marks ham, rule 2 is noise on both, rule 3 never matches.
std::vector<FitSample> Synthetic() {
    std::vector<FitSample> out;
    uint64_t x = 42;
    auto next = [&x] {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(x >> 11) / 9007199254740992.0;
    };
    for (int i = 0; i < 1200; ++i) {
        FitSample s;
        s.spam = i % 4 == 0;
        if (s.spam && next() < 0.8) s.matched.push_back(0);
        if (!s.spam && next() < 0.5) s.matched.push_back(1);
        if (!s.spam && next() < 0.01) s.matched.push_back(0);  // a little overlap: no perfect split
        if (next() < 0.3) s.matched.push_back(2);
        out.push_back(s);
    }
    return out;
}

TEST(RuleFit, RecoversTheSignsOfKnownFeatures) {
    const std::vector<FitSample> samples = Synthetic();
    FitOptions o;
    const FitResult r = FitRuleScores(samples, 4, o);
    ASSERT_TRUE(r.ok);
    EXPECT_LT(r.bias, 0);
    EXPECT_GT(r.points[0], 0);
    EXPECT_LT(r.points[1], 0);
    EXPECT_LT(std::fabs(r.points[2]), 0.25 * r.points[0]);
    EXPECT_EQ(r.points[3], 0.0);
    // At the threshold: most spam caught, and weighing false positives keeps ham out.
    int spam = 0, caught = 0, fp = 0;
    for (const FitSample& s : samples) {
        const bool tagged = FitTotal(s, r.points) >= o.threshold;
        spam += s.spam;
        caught += s.spam && tagged;
        fp += !s.spam && tagged;
    }
    EXPECT_GT(caught, spam * 7 / 10);
    EXPECT_LE(fp, 3);
    // Weighing ham more makes the fit more careful, never less.
    o.fp_weight = 100;
    const FitResult careful = FitRuleScores(samples, 4, o);
    int careful_fp = 0;
    for (const FitSample& s : samples) careful_fp += !s.spam && FitTotal(s, careful.points) >= o.threshold;
    EXPECT_LE(careful_fp, fp);
}

TEST(RuleFit, BoundsHoldAndGradedFeaturesCount) {
    std::vector<FitSample> samples = Synthetic();
    FitOptions o;
    o.max_points = {2.0};
    o.min_points = {NAN, 0.0};
    const FitResult bounded = FitRuleScores(samples, 4, o);
    ASSERT_TRUE(bounded.ok);
    EXPECT_NEAR(bounded.points[0], 2.0, 1e-9);  // it wants far more, and is held
    EXPECT_EQ(bounded.points[1], 0.0);          // a ham sign, not allowed below 0
    // A graded feature (rule 4, a value in [0,1] that runs higher on spam) is fitted by its
    // value: the points it gives a sample grow with it.
    uint64_t x = 7;
    for (FitSample& s : samples) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        const double u = static_cast<double>(x >> 11) / 9007199254740992.0;
        s.value.assign(s.matched.size(), 1.0);
        s.matched.push_back(4);
        s.value.push_back(s.spam ? 0.5 + 0.5 * u : 0.6 * u);
    }
    const FitResult graded = FitRuleScores(samples, 5, FitOptions{});
    ASSERT_TRUE(graded.ok);
    EXPECT_GT(graded.points[4], 0);
    FitSample low{{4}, {0.1}, true}, high{{4}, {0.9}, true};
    EXPECT_LT(FitTotal(low, graded.points), FitTotal(high, graded.points));
}

TEST(RuleFit, MailWithoutAHamMajorityCannotBeScaled) {
    std::vector<FitSample> all_spam(50);
    for (FitSample& s : all_spam) s.spam = true;
    EXPECT_FALSE(FitRuleScores(all_spam, 2, FitOptions{}).ok);
    EXPECT_FALSE(FitRuleScores({}, 2, FitOptions{}).ok);
}

}  // namespace
}  // namespace checks
