// Admission throughput of the proxy core: clean clients whose block-list result is cached, and
// 100 new clients (distinct loopback addresses) against a DNS server that answers in 20 ms,
// compared with the time of one block-list check.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "checks/FakeDns.h"
#include "core/Activity.h"
#include "core/AntispamScript.h"
#include "core/MorvaneCore.h"
#include "core/SessionTrace.h"
#include "core/TestClient.h"
#include "platform/TestTempDir.h"
#include "store/History.h"

namespace {

class CountingSessions : public core::SessionHost {
public:
    bool HandOff(int32_t, platform::CSocketComm* slot, const std::string&, bool) override {
        slot->Close();
        slot->SetFree(true);
        ++handed;
        return true;
    }
    size_t Sessions() const override { return 0; }
    bool AnyBusy() const override { return false; }
    std::atomic<int> handed{0};
};

int Connect(uint16_t port, uint32_t source) {
    return core::testing::ConnectLoopback(port, source);
}

struct Setup {
    checks::FakeDns dns;
    platform::TestTempDir dir;
    config::CKernelConfig config{""};
    CountingSessions* sessions;
    std::unique_ptr<core::CMorvaneCore> core;
    explicit Setup(int delay_ms, int slots) : dns(false, false, delay_ms) {
        config.listen_ip = "127.0.0.1";
        config.listen_port = "0";
        config.n_max_listen = slots;
        config.script_enable = true;
        config.max_session_ip = 1 << 30;
        config.dns_nameservers = {common::String(dns.Address())};
        config.dnsbl_zones = {common::String("bl1.test|1"), common::String("bl2.test|1"), common::String("bl3.test|1"),
                              common::String("bl4.test|1")};
        config.dnsbl_timeout_millisecond = 2100;
        config.dnsbl_timeout_millisecond_sc = 500;
        auto s = std::make_unique<CountingSessions>();
        sessions = s.get();
        core = std::make_unique<core::CMorvaneCore>(config, dir.Path().string(), std::move(s));
    }
    // Connects `n` clients from 127.0.1.1.. and steps the core until all are handed off.
    double AdmitAll(int n, uint32_t first_source) {
        int before = sessions->handed;
        std::vector<int> fds;
        auto t0 = std::chrono::steady_clock::now();
        std::thread clients([&] {
            for (int i = 0; i < n; ++i)
                fds.push_back(Connect(core->Listener()->Port(), first_source + static_cast<uint32_t>(i)));
        });
        while (sessions->handed - before < n) {
            core->Step();
            std::this_thread::yield();
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        clients.join();
        for (int fd : fds) ::close(fd);
        return seconds;
    }
};

// Clean clients, block-list result already cached: the core's own admission cost.
void BM_AdmissionCachedClean(benchmark::State& state) {
    Setup s(0, 4096);
    s.AdmitAll(500, 0x7F000101);  // first round: the 500 addresses are checked and cached as clean
    double total = 0;
    int admitted = 0;
    for (auto _ : state) {
        total += s.AdmitAll(500, 0x7F000101);
        admitted += 500;
    }
    state.counters["admissions_per_s"] = admitted / total;
}
BENCHMARK(BM_AdmissionCachedClean)->Iterations(4)->Unit(benchmark::kMillisecond);

// 100 clients with 100 different addresses, the DNS server answering each question in 20 ms.
void BM_Admit100NewClients(benchmark::State& state) {
    Setup s(20, 256);
    checks::CDnsBL probe("");
    probe.AddNameServer(s.dns.Address());
    for (const char* z : {"bl1.test|1", "bl2.test|1", "bl3.test|1", "bl4.test|1"}) probe.AddZone(z);
    probe.global_timeout_ms = 2100;
    probe.single_timeout_ms = 500;
    uint32_t base = 0x7F010001;  // 127.1.0.1
    double admit = 0, check = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        checks::DnsBLResult r;
        probe.QueryDnsBL("192.0.2.250", &r);
        probe.Cache().Reset();
        check += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        admit += s.AdmitAll(100, base);
        base += 256;  // new addresses every round: nothing cached
    }
    state.counters["one_check_ms"] = 1000 * check / static_cast<double>(state.iterations());
    state.counters["admit_100_ms"] = 1000 * admit / static_cast<double>(state.iterations());
    state.counters["ratio"] = admit / check;
}
BENCHMARK(BM_Admit100NewClients)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// What a connection cost its session before the first byte was relayed when every connection
// compiled its scripts: a script host made and the core script compiled (the default policy).
void BM_SessionScriptSetup(benchmark::State& state) {
    platform::TestTempDir dir;
    std::vector<common::String> scripts{common::String("1|core.cs")};
    const std::string script_dir = std::string(MORVANE_SOURCE_DIR) + "/dist/scripts/antispam/";
    for (auto _ : state) {
        core::CS_PROXY_ANTISPAM_INSTANCE host(nullptr);
        host.Register(scripts, script_dir, false);
        if (host.AnyFailed()) state.SkipWithError("core.cs did not compile");
        benchmark::DoNotOptimize(host.Count());
    }
}
BENCHMARK(BM_SessionScriptSetup)->Unit(benchmark::kMicrosecond);

// What it costs now, without script caching: the compiled core script started afresh (globals
// restored, objects made again, the global code run once more) and its file's stamp checked.
void BM_SessionScriptRestart(benchmark::State& state) {
    std::vector<common::String> scripts{common::String("1|core.cs")};
    const std::string script_dir = std::string(MORVANE_SOURCE_DIR) + "/dist/scripts/antispam/";
    core::CS_PROXY_ANTISPAM_INSTANCE host(nullptr);
    host.Register(scripts, script_dir, false);
    for (auto _ : state) {
        host.Register(scripts, script_dir, false);
        if (host.AnyFailed()) state.SkipWithError("core.cs did not restart");
        benchmark::DoNotOptimize(host.Count());
    }
}
BENCHMARK(BM_SessionScriptRestart)->Unit(benchmark::kMicrosecond);

}  // namespace

// The message history at its default size: 100,000 sessions searched by a sender substring
// (the GUI's and morvanectl's search; goal <= 100 ms), and what recording costs one session on
// its own thread (the trace's work and the queued record; the disk write is the writer's).
namespace {

store::HistoryRecord BenchRecord(int i) {
    store::HistoryRecord r;
    r.time = 1700000000 + i;
    r.client_ip = "198.51." + std::to_string(i % 256) + "." + std::to_string(i % 241);
    r.client_name = "mail" + std::to_string(i % 5000) + ".sender" + std::to_string(i % 977) + ".example";
    r.helo = r.client_name;
    r.sender = "user" + std::to_string(i % 20000) + "@sender" + std::to_string(i % 977) + ".example";
    r.recipients = "rcpt" + std::to_string(i % 300) + "@local.example";
    r.action = i % 7 == 0 ? "refused" : "delivered";
    r.step = "end of data";
    r.reply = "250 2.0.0 Ok: queued";
    r.reasons = "1.20 spf-Pass bayes(0.12) rules(SUBJ_CAPS)";
    r.message_id = "<" + std::to_string(i) + "@sender.example>";
    return r;
}

void BM_HistorySearch100k(benchmark::State& state) {
    store::CHistory history("", 100000);
    for (int i = 0; i < 100000; ++i) history.Add(BenchRecord(i));
    store::CHistory::Filter f;
    f.sender = "USER19999@";  // case differs; a few matches spread over the whole history
    size_t total = 0;
    for (auto _ : state) {
        auto rows = history.Query(f, 0, 50, &total);
        benchmark::DoNotOptimize(rows);
    }
    state.counters["matches"] = static_cast<double>(total);
}
BENCHMARK(BM_HistorySearch100k)->Unit(benchmark::kMillisecond);

// What the default history costs in memory: the heap grown by 100,000 typical records.
void BM_HistoryMemory100k(benchmark::State& state) {
    for (auto _ : state) {
        const size_t before = mallinfo2().uordblks;
        auto history = std::make_unique<store::CHistory>("", 100000);
        for (int i = 0; i < 100000; ++i) history->Add(BenchRecord(i));
        const size_t after = mallinfo2().uordblks;
        state.counters["bytes_per_record"] = static_cast<double>(after - before) / 100000.0;
        state.counters["MB"] = static_cast<double>(after - before) / 1e6;
    }
}
BENCHMARK(BM_HistoryMemory100k)->Unit(benchmark::kMillisecond)->Iterations(1);

// The dashboard's live figures: what one session's end adds to them.
void BM_ActivityRecordOneSession(benchmark::State& state) {
    core::CActivity activity;
    int64_t now = 1'800'000'000;
    for (auto _ : state) {
        activity.Record(now, "delivered", 120);
        now += 1;
    }
}
BENCHMARK(BM_ActivityRecordOneSession);

void BM_HistoryRecordOneSession(benchmark::State& state) {
    store::CHistory history("", 100000);
    const std::string header = "From: a@b.example\r\nMessage-Id: <x@b.example>\r\nSubject: hello\r\n\r\n";
    int i = 0;
    for (auto _ : state) {
        core::SessionTrace t;
        t.Start(1700000000, 0);
        t.Replies("220 mx.example ESMTP\r\n");
        t.Command("helo");
        t.Replies("250-mx.example\r\n250-PIPELINING\r\n250 8BITMIME\r\n");
        t.Command("mail");
        t.Replies("250 2.1.0 Ok\r\n");
        t.Command("rcpt");
        t.Recipient("<rcpt@local.example>");
        t.Replies("250 2.1.5 Ok\r\n");
        t.Command("data");
        t.Replies("354 End data with <CR><LF>.<CR><LF>\r\n");
        t.MessageBytes(5120);
        t.MessageStart(header);
        t.HeaderAdded("X-Morvane-Score: 1.20 spf-Pass bayes(0.12)");
        t.EndOfData();
        t.Replies("250 2.0.0 Ok: queued as 12345\r\n");
        store::HistoryRecord r = t.Record(15);
        r.client_ip = "198.51.100.7";
        r.sender = "<user@sender.example>";
        history.Add(std::move(r));
        ++i;
    }
}
BENCHMARK(BM_HistoryRecordOneSession);

}  // namespace

// What counting adds to one message through the shipped policy: the session's own figures,
// its script events' times and the checks' results, as the kernel counts them.
struct MetricsCore {
    platform::TestTempDir dir;
    config::CKernelConfig config{""};
    core::CMorvaneCore core{config, dir.Path().string(), std::make_unique<CountingSessions>(), nullptr, false};
};

void CountOneMessage(core::CMorvaneCore& core) {
    common::metrics::Registry& m = core.Metrics();
    m.Counter("morvane_sessions_total", "").With().Add();
    for (const char* event : {"OnStartClientConnection", "OnHelo", "OnMailFrom", "OnRcptTo", "OnCommandData",
                              "OnEmailMessagesToAnalyzer", "OnDoneAntispamFilter", "OnEndClientConnection"})
        core.ScriptEventTimes().With(event).Observe(0.00012);
    core.CountMetric("morvane_spf_results_total", "SPF checks by result.", "result", "pass");
    core.CountMetric("morvane_dkim_results_total", "DKIM signatures verified, by result.", "result", "pass");
    core.CountMetric("morvane_dmarc_results_total", "DMARC verdicts of messages, by result.", "result", "pass");
    core.CountMetric("morvane_filter_verdicts_total", "Statistical filter verdicts.", "verdict", "ham");
    core.CountMetric("morvane_rule_hits_total", "Rule matches in live mail, by rule.", "rule", "HTML_MESSAGE");
    m.Counter("morvane_sessions_by_action_total", "", "action").With("delivered").Add();
    m.Histogram("morvane_session_duration_seconds", "", {}).With().Observe(0.35);
}

void BM_MetricsOneMessage(benchmark::State& state) {
    MetricsCore c;
    for (auto _ : state) CountOneMessage(c.core);
}
BENCHMARK(BM_MetricsOneMessage)->Threads(1)->Threads(2);

// A whole scrape of a busy kernel: 5000 sessions open, 300 rules hit, every event timed.
void BM_MetricsScrape5000Sessions(benchmark::State& state) {
    MetricsCore c;
    c.core.SetSessionsOpen(5000);
    for (int i = 0; i < 300; ++i)
        c.core.CountMetric("morvane_rule_hits_total", "Rule matches in live mail, by rule.", "rule",
                           "RULE_" + std::to_string(i));
    CountOneMessage(c.core);
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = c.core.Metrics().Render();
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_MetricsScrape5000Sessions)->Unit(benchmark::kMicrosecond);
