#pragma once
// CSessionPool: the relay's sessions as the core sees them. A connection goes to the first
// idle session, or to a new one, and runs on a fiber of the least busy of the pool's event
// loops (`io_threads` of them, one per core by default). Without script caching a session's
// scripts are compiled for each connection and an idle session is retired after a while; with
// caching the pool holds `n_max_listen` sessions whose scripts stay compiled.
//
// Main thread only. Sessions whose fiber does not end when stopped are kept (never destroyed
// under it) and reported.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "core/LauchAntispam.h"
#include "core/MorvaneCore.h"
#include "platform/EventLoop.h"

namespace core {

class CSessionPool : public SessionHost {
public:
    // Without caching, a session idle this long is retired (freed); until then it takes new
    // connections, so a busy server does not build a session and its scripts per connection.
    static constexpr int32_t kRetireIdleMs = 2000;

    CSessionPool();
    ~CSessionPool() override;

    void Bind(CMorvaneCore& core) override { core_ = &core; }
    void Reload(const config::CKernelConfig& config, const std::string& app_dir) override;
    bool HandOff(int32_t id, CSocketComm* slot, const std::string& ip, bool counted) override;
    size_t Sessions() const override { return sessions_.size() + retiring_.size(); }
    // Sessions that take connections (the pool, and those made when it was all busy).
    size_t Active() const { return sessions_.size(); }
    bool AnyBusy() const override;
    void Housekeeping(logging::CLogQueue& core_log) override;
    void StopAll() override;

    std::shared_ptr<const SessionSettings> Settings() const { return settings_; }

private:
    // Stops the sessions; those still running after the wait are kept in `stuck_`.
    void StopSessions(std::vector<std::unique_ptr<CLauchAntispam>>& sessions);
    std::unique_ptr<CLauchAntispam> NewSession();
    // Sessions in the pool, retiring and stuck: what busy_ counts among.
    size_t Total() const;
    // Moves `count` sessions, idle ones first, out of the pool; each is stopped once idle.
    void Retire(size_t count);
    void StopIdleRetiring();

    CMorvaneCore* core_ = nullptr;
    // Before the loops, which log into it from their threads, and the loops before the
    // sessions: the sessions are stopped and destroyed first, their loops after them.
    logging::CLogQueue log_;
    platform::CLoopGroup loops_;
    std::shared_ptr<const SessionSettings> settings_ = std::make_shared<SessionSettings>();
    bool caching_ = false;
    CTlsSettings tls_;
    // Before the sessions, which keep them up to date from their loops until they end: the
    // sessions busy, and whether any of them logged since the last housekeeping. With
    // thousands of sessions held, visiting each one costs a cache miss or two, so housekeeping
    // and hand-off look at them only when these say there is something to find.
    std::atomic<int> busy_{0};
    std::atomic<bool> logged_{false};
    std::vector<std::unique_ptr<CLauchAntispam>> sessions_;
    std::vector<std::unique_ptr<CLauchAntispam>> retiring_;  // take no new connection
    std::vector<std::unique_ptr<CLauchAntispam>> stuck_;
};

}  // namespace core
