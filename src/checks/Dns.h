#pragma once
// CDns: the stub resolver of the checks and the scripts. It asks the fastest of its name
// servers over UDP (each server scored by its last response time, a failure costing the
// time-out plus a second), and keeps every good reply, raw, in a cache table saved as a DBK
// file, so a repeated lookup, even after a restart, costs no network traffic.
//
// A name server that refused (its port closed: seen at once on the connected socket) or did
// not answer in time is left alone for `down_ms`, the others first; while every server is down
// a lookup fails at once instead of waiting, so a DNS outage does not slow the relay down.
//
// Any thread may query; the server list is guarded by the engine's lock, the cache by its
// table's. Each query uses its own socket. Nothing is logged here: failures are false.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "checks/DnsMessage.h"
#include "common/ThreadSafety.h"
#include "store/DB_RAM.h"
#include "store/EngineLock.h"

namespace checks {

class CDns {
public:
    static constexpr int kDefaultTimeoutMs = 200;
    static constexpr uint16_t kDnsPort = 53;

    // Opens and loads the cache table at `cache_path` (empty: no cache file, memory only).
    explicit CDns(const std::string& cache_path);
    // Saves the cache.
    ~CDns();
    CDns(const CDns&) = delete;
    CDns& operator=(const CDns&) = delete;

    // The engine scripts reach (set by the core; null in tools without a kernel).
    static CDns* Global();
    static void SetGlobal(CDns* dns);

    // Ignored when empty or already present. A server is "a.b.c.d", "a.b.c.d:port" or a host.
    void AddNameServer(std::string_view name);
    void ClearNameServers();
    // Replaces the servers at once (a lookup meanwhile sees the old set or the new, never none);
    // servers kept keep their score and down state. Empty names and repeats are skipped.
    void SetNameServers(const std::vector<std::string>& names);
    void SetServerScore(std::string_view name, int32_t value);
    // The lowest score, first on ties; "127.0.0.1" when there is none.
    std::string PickServer() const;
    std::vector<std::pair<std::string, int32_t>> Servers() const;

    // Looks `name` up (for PTR give the address: it is reversed here). True with the answers,
    // from the cache or the network; `timeout_ms` < 0 uses the engine's time-out (per server
    // asked). `budget_ms` >= 0 bounds the whole lookup. With `remember_failure`, a lookup that
    // found no answer is not tried again for `failure_memo_ms`.
    // `rcode`, when given, receives the reply's code; a reply that is neither an answer nor "no
    // such name" (a server failure) is not cached.
    bool Query(std::string_view name, uint16_t qtype, std::vector<DnsAnswer>* answers, int timeout_ms = -1,
               int budget_ms = -1, bool remember_failure = false, int* rcode = nullptr);
    // Servers not marked down.
    size_t ServersUp() const;

    // What the lookups did since the engine started, for monitoring: answered from the cache,
    // sent to a server, found no answer from any server, and the server waits that timed out.
    struct Counters {
        uint64_t cache_hits = 0, queries = 0, failures = 0, timeouts = 0;
    };
    Counters GetCounters() const;

    std::atomic<int> timeout_ms{kDefaultTimeoutMs};
    std::atomic<int> down_ms{30000};
    std::atomic<int> failure_memo_ms{60000};
    store::CDB_RAM& Cache() { return cache_; }

private:
    // The best server not down and not in `tried`, or "" when none is left.
    std::string PickUp(const std::vector<std::string>& tried) const;
    void MarkDown(std::string_view name);
    bool RecentFailure(const std::string& key);
    void NoteFailure(const std::string& key);

    mutable store::CEngineLock mu_;
    std::vector<std::pair<std::string, int32_t>> servers_ GUARDED_BY(mu_);
    std::vector<int64_t> down_until_ GUARDED_BY(mu_);  // beside servers_
    common::Mutex failures_mu_;
    std::unordered_map<std::string, int64_t> failures_ GUARDED_BY(failures_mu_);  // key -> until
    store::CDB_RAM cache_;
    bool persistent_ = false;
    std::atomic<uint64_t> cache_hits_{0}, queries_{0}, unanswered_{0}, timeouts_{0};
};

// The script lookups (class CS_Dns and the antispam functions of the same names). Each returns
// "" when nothing was found.
std::string DnsResolve(CDns& dns, std::string_view name, int timeout_ms = -1);
// The first IPv6 address (AAAA) of a name.
std::string DnsResolve6(CDns& dns, std::string_view name, int timeout_ms = -1);
std::string DnsReverse(CDns& dns, std::string_view ip, int timeout_ms = -1);
// The client's name for a session: at most `budget_ms` in all, and an address whose lookup
// failed is not asked again for a while.
std::string DnsReverseForSession(CDns& dns, std::string_view ip, int budget_ms = 1000);
std::string DnsMx(CDns& dns, std::string_view domain, int timeout_ms = -1);
std::string DnsNs(CDns& dns, std::string_view domain, int timeout_ms = -1);
std::string DnsTxt(CDns& dns, std::string_view name, int timeout_ms = -1);

}  // namespace checks
