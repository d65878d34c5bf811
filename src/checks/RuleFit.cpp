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

}  // namespace

double FitTotal(const FitSample& sample, const std::vector<double>& points) {
    double t = 0;
    for (uint32_t j : sample.matched)
        if (j < points.size()) t += points[j];
    return t;
}

FitResult FitRuleScores(const std::vector<FitSample>& samples, size_t rules, const FitOptions& options) {
    // Newton's method on the weighted, L2-penalised log loss. The unknowns are the rules'
    // weights and, last, the intercept (not penalised).
    const size_t n = rules + 1;
    std::vector<double> w(n, 0.0);
    double total_weight = 0;
    for (const FitSample& s : samples) total_weight += s.spam ? 1.0 : options.fp_weight;
    const double lambda = options.l2 * std::max(total_weight, 1.0) / std::max<size_t>(samples.size(), 1);
    std::vector<double> hess(n * n), grad(n), step;
    for (int it = 0; it < options.iterations; ++it) {
        std::fill(hess.begin(), hess.end(), 0.0);
        std::fill(grad.begin(), grad.end(), 0.0);
        for (const FitSample& s : samples) {
            double z = w[rules];
            for (uint32_t j : s.matched)
                if (j < rules) z += w[j];
            const double p = Sigmoid(z);
            const double c = s.spam ? 1.0 : options.fp_weight;
            const double g = c * (p - (s.spam ? 1.0 : 0.0));
            const double h = c * p * (1 - p);
            grad[rules] += g;
            hess[rules * n + rules] += h;
            for (uint32_t j : s.matched) {
                if (j >= rules) continue;
                grad[j] += g;
                hess[j * n + rules] += h;
                hess[rules * n + j] += h;
                for (uint32_t k : s.matched)
                    if (k < rules) hess[j * n + k] += h;
            }
        }
        for (size_t j = 0; j < rules; ++j) {
            grad[j] += lambda * w[j];
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
    FitResult r;
    r.bias = w[rules];
    r.points.assign(rules, 0.0);
    if (!(r.bias < 0)) return r;
    r.ok = true;
    for (size_t j = 0; j < rules; ++j) r.points[j] = w[j] * options.threshold / -r.bias;
    return r;
}

}  // namespace checks
