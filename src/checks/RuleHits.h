#pragma once
// How often each rule matched live mail: in all, and per hour over the last day. Sessions count
// what their check matched (a message checked by hand counts nothing); the figures survive a
// restart in a small file saved with the kernel's tables.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/ThreadSafety.h"
#include "common/TimeRing.h"

namespace checks {

struct RuleHitFigures {
    uint64_t total = 0;
    uint64_t last_day = 0;  // in the 24 hours up to now
};

class CRuleHits {
public:
    // One match of each of `names` at `now` (seconds since 1970).
    void Count(const std::vector<std::string>& names, int64_t now);
    RuleHitFigures Get(const std::string& name, int64_t now) const;
    // A deleted rule's figures go with it; a rule added again under its name starts at zero.
    void Forget(const std::string& name);

    // The file: one line per rule, "NAME<TAB>TOTAL<TAB>HOUR:COUNT,HOUR:COUNT..." (HOUR = seconds
    // since 1970 / 3600). Load replaces the figures; a malformed line is skipped.
    bool Load(const std::string& path);
    [[nodiscard]] bool Save(const std::string& path, int64_t now) const;
    void Parse(std::string_view text);
    std::string Format(int64_t now) const;

private:
    struct Counts {
        uint64_t total = 0;
        common::TimeRing<24, uint32_t> hours;
    };
    mutable common::Mutex mu_;
    std::unordered_map<std::string, Counts> by_name_ GUARDED_BY(mu_);
};

}  // namespace checks
