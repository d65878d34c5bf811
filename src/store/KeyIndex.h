#pragma once
// KeyIndex: open-addressing hash from key to the newest live record of that key, for the
// tables (CDB_RAM). Linear probing with backward-shift deletion, so no tombstones pile up
// under churn; each slot carries the hash, so probing past other keys never touches their
// records. It owns no record: the table does, and keeps every indexed record alive.
//
// `Record` has a `uint32_t hash` (of its key) and a `Key()` returning something comparable
// with std::string_view. Not thread-safe: the table's lock guards it.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace store {

template <typename Record>
class KeyIndex {
public:
    KeyIndex() { slots_.assign(16, Slot{}); }

    Record* Find(std::string_view key, uint32_t hash) const {
        size_t mask = slots_.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (!s.record) return nullptr;
            if (s.hash == hash && s.record->Key() == key) return s.record;
        }
    }
    // Makes `r` the entry of its key (new key, or a new newest record).
    void Set(Record* r) {
        if ((count_ + 1) * 10 > slots_.size() * 7) Grow();
        size_t mask = slots_.size() - 1;
        for (size_t i = r->hash & mask;; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (!s.record) {
                s = Slot{r->hash, r};
                ++count_;
                return;
            }
            if (s.hash == r->hash && s.record->Key() == r->Key()) {
                s.record = r;
                return;
            }
        }
    }
    void Erase(std::string_view key, uint32_t hash) {
        size_t mask = slots_.size() - 1;
        size_t i = hash & mask;
        for (;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (!s.record) return;
            if (s.hash == hash && s.record->Key() == key) break;
        }
        // Backward shift: move later members of the probe run into the hole.
        for (size_t j = (i + 1) & mask;; j = (j + 1) & mask) {
            const Slot& s = slots_[j];
            if (!s.record) break;
            size_t home = s.hash & mask;
            bool movable = (i <= j) ? (home <= i || home > j) : (home <= i && home > j);
            if (movable) {
                slots_[i] = s;
                i = j;
            }
        }
        slots_[i] = Slot{};
        --count_;
    }
    // Empties the index, sized for `expected` keys.
    void Clear(size_t expected = 0) {
        size_t n = 16;
        while (n * 7 < expected * 10) n <<= 1;
        slots_.assign(n, Slot{});
        slots_.shrink_to_fit();
        count_ = 0;
    }
    size_t Count() const { return count_; }
    size_t Bytes() const { return slots_.capacity() * sizeof(Slot); }

private:
    struct Slot {
        uint32_t hash = 0;
        Record* record = nullptr;
    };

    void Grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.assign(old.size() * 2, Slot{});
        size_t mask = slots_.size() - 1;
        for (const Slot& s : old) {
            if (!s.record) continue;
            size_t i = s.hash & mask;
            while (slots_[i].record) i = (i + 1) & mask;
            slots_[i] = s;
        }
    }

    std::vector<Slot> slots_;  // a power of two, at most 70 % full
    size_t count_ = 0;
};

}  // namespace store
