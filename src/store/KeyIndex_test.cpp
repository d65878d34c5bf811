#include "store/KeyIndex.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <random>
#include <string>

namespace store {
namespace {

struct Rec {
    std::string key;
    uint32_t hash;
    std::string_view Key() const { return key; }
};

// Random sets and erases against a plain map, with hashes from a tiny range so that probe runs
// are long, wrap around the table's end and are cut by backward-shift deletion at every spot.
TEST(KeyIndexTest, AgreesWithAMapUnderCollidingChurn) {
    for (uint32_t hash_range : {1u, 3u, 40u, 1u << 20}) {
        KeyIndex<Rec> index;
        std::deque<Rec> records;  // stable addresses
        std::map<std::string, Rec*> model;
        std::mt19937 rng(hash_range);
        auto hash_of = [hash_range](const std::string& k) {
            return static_cast<uint32_t>(std::hash<std::string>{}(k)) % hash_range * 2654435761u;
        };
        for (int step = 0; step < 4000; ++step) {
            const std::string key = "k" + std::to_string(rng() % 300);
            const uint32_t h = hash_of(key);
            if (rng() % 3 == 0) {
                index.Erase(key, h);
                model.erase(key);
            } else {
                records.push_back({key, h});
                index.Set(&records.back());
                model[key] = &records.back();  // a newer record of a key replaces the older
            }
            if (step % 97 == 0 || step == 3999) {
                ASSERT_EQ(index.Count(), model.size()) << "range " << hash_range << " step " << step;
                for (int k = 0; k < 300; ++k) {
                    const std::string probe = "k" + std::to_string(k);
                    auto it = model.find(probe);
                    ASSERT_EQ(index.Find(probe, hash_of(probe)), it == model.end() ? nullptr : it->second)
                        << probe << ", range " << hash_range << " step " << step;
                }
            }
        }
    }
}

TEST(KeyIndexTest, ClearSizesForTheExpectedKeysAndEmpties) {
    KeyIndex<Rec> index;
    Rec a{"a", 7};
    index.Set(&a);
    index.Clear(1000);
    EXPECT_EQ(index.Count(), 0u);
    EXPECT_EQ(index.Find("a", 7), nullptr);
    // 1000 keys fit without growing: at most 70 % full.
    const size_t sized = index.Bytes();
    std::deque<Rec> many;
    for (int i = 0; i < 1000; ++i) {
        many.push_back({std::to_string(i), static_cast<uint32_t>(i * 2654435761u)});
        index.Set(&many.back());
    }
    EXPECT_EQ(index.Bytes(), sized);
    EXPECT_EQ(index.Count(), 1000u);
}

}  // namespace
}  // namespace store
