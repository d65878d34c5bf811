#pragma once
// The cron scheduler: jobs from scripts/cron/morvane.crontab, each run in a thread of its own
// with its own interpreter and the cron host, at most once a minute and never while its previous
// run still goes. The main loop steps it (Tick); admin scripts add, delete and list jobs, and
// each change rewrites the crontab file.
//
// A run is stopped through its interpreter's abort flag and waited for up to 5000 ms; one still
// going after that is logged and set aside (the job may run again), and the scheduler waits for
// it when it is destroyed, so nothing a run uses goes away under it. Runs are never killed, so
// they never leave a table's lock held.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/ThreadSafety.h"
#include "config/Engine.h"
#include "cron/CronScript.h"
#include "cron/KernelFunctions.h"
#include "script/CS_Array.h"

namespace cron {

inline constexpr const char* kCrontabFile = "scripts/cron/morvane.crontab";

// One running job.
class CCronThread {
public:
    CCronThread(const KernelAccess* kernel, std::string script_path);
    ~CCronThread();
    void Start();
    // Aborts the run and waits up to `wait_ms` for its thread; true when it has ended (joined).
    bool Stop(int wait_ms);
    bool Ended();
    // Joins an ended thread.
    void Join();
    logging::CLogQueue& Log() { return log_; }
    // After Ended: "ok", "returned N" or the error that stopped the script.
    std::string Outcome();

private:
    void Body();

    logging::CLogQueue log_;  // before the host, which writes to it
    CronScriptHost host_;
    std::string path_;
    std::thread thread_;
    common::Mutex mu_;
    std::condition_variable_any cv_;
    bool ended_ GUARDED_BY(mu_) = false;
    std::string outcome_ GUARDED_BY(mu_);
};

// The clocks a scheduler reads; tests pass their own.
struct CronClock {
    int64_t (*now)() = nullptr;    // seconds since 1970
    uint32_t (*tick)() = nullptr;  // milliseconds, wrapping
};

struct CCronJob {
    std::unique_ptr<CCronThread> run;  // null while idle
    std::string schedule;              // the five time fields and the script
    std::string script;                // the script field at the last due check, separators removed
    std::string id;
    std::tm last_check{};
    // Off: kept in the crontab (as a line starting with "#"), never started.
    bool enabled = true;
    int64_t last_start = 0, last_end = 0;  // seconds since 1970, 0 before the first run
    std::string last_result;               // CCronThread::Outcome of the last run that ended
};

class CCronScheduler : public config::KernelEngine {
public:
    static constexpr int kCollectMs = 200;
    static constexpr int kStopWaitMs = 5000;
    using Clock = CronClock;

    // Loads the crontab from `kernel.app_dir` (a missing file: no jobs).
    explicit CCronScheduler(KernelAccess kernel, Clock clock = {});
    ~CCronScheduler() override;

    // config::KernelEngine
    void Step() override { Tick(); }
    void Stop() override { StopAll(); }

    void Tick();
    void StopAll();
    // A schedule starting with "#" adds the job disabled.
    int AddJob(const char* schedule, const char* id);
    // Turns a job (by identifier, or schedule) on or off; false when there is none.
    bool EnableJob(const std::string& which, bool on);
    int DeleteJob(const char* schedule, const char* id);
    void ViewJobs(script::CS_Array* out, const char* filter, int mode);
    bool SaveCrontab();

    // For tests and the status view.
    struct JobState {
        std::string schedule, id;
        bool running = false;
        bool enabled = true;
        int64_t last_start = 0, last_end = 0;
        std::string last_result;
        int64_t next = 0;  // the minute the job is next due (seconds since 1970), 0 when not within 31 days
    };
    std::vector<JobState> Jobs();
    int RunsStarted() const { return starts_.load(); }
    size_t StrayRuns();

private:
    void StopRunLocked(CCronJob& job) REQUIRES(mu_);
    void CollectLocked() REQUIRES(mu_);

    KernelAccess kernel_;
    Clock clock_;
    common::Mutex mu_;
    std::vector<std::unique_ptr<CCronJob>> jobs_ GUARDED_BY(mu_);
    // Runs that outlived their stop: waited for at destruction.
    std::vector<std::unique_ptr<CCronThread>> strays_ GUARDED_BY(mu_);
    int64_t next_check_ = 0;
    uint32_t next_collect_ = 0, last_tick_ = 0, current_tick_ = 0;
    std::atomic<int> starts_{0};
};

}  // namespace cron
