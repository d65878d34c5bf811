#pragma once
// Figures per period (a minute, an hour) over the last N periods, in a ring of N slots. A slot
// remembers the period it holds, so one left from an older period reads as empty and is taken
// over by the next Add; nothing has to sweep the ring as time passes.
#include <array>
#include <cstddef>
#include <cstdint>

namespace common {

template <size_t N, typename Cell>
class TimeRing {
public:
    // The cell of `period` (a period number: seconds since 1970 divided by its length), emptied
    // first when its slot still holds an older period; null for a period older than the one its
    // slot holds (a late figure for a period the ring has passed).
    Cell* At(int64_t period) {
        Slot& s = slots_[Index(period)];
        if (s.period > period) return nullptr;
        if (s.period != period) {
            s.period = period;
            s.cell = Cell{};
        }
        return &s.cell;
    }
    // `f(period, cell)` for the N periods up to `last`, oldest first; a period without a slot
    // of its own gives an empty cell.
    template <typename F>
    void ForEach(int64_t last, F&& f) const {
        static const Cell kEmpty{};
        for (int64_t p = last - static_cast<int64_t>(N) + 1; p <= last; ++p) {
            const Slot& s = slots_[Index(p)];
            f(p, s.period == p ? s.cell : kEmpty);
        }
    }

private:
    static size_t Index(int64_t period) {
        const int64_t n = static_cast<int64_t>(N);
        return static_cast<size_t>(((period % n) + n) % n);
    }
    struct Slot {
        int64_t period = INT64_MIN;
        Cell cell{};
    };
    std::array<Slot, N> slots_{};
};

}  // namespace common
