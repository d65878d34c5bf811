#include "checks/RuleFit.h"

#include <algorithm>
#include <cmath>

namespace checks {

namespace {

double Sigmoid(double z) {
    return z >= 0 ? 1 / (1 + std::exp(-z)) : std::exp(z) / (1 + std::exp(z));
}

// Solves a x = b for a symmetric positive definite `a` (n x n, row-major) by Cholesky; false
// when it is not positive definite.
bool SolveSpd(std::vector<double> a, std::vector<double> b, size_t n, std::vector<double>* x) {
    for (size_t j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (size_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
        if (!(d > 0)) return false;
        const double l = std::sqrt(d);
        a[j * n + j] = l;
        for (size_t i = j + 1; i < n; ++i) {
            double s = a[i * n + j];
            for (size_t k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = s / l;
        }
    }
    for (size_t i = 0; i < n; ++i) {  // L y = b
        double s = b[i];
        for (size_t k = 0; k < i; ++k) s -= a[i * n + k] * b[k];
        b[i] = s / a[i * n + i];
    }
    for (size_t i = n; i-- > 0;) {  // L^T x = y
        double s = b[i];
        for (size_t k = i + 1; k < n; ++k) s -= a[k * n + i] * b[k];
        b[i] = s / a[i * n + i];
    }
    *x = std::move(b);
    return true;
}

double ValueAt(const FitSample& s, size_t i) {
    return s.value.empty() ? 1.0 : s.value[i];
}

// Newton's method on the weighted, L2-penalised log loss, from `w` (the features' weights and,
// last, the intercept, which is not penalised); the penalty pulls each weight toward its
// `prior`. Weights marked in `fixed` keep their value.
void Newton(const std::vector<FitSample>& samples, size_t rules, const FitOptions& options,
            const std::vector<char>& fixed, const std::vector<double>& prior, std::vector<double>& w) {
    const size_t n = rules + 1;
    double total_weight = 0;
    for (const FitSample& s : samples) total_weight += s.spam ? 1.0 : options.fp_weight;
    const double lambda = options.l2 * std::max(total_weight, 1.0) / std::max<size_t>(samples.size(), 1);
    std::vector<double> hess(n * n), grad(n), step;
    for (int it = 0; it < options.iterations; ++it) {
        std::fill(hess.begin(), hess.end(), 0.0);
        std::fill(grad.begin(), grad.end(), 0.0);
        for (const FitSample& s : samples) {
            double z = w[rules];
            for (size_t a = 0; a < s.matched.size(); ++a)
                if (s.matched[a] < rules) z += w[s.matched[a]] * ValueAt(s, a);
            const double p = Sigmoid(z);
            const double c = s.spam ? 1.0 : options.fp_weight;
            const double g = c * (p - (s.spam ? 1.0 : 0.0));
            const double h = c * p * (1 - p);
            grad[rules] += g;
            hess[rules * n + rules] += h;
            for (size_t a = 0; a < s.matched.size(); ++a) {
                const uint32_t j = s.matched[a];
                if (j >= rules || fixed[j]) continue;
                const double xj = ValueAt(s, a);
                grad[j] += g * xj;
                hess[j * n + rules] += h * xj;
                hess[rules * n + j] += h * xj;
                for (size_t b = 0; b < s.matched.size(); ++b) {
                    const uint32_t k = s.matched[b];
                    if (k < rules && !fixed[k]) hess[j * n + k] += h * xj * ValueAt(s, b);
                }
            }
        }
        for (size_t j = 0; j < rules; ++j) {
            if (fixed[j]) {  // a row of the identity and no gradient: the step leaves it be
                hess[j * n + j] = 1;
                continue;
            }
            grad[j] += lambda * (w[j] - prior[j]);
            hess[j * n + j] += lambda;
        }
        hess[rules * n + rules] += 1e-9;
        if (!SolveSpd(hess, grad, n, &step)) break;
        double largest = 0;
        for (size_t j = 0; j < n; ++j) {
            w[j] -= step[j];
            largest = std::max(largest, std::fabs(step[j]));
        }
        if (largest < 1e-7) break;
    }
}

double Bound(const std::vector<double>& bounds, size_t j) {
    return j < bounds.size() ? bounds[j] : std::nan("");
}

}  // namespace

FitResult FitRuleScores(const std::vector<FitSample>& samples, size_t rules, const FitOptions& options) {
    std::vector<double> w(rules + 1, 0.0);
    std::vector<char> fixed(rules, 0);
    std::vector<double> held_at(rules, 0.0);  // the points of a held weight
    FitResult r;
    r.points.assign(rules, 0.0);
    // A weight that leaves its bounds is held at the bound (in points, which depend on the
    // intercept) and the others are fitted again, until none leaves and the intercept settles.
    // The priors are in points too: until the first fit, the intercept is taken as the log
    // odds of the classes' weights.
    double spam_weight = 0, ham_weight = 0;
    for (const FitSample& s : samples) (s.spam ? spam_weight : ham_weight) += s.spam ? 1.0 : options.fp_weight;
    double last_bias = spam_weight > 0 && ham_weight > 0 ? std::log(spam_weight / ham_weight) : 0;
    std::vector<double> prior(rules, 0.0);
    for (size_t round = 0; round <= rules + 20; ++round) {
        for (size_t j = 0; j < rules && j < options.prior_points.size(); ++j)
            prior[j] = last_bias < 0 ? options.prior_points[j] * -last_bias / options.threshold : 0.0;
        Newton(samples, rules, options, fixed, prior, w);
        if (!(w[rules] < 0)) return r;
        const double scale = options.threshold / -w[rules];
        bool moved = std::fabs(w[rules] - last_bias) > 1e-6 * std::fabs(w[rules]);
        last_bias = w[rules];
        for (size_t j = 0; j < rules; ++j) {
            if (fixed[j]) {
                w[j] = held_at[j] / scale;
                continue;
            }
            const double lo = Bound(options.min_points, j), hi = Bound(options.max_points, j);
            const double points = w[j] * scale;
            const double limit = points > hi ? hi : points < lo ? lo : points;
            if (limit == points) continue;
            held_at[j] = limit;
            w[j] = limit / scale;
            fixed[j] = 1;
            moved = true;
        }
        if (!moved) break;
    }
    r.bias = w[rules];
    if (!(r.bias < 0)) return r;
    r.ok = true;
    for (size_t j = 0; j < rules; ++j) {
        double points = w[j] * options.threshold / -r.bias;
        const double lo = Bound(options.min_points, j), hi = Bound(options.max_points, j);
        if (points > hi) points = hi;
        if (points < lo) points = lo;
        r.points[j] = points;
    }
    return r;
}

double FitTotal(const FitSample& sample, const std::vector<double>& points) {
    double t = 0;
    for (size_t a = 0; a < sample.matched.size(); ++a)
        if (sample.matched[a] < points.size())
            t += points[sample.matched[a]] * (sample.value.empty() ? 1.0 : sample.value[a]);
    return t;
}

}  // namespace checks
