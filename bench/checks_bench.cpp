// The checks on the hot path of admission: a DNSBL check of 4 zones against a loopback DNS
// server (MORVANE_TEST_DNS=addr:port, e.g. the unbound of tests/dns_integration_test.sh; else an
// in-process responder), a cache hit, and statistics counting from 8 threads.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "checks/DnsBL.h"
#include "checks/FakeDns.h"
#include "checks/Spf.h"
#include "checks/Statistics.h"

namespace {

std::string ServerAddress() {
    static std::unique_ptr<checks::FakeDns> fake;
    if (const char* s = std::getenv("MORVANE_TEST_DNS")) return s;
    if (!fake) {
        fake = std::make_unique<checks::FakeDns>();
        fake->Add("2.2.0.192.bl1.test", checks::kTypeA, checks::kTypeA, checks::FakeDns::A(127, 0, 0, 2));
        // The SPF include chain of tests/dns/unbound.conf.in.
        auto txt = [](const std::string& t) { return std::string(1, static_cast<char>(t.size())) + t; };
        fake->Add("chain.spf.test", checks::kTypeTXT, checks::kTypeTXT, txt("v=spf1 include:c1.spf.test -all"));
        fake->Add("c1.spf.test", checks::kTypeTXT, checks::kTypeTXT, txt("v=spf1 include:c2.spf.test"));
        fake->Add("c2.spf.test", checks::kTypeTXT, checks::kTypeTXT, txt("v=spf1 include:c3.spf.test"));
        fake->Add("c3.spf.test", checks::kTypeTXT, checks::kTypeTXT, txt("v=spf1 a:host.spf.test"));
        fake->Add("host.spf.test", checks::kTypeA, checks::kTypeA, checks::FakeDns::A(198, 51, 100, 20));
    }
    return fake->Address();
}

std::unique_ptr<checks::CDnsBL> Engine() {
    auto bl = std::make_unique<checks::CDnsBL>("");
    bl->AddNameServer(ServerAddress());
    for (const char* z : {"bl1.test|1.450", "bl2.test|1.450", "bl3.test|4.850", "bl4.test|4.500"}) bl->AddZone(z);
    bl->global_timeout_ms = 2100;
    bl->single_timeout_ms = 500;
    bl->maxhit = 3;
    bl->maxreplies = 4;
    return bl;
}

// Every iteration asks the network: the cache is emptied first.
void BM_DnsBLCheck4Zones(benchmark::State& state) {
    auto bl = Engine();
    checks::DnsBLResult r;
    for (auto _ : state) {
        bl->Cache().Reset();
        bl->QueryDnsBL("192.0.2.2", &r);
        benchmark::DoNotOptimize(r.hits);
    }
}
BENCHMARK(BM_DnsBLCheck4Zones)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_DnsBLCacheHit(benchmark::State& state) {
    auto bl = Engine();
    checks::DnsBLResult r;
    bl->QueryDnsBL("192.0.2.2", &r);
    for (auto _ : state) {
        bl->QueryDnsBL("192.0.2.2", &r);
        benchmark::DoNotOptimize(r.score);
    }
}
BENCHMARK(BM_DnsBLCacheHit);

// An SPF answer from its cache table.
void BM_SpfCached(benchmark::State& state) {
    checks::CDns dns("");
    dns.AddNameServer(ServerAddress());
    checks::SpfDnsLookup lookup(&dns);
    checks::CSpf spf("", &lookup);
    if (spf.Query("198.51.100.20", "someone@chain.spf.test", "mail.chain.spf.test") != checks::kSpfPass)
        state.SkipWithError("the include chain did not pass");
    for (auto _ : state)
        benchmark::DoNotOptimize(spf.Query("198.51.100.20", "someone@chain.spf.test", "mail.chain.spf.test"));
}
BENCHMARK(BM_SpfCached);

// A whole evaluation through an include chain of three domains (five lookups), every lookup
// asking the DNS server: both caches are emptied first.
void BM_SpfIncludeChainUncached(benchmark::State& state) {
    checks::CDns dns("");
    dns.AddNameServer(ServerAddress());
    dns.timeout_ms = 1000;
    checks::SpfDnsLookup lookup(&dns);
    checks::CSpf spf("", &lookup);
    for (auto _ : state) {
        dns.Cache().Reset();
        spf.Table().Reset();
        if (spf.Query("198.51.100.20", "someone@chain.spf.test", "h") != checks::kSpfPass) {
            state.SkipWithError("the include chain did not pass");
            break;
        }
    }
}
BENCHMARK(BM_SpfIncludeChainUncached)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

checks::CStatitiche_Day g_stats;

void BM_StatisticsAddItem(benchmark::State& state) {
    for (auto _ : state) g_stats.AddItem("f1tot_conn", 1, 0, 0, 1);
}
BENCHMARK(BM_StatisticsAddItem)->Threads(8);

}  // namespace

// Greylist and auto-whitelist at the size of a busy site: 1M known triples / pairs.
#include "checks/Greylist.h"
#include "checks/Reputation.h"

namespace {

constexpr int kTriples = 1'000'000;

checks::CGreylist& BigGreylist() {
    static checks::CGreylist* grey = [] {
        auto* g = new checks::CGreylist("", nullptr);
        g->SetEmbargo(60, 1);
        for (int i = 0; i < kTriples; ++i)
            g->Add(checks::CGreylist::PrepareTriples("user" + std::to_string(i % 5000) + "@example.net",
                                                     "198.51.100." + std::to_string(i % 250),
                                                     "sender" + std::to_string(i) + "@example.org", "", ""));
        return g;
    }();
    return *grey;
}

// What a session does per recipient: build the triple, try to pass it, record it.
void BM_GreylistPassAndAdd(benchmark::State& state) {
    checks::CGreylist& g = BigGreylist();
    int i = 0;
    for (auto _ : state) {
        std::string t = checks::CGreylist::PrepareTriples(
            "user" + std::to_string(i % 5000) + "@example.net", "198.51.100." + std::to_string(i % 250),
            "sender" + std::to_string(i % (2 * kTriples)) + "@example.org", "", "");
        benchmark::DoNotOptimize(g.Pass(t));
        g.Add(t);
        ++i;
    }
}
BENCHMARK(BM_GreylistPassAndAdd);

void BM_IsALWL(benchmark::State& state) {
    static checks::CAutoWhitelist* alwl = [] {
        auto* a = new checks::CAutoWhitelist("");
        for (int i = 0; i < kTriples; ++i)
            a->Add("local" + std::to_string(i % 1000) + "@example.org", "peer" + std::to_string(i) + "@example.net");
        return a;
    }();
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(alwl->Contains("peer" + std::to_string(i % (2 * kTriples)) + "@example.net",
                                                "local" + std::to_string(i % 1000) + "@example.org"));
        ++i;
    }
}
BENCHMARK(BM_IsALWL);

}  // namespace
