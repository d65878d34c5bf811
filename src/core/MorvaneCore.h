#pragma once
// CMorvaneCore: the SMTP proxy engine. It owns the anti-spam engines, the listener and the
// hand-off to sessions; it admits or refuses new connections on every main-loop step, copies
// the configuration into the engines (ReloadConfig), expires and saves their tables about every
// minute, and stops them in order.
//
// Admission never waits on the network on the main thread: the checks that need no network run
// at once; a block-list check that the cache cannot answer runs on a small pool of worker
// threads, all of them at once, and the connection is refused or handed off at the step after
// its answer arrived. So N waiting clients cost about one block-list round trip, not N, and the
// main loop (cron, admin, web) never stalls on a slow list.
//
// Constructed, stepped, reloaded, saved and stopped on the main thread. Engines guard
// themselves and are shared with the session and worker threads.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "checks/AddressList.h"
#include "checks/Bayes.h"
#include "checks/BayesFilter.h"
#include "checks/Community.h"
#include "checks/Dns.h"
#include "checks/DnsBL.h"
#include "checks/Greylist.h"
#include "checks/LocalDomains.h"
#include "checks/Persistent.h"
#include "checks/Phishing.h"
#include "checks/Redis.h"
#include "checks/Reputation.h"
#include "checks/Rules.h"
#include "checks/Spf.h"
#include "checks/Statistics.h"
#include "common/Metrics.h"
#include "common/ThreadSafety.h"
#include "config/Engine.h"
#include "config/KernelConfig.h"
#include "core/Activity.h"
#include "core/HeldMail.h"
#include "core/ListenMorvane.h"
#include "core/MtaList.h"
#include "store/History.h"

namespace core {

// Where admitted connections go: the sessions of the SMTP relay.
class SessionHost {
public:
    virtual ~SessionHost() = default;
    // Called once by the core that owns this host, when its engines exist.
    virtual void Bind(class CMorvaneCore& core) { (void)core; }
    // The core's configuration reload (main thread).
    virtual void Reload(const config::CKernelConfig& config, const std::string& app_dir) {
        (void)config;
        (void)app_dir;
    }
    // Takes the connection; the slot belongs to the session until it closes and frees it.
    // False when no session could take it (the connection then waits for the next step).
    // `counted`: the admission registered the address in the per-address session counter, and
    // the session removes it when it ends.
    virtual bool HandOff(int32_t id, CSocketComm* slot, const std::string& ip, bool counted) = 0;
    virtual size_t Sessions() const = 0;
    virtual bool AnyBusy() const = 0;
    // The core's 200 ms housekeeping: move session log items, retire idle sessions.
    virtual void Housekeeping(logging::CLogQueue& core_log) { (void)core_log; }
    virtual void StopAll() {}
};

// "%s" of an SMTP reply template replaced by `arg` (once); the text is never a printf format.
std::string FillTemplate(const std::string& tmpl, const std::string& arg);

class CMorvaneCore : public config::KernelEngine {
public:
    static constexpr int kHousekeepingMs = 200;
    static constexpr int kSaveEverySeconds = 60;
    static constexpr int kFullSaveEvery = 10;
    static constexpr int kMaxSaveAttempts = 1000;
    // Block-list checks that can run at once; each mostly waits on the network.
    static constexpr int kAdmissionWorkers = 64;

    using TimeSource = int64_t (*)();

    // Without `sessions`, the relay's own session pool takes the connections. Without `listen`
    // the engines exist but no client is accepted (maintenance runs by hand).
    CMorvaneCore(config::CKernelConfig& config, std::string app_dir, std::unique_ptr<SessionHost> sessions = nullptr,
                 TimeSource now = nullptr, bool listen = true);
    ~CMorvaneCore() override;

    // config::KernelEngine
    void Step() override;
    void WaitHandles(std::vector<int>* out) const override;
    void HandlesReady(const std::vector<int>& ready) override;
    bool Pressing() const override { return !waiting_.empty(); }
    void ReloadConfig() override;
    void Stop() override;
    void FinalSave() override { Save(true); }
    std::string StartProblem() const override { return listen_ && !listen_error_.empty() ? listen_error_ : ""; }

    // The periodic expiry and save; `final` at shutdown.
    void Save(bool final);
    // Admissions whose block-list answer is still awaited.
    size_t AdmissionsInFlight() const { return in_flight_.load(); }

    // The main thread's: the fields are rewritten at each reload. Other threads read the file
    // image (GetString, under its lock) or a snapshot such as PublicIdentity.
    config::CKernelConfig& Config() { return config_; }
    // This server's public address and name (myippub, myname) as of the last reload; any thread.
    struct Identity {
        std::string public_ip;
        std::string name;
    };
    Identity PublicIdentity() const;
    const std::string& AppDir() const { return app_dir_; }
    SessionHost* Sessions() { return sessions_.get(); }
    checks::CDns* Dns() { return dns_.get(); }
    checks::CDnsBL* DnsBL() { return dnsbl_.get(); }
    checks::CBayes* Bayes() { return bayes_.get(); }
    checks::CBayesFilter* BayesFilter() { return filter_.get(); }
    CMtaList* MtaList() { return mta_.get(); }
    CListenMorvane* Listener() { return listener_.get(); }
    checks::CIpInferno* IpInferno() { return inferno_.get(); }
    checks::CAddressList* RelayList() { return relay_.get(); }
    checks::CAddressList* DnsBLWhiteList() { return dnsbl_white_.get(); }
    checks::CSessionCounter* SessionCounter() { return sessions_per_ip_.get(); }
    checks::CStatitiche_Day* Statistics() { return stats_.get(); }
    store::CHistory* History() { return history_.get(); }
    CActivity* Activity() { return &activity_; }
    // A session's end: its history record, and the live figures by its outcome.
    void RecordSession(store::HistoryRecord r);
    CHeldMail* Held() { return held_.get(); }
    checks::CHeloForget* HeloForget() { return helo_.get(); }
    checks::CSpf* Spf() { return spf_.get(); }
    checks::CLocalDomains* LocalDomains() { return domains_.get(); }
    checks::CSpamTrap* SpamTrap() { return traps_.get(); }
    checks::CAutoWhitelist* AutoWhitelist() { return alwl_.get(); }
    checks::CGreylist* Greylist() { return grey_.get(); }
    checks::CRules* Rules() { return rules_.get(); }
    checks::CPhishingDB* Phishing() { return phishing_.get(); }
    checks::CBrumaCommunity* Community() { return community_.get(); }
    checks::CCommunityServer* CommunityServer() { return community_server_.get(); }
    checks::CPersistentStore* Persistent() { return persistent_.get(); }
    // The state several kernels share (off without [REDIS] server).
    checks::CRedis* Redis() { return redis_.get(); }
    int SaveRuns() const { return save_runs_; }
    // Adds 1 to a statistic of the given category. Any thread.
    void Count(const std::string& name, int type);
    // Logs and counts ("f2save_failed") every save that failed anywhere since the last call.
    void ReportSaveFailures();
    // Takes up a table morvane-learn replaced, expires old tokens once a day and, with `save`,
    // saves the filter when it learned something.
    void KeepBayesFilter(bool save);

    // The figures a monitoring scraper reads (/metrics). Any thread.
    common::metrics::Registry& Metrics() { return metrics_; }
    // Adds `value` to the series `label_value` of a counter with one label (none when `label` is
    // empty). For figures counted a few times per message; the hot ones keep their series.
    void CountMetric(std::string_view name, std::string_view help, std::string_view label, std::string_view label_value,
                     double value = 1);
    // Time per script event, by event name.
    common::metrics::Family& ScriptEventTimes() { return *script_event_seconds_; }
    // Busy sessions, as the session host counted them at its last housekeeping.
    void SetSessionsOpen(size_t n) { sessions_open_.store(n, std::memory_order_relaxed); }
    // A session reached a back-end MTA: the health check need not probe it.
    void MtaAnswered() { mta_answered_.store(Now(), std::memory_order_relaxed); }
    // Graceful drain, for a node leaving a balanced group: stops accepting (the balancer or the
    // MX peer moves on), lets the running sessions finish; the kernel then exits. Any thread
    // may ask; the main thread drains.
    void RequestDrain() { drain_requested_.store(true); }
    bool DrainRequested() const { return drain_requested_.load(); }
    void Drain();
    bool Draining() const { return draining_.load(std::memory_order_relaxed); }
    // Draining, and no session or admission is left.
    bool Drained() const;
    // Why the kernel cannot take mail now, empty when it can: the listener accepts, a back-end
    // MTA answered in the last minute (or answers a probe now), the last full save succeeded.
    // Any thread; may wait up to a second for the probe.
    std::string HealthProblem();

private:
    struct Admission {
        int32_t id;
        CSocketComm* slot;
        std::string ip;
        checks::DnsBLResult result;
        bool checked = false;  // the block-list answer is in
        // Registered in the per-address counter at admission, so that admissions of the same
        // address decided before its session starts see it.
        bool counted = false;
        // Behind a load balancer: the PROXY header was read (on a worker) and `ip` is the
        // client's; `dropped` when it was missing or malformed.
        bool proxy = false;  // the header is to be read
        bool header_read = false;
        bool dropped = false;
    };
    // How long a balancer may take to send the PROXY header (it sends it at once).
    static constexpr int kProxyHeaderMs = 3000;
    // Reads the connection's PROXY header on a worker thread: consumes exactly its bytes and
    // puts the client's address in `a`.
    void ReadProxyHeader(Admission& a);

    void Admit(Admission a);
    void Decide(Admission& a);
    void HandOff(Admission& a);
    // Refuses at admission; `why` goes to the message history, `cause` is the refusal's label
    // in the metrics (dnsbl, embargo, session_limit).
    void Refuse(Admission& a, const std::string& reply, const std::string& why, const char* cause);
    // Whether the SMTP listener accepts, for the health check.
    void NoteListening();
    void Uncount(Admission& a);
    void StartWorkers();
    void StopWorkers();
    void Submit(Admission a);
    void Housekeeping();
    int64_t Now() const { return now_(); }
    void RegisterMetrics();

    config::CKernelConfig& config_;
    std::string app_dir_;
    TimeSource now_;
    bool listen_ = true;
    // Before the engines and sessions, which count into it until they end.
    common::metrics::Registry metrics_;
    common::metrics::Series* sessions_total_ = nullptr;
    common::metrics::Family* sessions_by_action_ = nullptr;
    common::metrics::Family* refusals_ = nullptr;
    common::metrics::Series* session_seconds_ = nullptr;
    common::metrics::Family* script_event_seconds_ = nullptr;
    common::metrics::Series* save_failures_ = nullptr;
    std::atomic<size_t> sessions_open_{0};
    std::atomic<int64_t> mta_answered_{0};
    std::atomic<bool> listening_{false};
    std::atomic<bool> drain_requested_{false}, draining_{false};
    common::Mutex health_mu_;
    std::string save_problem_ GUARDED_BY(health_mu_);
    int64_t probe_at_ GUARDED_BY(health_mu_) = 0;
    std::string probe_problem_ GUARDED_BY(health_mu_);
    // Before the lists that keep a pointer to it.
    std::unique_ptr<checks::CRedis> redis_;
    checks::CRedis::Settings redis_settings_;
    int64_t next_redis_refresh_ = 0;
    // Engines, in construction order; destroyed in reverse.
    std::unique_ptr<checks::CDns> dns_;
    std::unique_ptr<checks::CDnsBL> dnsbl_;
    std::unique_ptr<checks::CBayes> bayes_;
    std::unique_ptr<checks::CBayesFilter> filter_;
    int64_t next_expiry_ = 0;  // when the filter's tokens are next expired
    std::unique_ptr<CMtaList> mta_;
    std::unique_ptr<CListenMorvane> listener_;
    std::unique_ptr<checks::CIpInferno> inferno_;
    std::unique_ptr<checks::CAddressList> relay_;
    std::unique_ptr<checks::CAddressList> dnsbl_white_;
    std::unique_ptr<checks::CAddressList> proxy_from_;
    std::unique_ptr<checks::CSessionCounter> sessions_per_ip_;
    std::unique_ptr<checks::CStatitiche_Day> stats_;
    // Before the sessions, which write to it until they end.
    std::unique_ptr<store::CHistory> history_;
    CActivity activity_;
    std::unique_ptr<CHeldMail> held_;
    std::unique_ptr<checks::CHeloForget> helo_;
    std::unique_ptr<checks::CBrumaCommunity> community_;
    std::unique_ptr<checks::CCommunityServer> community_server_;
    uint64_t community_dropped_logged_ = 0;
    std::unique_ptr<checks::SpfDnsLookup> spf_lookup_;
    std::unique_ptr<checks::CSpf> spf_;
    std::unique_ptr<checks::CLocalDomains> domains_;
    std::unique_ptr<checks::CSpamTrap> traps_;
    std::unique_ptr<checks::CAutoWhitelist> alwl_;
    std::unique_ptr<checks::CGreylist> grey_;
    std::unique_ptr<checks::CRules> rules_;
    std::unique_ptr<checks::CPhishingDB> phishing_;
    std::unique_ptr<SessionHost> sessions_;
    // Last: scripts' shared objects, after the restart was counted.
    std::unique_ptr<checks::CPersistentStore> persistent_;

    // Settings in use by the listener.
    std::string listen_ip_, listen_port_;
    std::string listen_error_;
    mutable common::Mutex identity_mu_;
    Identity identity_ GUARDED_BY(identity_mu_);
    int pool_size_ = 0;
    // Connections that could not be handed off yet.
    std::deque<Admission> waiting_;

    // Block-list checks off the main thread.
    std::vector<std::thread> workers_;
    common::Mutex jobs_mu_;
    std::condition_variable_any jobs_cv_;
    std::deque<Admission> jobs_ GUARDED_BY(jobs_mu_);
    std::deque<Admission> done_ GUARDED_BY(jobs_mu_);
    bool workers_stop_ GUARDED_BY(jobs_mu_) = false;
    std::atomic<bool> workers_stopping_{false};  // a header being read gives up at once
    std::atomic<size_t> in_flight_{0};

    int32_t next_housekeeping_ = 0;
    int32_t last_tick_ = 0;
    bool stopped_ = false;
    int64_t next_save_ = 0;
    int save_runs_ = 1;
    int save_attempts_ = 1;
};

}  // namespace core
