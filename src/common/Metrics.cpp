#include "common/Metrics.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace common::metrics {

bool ValidName(std::string_view name, bool label) {
    if (name.empty()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (!label && c == ':');
        if (!alpha && !(i > 0 && c >= '0' && c <= '9')) return false;
    }
    return true;
}

void AppendValue(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
    } else if (std::isinf(v)) {
        out += v > 0 ? "+Inf" : "-Inf";
    } else {
        char buf[32];
        const auto r = std::to_chars(buf, buf + sizeof buf, v);
        out.append(buf, r.ptr);
    }
}

void AppendLabelValue(std::string& out, std::string_view v) {
    for (const char c : v) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
}

std::vector<double> SecondsBuckets() {
    return {0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120, 300};
}

namespace {

const char* KindName(Kind k) {
    switch (k) {
        case Kind::kCounter: return "counter";
        case Kind::kGauge: return "gauge";
        case Kind::kHistogram: return "histogram";
    }
    return "untyped";
}

void AppendHead(std::string& out, std::string_view name, std::string_view help, Kind kind) {
    out += "# HELP ";
    out += name;
    out += ' ';
    for (const char c : help) {  // help escapes backslash and newline only
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += KindName(kind);
    out += '\n';
}

// name{label="value",extra} v
void AppendSample(std::string& out, std::string_view name, std::string_view suffix, std::string_view label,
                  std::string_view label_value, std::string_view extra, double v) {
    out += name;
    out += suffix;
    if (!label.empty() || !extra.empty()) {
        out += '{';
        if (!label.empty()) {
            out += label;
            out += "=\"";
            AppendLabelValue(out, label_value);
            out += '"';
            if (!extra.empty()) out += ',';
        }
        out += extra;
        out += '}';
    }
    out += ' ';
    AppendValue(out, v);
    out += '\n';
}

}  // namespace

Series::Series(const std::vector<double>* bounds) : bounds_(bounds) {
    if (bounds_ != nullptr) {
        buckets_ = std::make_unique<std::atomic<uint64_t>[]>(bounds_->size());
        for (size_t i = 0; i < bounds_->size(); ++i) buckets_[i].store(0, std::memory_order_relaxed);
    }
}

void Series::Observe(double v) {
    if (bounds_ != nullptr) {
        // Bounds are few and sorted: the first one not below v is the bucket ("le" is inclusive).
        const auto it = std::lower_bound(bounds_->begin(), bounds_->end(), v);
        if (it != bounds_->end())
            buckets_[static_cast<size_t>(it - bounds_->begin())].fetch_add(1, std::memory_order_relaxed);
    }
    value_.fetch_add(v, std::memory_order_relaxed);
    count_.fetch_add(1, std::memory_order_relaxed);
}

Family::Family(std::string name, std::string help, Kind kind, std::string label, std::vector<double> bounds)
    : name_(std::move(name)),
      help_(std::move(help)),
      label_(std::move(label)),
      kind_(kind),
      bounds_(std::move(bounds)) {}

Series& Family::With(std::string_view label_value) {
    MutexLock lock(mu_);
    auto it = series_.find(label_value);
    if (it == series_.end()) {
        it = series_
                 .emplace(std::string(label_value),
                          std::make_unique<Series>(kind_ == Kind::kHistogram ? &bounds_ : nullptr))
                 .first;
    }
    return *it->second;
}

void Family::Render(std::string& out) const {
    AppendHead(out, name_, help_, kind_);
    MutexLock lock(mu_);
    for (const auto& [value, s] : series_) {
        if (kind_ != Kind::kHistogram) {
            AppendSample(out, name_, "", label_, value, "", s->Value());
            continue;
        }
        // The count is read first: a concurrent Observe may then show in the buckets or the sum
        // a moment before the count, never a count above the +Inf bucket's total.
        const uint64_t count = s->Count();
        uint64_t cumulative = 0;
        std::string le;
        for (size_t i = 0; i < bounds_.size(); ++i) {
            cumulative += s->buckets_[i].load(std::memory_order_relaxed);
            le = "le=\"";
            AppendValue(le, bounds_[i]);
            le += '"';
            AppendSample(out, name_, "_bucket", label_, value, le, static_cast<double>(std::min(cumulative, count)));
        }
        AppendSample(out, name_, "_bucket", label_, value, "le=\"+Inf\"", static_cast<double>(count));
        AppendSample(out, name_, "_sum", label_, value, "", s->Value());
        AppendSample(out, name_, "_count", label_, value, "", static_cast<double>(count));
    }
}

void Writer::Head(std::string_view name, std::string_view help, Kind kind) {
    AppendHead(out_, name, help, kind);
}

void Writer::Sample(std::string_view name, double value) {
    AppendSample(out_, name, "", "", "", "", value);
}

void Writer::Sample(std::string_view name, std::string_view label, std::string_view label_value, double value) {
    AppendSample(out_, name, "", label, label_value, "", value);
}

Family& Registry::Add(std::string_view name, std::string_view help, Kind kind, std::string_view label,
                      std::vector<double> bounds) {
    if (!ValidName(name, false) || (!label.empty() && (!ValidName(label, true) || label == "le"))) {
        throw std::invalid_argument("metrics: invalid name " + std::string(name) + " / " + std::string(label));
    }
    MutexLock lock(mu_);
    if (const auto it = by_name_.find(name); it != by_name_.end()) return *it->second;
    std::sort(bounds.begin(), bounds.end());
    families_.push_back(
        std::make_unique<Family>(std::string(name), std::string(help), kind, std::string(label), std::move(bounds)));
    by_name_.emplace(std::string(name), families_.back().get());
    return *families_.back();
}

Family& Registry::Counter(std::string_view name, std::string_view help, std::string_view label) {
    return Add(name, help, Kind::kCounter, label, {});
}

Family& Registry::Gauge(std::string_view name, std::string_view help, std::string_view label) {
    return Add(name, help, Kind::kGauge, label, {});
}

Family& Registry::Histogram(std::string_view name, std::string_view help, std::vector<double> bounds,
                            std::string_view label) {
    return Add(name, help, Kind::kHistogram, label, std::move(bounds));
}

void Registry::AddCollector(std::function<void(Writer&)> collector) {
    MutexLock lock(mu_);
    collectors_.push_back(std::move(collector));
}

std::string Registry::Render() const {
    std::string out;
    out.reserve(8192);
    // Families and collectors are only ever added, never removed: the lists are copied so the
    // collectors run without the registry's lock (one of them may register a family).
    std::vector<const Family*> families;
    std::vector<std::function<void(Writer&)>> collectors;
    {
        MutexLock lock(mu_);
        for (const auto& f : families_) families.push_back(f.get());
        collectors = collectors_;
    }
    for (const Family* f : families) f->Render(out);
    Writer w(out);
    for (const auto& c : collectors) c(w);
    return out;
}

}  // namespace common::metrics
