#pragma once
// The kernel's figures for a monitoring scraper, in the Prometheus text exposition format
// (version 0.0.4). Counting is on the sessions' threads and must cost next to nothing: a series
// is a few atomics, found once by its label value and then kept by the caller; only the first
// use of a label value takes its family's lock. Figures that already live elsewhere (sessions
// open, table sizes, the resolver's counters) are read when the scrape asks, by collectors, so
// nothing counts them twice.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/ThreadSafety.h"

namespace common::metrics {

enum class Kind { kCounter, kGauge, kHistogram };

// One label value's figures. A counter or gauge uses `Add`/`Set`; a histogram `Observe`.
class Series {
public:
    explicit Series(const std::vector<double>* bounds);
    void Add(double v = 1) { value_.fetch_add(v, std::memory_order_relaxed); }
    void Set(double v) { value_.store(v, std::memory_order_relaxed); }
    void Observe(double v);
    double Value() const { return value_.load(std::memory_order_relaxed); }
    uint64_t Count() const { return count_.load(std::memory_order_relaxed); }

private:
    friend class Family;
    std::atomic<double> value_{0};  // a histogram's sum
    std::atomic<uint64_t> count_{0};
    const std::vector<double>* bounds_;
    std::unique_ptr<std::atomic<uint64_t>[]> buckets_;  // one per bound, not cumulative
};

// A metric name with its help, type and at most one label. Series live as long as the family.
class Family {
public:
    Family(std::string name, std::string help, Kind kind, std::string label, std::vector<double> bounds);
    // The series of a label value (the one series when the family has no label).
    Series& With(std::string_view label_value = {});
    void Render(std::string& out) const;
    const std::string& Name() const { return name_; }

private:
    const std::string name_, help_, label_;
    const Kind kind_;
    const std::vector<double> bounds_;
    mutable Mutex mu_;
    std::map<std::string, std::unique_ptr<Series>, std::less<>> series_ GUARDED_BY(mu_);
};

// What a collector writes at scrape time: a family's head, then its samples.
class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}
    void Head(std::string_view name, std::string_view help, Kind kind);
    void Sample(std::string_view name, double value);
    void Sample(std::string_view name, std::string_view label, std::string_view label_value, double value);

private:
    std::string& out_;
};

class Registry {
public:
    // Registering a name twice gives the first family (its type and label must agree); a name or
    // label that is not a valid metric name is a programming error and throws.
    Family& Counter(std::string_view name, std::string_view help, std::string_view label = {});
    Family& Gauge(std::string_view name, std::string_view help, std::string_view label = {});
    Family& Histogram(std::string_view name, std::string_view help, std::vector<double> bounds,
                      std::string_view label = {});
    void AddCollector(std::function<void(Writer&)> collector);
    // The whole exposition; families in registration order, then the collectors' output.
    std::string Render() const;

private:
    Family& Add(std::string_view name, std::string_view help, Kind kind, std::string_view label,
                std::vector<double> bounds);
    mutable Mutex mu_;
    std::vector<std::unique_ptr<Family>> families_ GUARDED_BY(mu_);
    std::map<std::string, Family*, std::less<>> by_name_ GUARDED_BY(mu_);
    std::vector<std::function<void(Writer&)>> collectors_ GUARDED_BY(mu_);
};

// Valid metric or label name ([a-zA-Z_:][a-zA-Z0-9_:]*, no colon in a label).
bool ValidName(std::string_view name, bool label);
// A sample value as the format writes it: shortest round-trip decimal, +Inf, -Inf, NaN.
void AppendValue(std::string& out, double v);
// A label value escaped (backslash, double quote, newline).
void AppendLabelValue(std::string& out, std::string_view v);

// Bounds for durations in seconds, 1 ms to 5 minutes.
std::vector<double> SecondsBuckets();

}  // namespace common::metrics
