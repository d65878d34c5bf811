#pragma once
// Scores for rules fitted on labelled mail: a logistic regression over which rules matched each
// message, with an L2 penalty (so that a rule seen on a handful of messages gets a modest
// score) and ham weighed `fp_weight` times a spam (so that the fit prefers missing spam to
// tagging ham). The fitted weights are scaled into points so that a message's total reaches
// `threshold` exactly where the model's spam probability reaches one half.
//
// Bounds keep a fit honest where the mail is thin: a rule written as evidence of spam need not
// turn into evidence of ham (which a spammer could then buy by adding its words), and a rule
// never seen on the fitting ham need not reach the threshold on its own.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace checks {

struct FitSample {
    std::vector<uint32_t> matched;  // indices of the features present (rules that matched)
    std::vector<double> value;      // each one's value, parallel to `matched`; empty: all 1
    bool spam = false;
};

struct FitOptions {
    double fp_weight = 10;
    double l2 = 0.02;        // per rule, relative to the total sample weight
    double threshold = 5.0;  // score_for_spam
    int iterations = 50;     // Newton steps; a handful usually suffice
    // Per feature, in points: where the penalty pulls it (the score a rule was written with, so
    // that a rule the mail says little about keeps it; empty: 0), and its bounds (empty, or
    // NaN for a feature, leaves that side free).
    std::vector<double> prior_points;
    std::vector<double> min_points, max_points;
};

struct FitResult {
    std::vector<double> points;  // per rule
    double bias = 0;             // the model's intercept (logit units), negative when ham prevails
    bool ok = false;             // false when the mail gives no ham-leaning intercept to scale by
};

FitResult FitRuleScores(const std::vector<FitSample>& samples, size_t rules, const FitOptions& options);

// The total of a sample under `points`.
double FitTotal(const FitSample& sample, const std::vector<double>& points);

}  // namespace checks
