#include "store/SaveFailures.h"

#include <atomic>
#include <cstring>

#include "common/ThreadSafety.h"

namespace store {

namespace {

struct Reports {
    common::Mutex mu;
    std::vector<std::string> lines GUARDED_BY(mu);
    uint64_t dropped GUARDED_BY(mu) = 0;
    std::atomic<uint64_t> total{0};
};

Reports& Shared() {
    static Reports* r = new Reports;  // never destroyed: threads may report during exit
    return *r;
}

}  // namespace

void ReportSaveFailure(const std::string& path, int err) {
    Reports& r = Shared();
    r.total.fetch_add(1, std::memory_order_relaxed);
    std::string line = path + ": " + (err != 0 ? std::strerror(err) : "the write failed");
    common::MutexLock lock(r.mu);
    if (r.lines.size() >= kMaxSaveReports) {
        ++r.dropped;
        return;
    }
    r.lines.push_back(std::move(line));
}

std::vector<std::string> TakeSaveFailures(uint64_t* dropped) {
    Reports& r = Shared();
    common::MutexLock lock(r.mu);
    std::vector<std::string> out;
    out.swap(r.lines);
    if (dropped) *dropped = r.dropped;
    r.dropped = 0;
    return out;
}

uint64_t SaveFailureCount() {
    return Shared().total.load(std::memory_order_relaxed);
}

}  // namespace store
