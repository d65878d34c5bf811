// Tables at the size of a busy site: 1M records, keys of 20-40 bytes, data of 8-64 bytes.
// Reports per-operation times and, for the memory goal, the bytes the table holds beyond its
// keys and data ("overhead_B_per_record").
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "store/DB_RAM.h"

namespace {

constexpr int kRecords = 1'000'000;

struct Fixture {
    std::vector<std::string> keys, data, misses;
    size_t payload = 0;
    std::string path = "/tmp/morvane_bench_" + std::to_string(::getpid()) + ".db";
    std::unique_ptr<store::CDB_RAM> table;

    Fixture() {
        std::mt19937 rng(42);
        auto text = [&rng](size_t n) {
            std::string s(n, ' ');
            for (char& c : s) c = static_cast<char>('!' + rng() % 90);
            return s;
        };
        for (int i = 0; i < kRecords; ++i) {
            keys.push_back(text(20 + rng() % 21));
            data.push_back(text(8 + rng() % 57));
            payload += keys.back().size() + data.back().size();
        }
        for (int i = 0; i < 10000; ++i) misses.push_back(text(20 + rng() % 21) + "#miss");
        table = Build();
    }
    ~Fixture() { ::unlink(path.c_str()); }
    std::unique_ptr<store::CDB_RAM> Build() {
        auto t = std::make_unique<store::CDB_RAM>();
        t->Open(path);
        for (int i = 0; i < kRecords; ++i) t->Insert(keys[i], data[i], true);
        return t;
    }
};

Fixture& F() {
    static Fixture f;
    return f;
}

void BM_Insert1M(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto t = std::make_unique<store::CDB_RAM>();
        state.ResumeTiming();
        for (int i = 0; i < kRecords; ++i) t->Insert(F().keys[i], F().data[i]);
        state.PauseTiming();
        t.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_Insert1M)->Unit(benchmark::kMillisecond)->Iterations(2);

// Lookup keys laid out back to back in random order, so the benchmark measures the table's
// memory traffic and not the scattered heap of the key strings.
struct Probes {
    std::string arena;
    std::vector<std::string_view> keys;
    explicit Probes(const std::vector<std::string>& from, size_t n) {
        std::mt19937 rng(7);
        std::vector<size_t> pick;
        for (size_t i = 0; i < n; ++i) pick.push_back(rng() % from.size());
        size_t total = 0;
        for (size_t i : pick) total += from[i].size();
        arena.reserve(total);
        for (size_t i : pick) arena += from[i];
        size_t at = 0;
        for (size_t i : pick) {
            keys.emplace_back(arena.data() + at, from[i].size());
            at += from[i].size();
        }
    }
};

void BM_FindHit(benchmark::State& state) {
    store::CDB_RAM& t = *F().table;
    static Probes probes(F().keys, 1 << 20);
    size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(t.Find(probes.keys[i++ & ((1 << 20) - 1)]));
}
BENCHMARK(BM_FindHit);

void BM_FindMiss(benchmark::State& state) {
    store::CDB_RAM& t = *F().table;
    static Probes probes(F().misses, 1 << 16);
    size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(t.Find(probes.keys[i++ & ((1 << 16) - 1)]));
}
BENCHMARK(BM_FindMiss);

void BM_UpdateSameSize(benchmark::State& state) {
    store::CDB_RAM& t = *F().table;
    std::mt19937 rng(9);
    for (auto _ : state) {
        size_t i = rng() % kRecords;
        benchmark::DoNotOptimize(t.Update(F().keys[i], F().data[i]));
    }
}
BENCHMARK(BM_UpdateSameSize);

void BM_UpdateNewSize(benchmark::State& state) {
    store::CDB_RAM& t = *F().table;
    std::mt19937 rng(11);
    std::string longer(70, 'x');
    for (auto _ : state) {
        size_t i = rng() % kRecords;
        benchmark::DoNotOptimize(t.Update(F().keys[i], (i & 1) ? longer : F().data[i]));
    }
}
BENCHMARK(BM_UpdateNewSize);

void BM_Save1M(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(F().table->Save());
}
BENCHMARK(BM_Save1M)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Load1M(benchmark::State& state) {
    if (!F().table->Save()) state.SkipWithError("cannot save the table");
    for (auto _ : state) {
        store::CDB_RAM t;
        t.Open(F().path);
        benchmark::DoNotOptimize(t.Load());
        state.PauseTiming();
        t.Reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_Load1M)->Unit(benchmark::kMillisecond)->Iterations(3);

// Expires a tenth of a 1M table, then saves (as the periodic hygiene does).
void BM_DeleteOld1M(benchmark::State& state) {
    static int64_t now = 0;
    for (auto _ : state) {
        state.PauseTiming();
        now = 1'000'000;
        auto t = std::make_unique<store::CDB_RAM>();
        t->Open(F().path);
        t->SetTimeSource([] { return now; });
        for (int i = 0; i < kRecords; ++i) {
            if (i == kRecords / 10) now += 100;
            t->Insert(F().keys[i], F().data[i], true);
        }
        t->SetAge(1, 50);
        now += 60;
        state.ResumeTiming();
        benchmark::DoNotOptimize(t->DeleteOld());
        state.PauseTiming();
        t.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_DeleteOld1M)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_MemoryPerRecord(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(F().table->MemoryBytes());
    size_t bytes = F().table->MemoryBytes();
    state.counters["total_B_per_record"] = static_cast<double>(bytes) / kRecords;
    state.counters["overhead_B_per_record"] = static_cast<double>(bytes - F().payload) / kRecords;
}
BENCHMARK(BM_MemoryPerRecord)->Iterations(1);

}  // namespace
