#include "core/SessionPool.h"

#include <algorithm>
#include <thread>

#include "common/Clock.h"
#include "config/KernelConfig.h"

namespace core {

namespace {
constexpr const char* kSrc = "MorvaneCore";
}

CSessionPool::CSessionPool()
    : loops_([this](int level, const std::string& text) { log_.AddLog(level, text, kSrc, "CEventLoop", "SYS", 0); },
             [this] {
                 if (core_)
                     core_->CountMetric("morvane_event_loop_slow_steps_total",
                                        "Steps of a session that held its event loop over 50 ms without a wait.", "",
                                        "");
             }) {}

CSessionPool::~CSessionPool() {
    StopAll();
}

void CSessionPool::Reload(const config::CKernelConfig& c, const std::string& app_dir) {
    // The configuration's defaults apply when a key is missing; SessionSettings' own values
    // when one is set to 0 or less.
    auto s = std::make_shared<SessionSettings>();
    const SessionSettings fallback;
    s->recv_size = c.buffer_socket_size > 0 ? c.buffer_socket_size : fallback.recv_size;
    s->select_ms = c.socket_select_time > 0 ? c.socket_select_time : fallback.select_ms;
    s->timeout_client = c.timeout_client;
    s->error_max = c.error_max;
    s->mta_timeout_data = c.mta_timeout_data > 0 ? c.mta_timeout_data : fallback.mta_timeout_data;
    s->mta_timeout_cmd = c.mta_timeout_cmd > 0 ? c.mta_timeout_cmd : fallback.mta_timeout_cmd;
    s->held_max_bytes = c.held_max_bytes;
    s->adapter_ip = c.adapter_ip.str();
    s->myname = c.myname.str();
    s->scripts = c.cs_scripts;
    s->script_dir = app_dir + "/scripts/antispam/";
    CTlsSettings::LogLines tls_log;
    tls_.Reload(c, &tls_log);
    for (const auto& [level, text] : tls_log) log_.AddLog(level, text, kSrc, "CSessionPool::Reload", "SYS", 0);
    s->tls = tls_.Current();
    settings_ = std::move(s);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    if (!loops_.Resize(c.io_threads > 0 ? static_cast<size_t>(c.io_threads) : cores))
        log_.AddLog(1, "No event loop could be started: sessions cannot be served", kSrc, "CSessionPool::Reload", "SYS",
                    0);

    const bool caching = c.enable_cache_script;
    const int pool = c.n_max_listen > 0 ? c.n_max_listen : 20;
    // A reload never cuts a connection: sessions that no longer fit finish what they serve and
    // are retired once idle.
    if (caching != caching_) {
        Retire(sessions_.size());
        caching_ = caching;
    }
    if (!caching_ || !core_) return;
    if (sessions_.size() > static_cast<size_t>(pool)) Retire(sessions_.size() - static_cast<size_t>(pool));
    while (sessions_.size() < static_cast<size_t>(pool)) {
        std::unique_ptr<CLauchAntispam> session = NewSession();
        if (!session) break;
        session->Prepare(settings_, loops_.Pick());
        sessions_.push_back(std::move(session));
    }
}

void CSessionPool::Retire(size_t count) {
    // Idle sessions go first: they can end at once.
    std::stable_partition(sessions_.begin(), sessions_.end(),
                          [](const std::unique_ptr<CLauchAntispam>& s) { return s->Busy() || !s->Idle(); });
    for (size_t i = 0; i < count && !sessions_.empty(); ++i) {
        retiring_.push_back(std::move(sessions_.back()));
        sessions_.pop_back();
    }
    StopIdleRetiring();
}

void CSessionPool::StopIdleRetiring() {
    std::vector<std::unique_ptr<CLauchAntispam>> done;
    for (auto it = retiring_.begin(); it != retiring_.end();) {
        if (!(*it)->Busy() && (*it)->Idle()) {
            done.push_back(std::move(*it));
            it = retiring_.erase(it);
        } else {
            ++it;
        }
    }
    StopSessions(done);
}

std::unique_ptr<CLauchAntispam> CSessionPool::NewSession() {
    auto session = std::make_unique<CLauchAntispam>(*core_, caching_);
    session->CountBusyIn(&busy_);
    session->SignalTo(&logged_);
    return session;
}

size_t CSessionPool::Total() const {
    return sessions_.size() + retiring_.size() + stuck_.size();
}

bool CSessionPool::HandOff(int32_t id, CSocketComm* slot, const std::string&, bool counted) {
    if (!core_) return false;
    // An idle session takes it first: its buffers are already there. Without caching its script
    // host starts its scripts afresh. The first idle one: the sessions used most recently are
    // the ones whose memory is warm.
    platform::CEventLoop* loop = loops_.Pick();
    if (!loop) return false;
    // Every session busy (thousands of held connections): none to look for.
    if (static_cast<size_t>(busy_.load()) < Total())
        for (auto& s : sessions_)
            if (!s->Busy() && s->Idle() && s->HandOff(id, slot, settings_, loop, counted)) return true;
    std::unique_ptr<CLauchAntispam> session = NewSession();
    if (!session || !session->HandOff(id, slot, settings_, loop, counted)) {
        log_.AddLog(1, "ERROR non allocate memory for CThreadAntispam class", kSrc, "CMorvaneCore::Step", "SYS", id);
        return false;
    }
    sessions_.push_back(std::move(session));
    return true;
}

bool CSessionPool::AnyBusy() const {
    for (const auto& s : sessions_)
        if (s->Busy() || !s->Idle()) return true;
    for (const auto& s : retiring_)
        if (s->Busy() || !s->Idle()) return true;
    return false;
}

void CSessionPool::Housekeeping(logging::CLogQueue& core_log) {
    const bool logged = logged_.exchange(false, std::memory_order_acq_rel);
    for (auto& s : retiring_) s->MoveTo(core_log);
    StopIdleRetiring();
    // Some session is not busy: one of them may have been idle long enough to retire.
    const int busy = busy_.load();
    const bool retire = !caching_ && static_cast<size_t>(busy) < Total();
    std::vector<std::unique_ptr<CLauchAntispam>> retired;
    if (logged || retire) {
        const int64_t now = common::ProcessMillis();
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            (*it)->MoveTo(core_log);
            if (retire && !(*it)->Busy() && (*it)->Idle() && now - (*it)->IdleSince() > kRetireIdleMs) {
                retired.push_back(std::move(*it));
                it = sessions_.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (core_) core_->SetSessionsOpen(static_cast<size_t>(busy));
    // The most connections served at once (the number of busy sessions, not a position).
    if (busy > 0 && core_) core_->Statistics()->AddItem("f1max_conn_contemp", 1, 0, static_cast<float>(busy), 6);
    StopSessions(retired);
    log_.MoveTo(core_log);
    for (auto it = stuck_.begin(); it != stuck_.end();) {
        (*it)->MoveTo(core_log);
        if ((*it)->HasEnded()) {
            it = stuck_.erase(it);
        } else {
            ++it;
        }
    }
    if (sessions_.empty()) sessions_.shrink_to_fit();
}

void CSessionPool::StopSessions(std::vector<std::unique_ptr<CLauchAntispam>>& sessions) {
    // Ask all first, then wait: the waits overlap instead of adding up.
    for (auto& s : sessions) s->StopSession(0);
    for (auto& s : sessions) {
        bool ended = s->StopSession();
        s->MoveTo(log_);
        if (ended) continue;
        log_.AddLog(1, "A session did not stop in time; it is left to end on its own", kSrc, "CMorvaneCore::Stop",
                    "SYS", 0);
        stuck_.push_back(std::move(s));
    }
    sessions.clear();
}

void CSessionPool::StopAll() {
    StopSessions(sessions_);
    StopSessions(retiring_);
    if (core_) log_.MoveTo(*core_);  // the sessions' last lines
}

}  // namespace core
