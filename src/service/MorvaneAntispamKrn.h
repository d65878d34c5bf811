#pragma once
// The kernel's life: load the configuration, open the XML log, build the engines, drive them
// from one main loop, apply reloads, rotate the log, and stop everything in a fixed order.
//
// KernelMain runs on its own thread; the process's main thread plays the service controller:
// it turns SIGTERM/SIGINT into a cleared running flag and SIGHUP into a reload request, and
// waits for the worker-exited flag.
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "config/Engine.h"
#include "config/KernelConfig.h"
#include "log/LogRotation.h"
#include "log/LogXML.h"
#include "platform/AppDirLock.h"

namespace platform {
class ServiceLog;
}
namespace core {
class CMorvaneCore;
}
namespace web {
class MetricsServer;
}

namespace service {

// The kernel drives the engines through these; they live below it.
using config::CKernelConfig;
using config::KernelEngine;
using logging::CLogQueue;
using logging::CLogRotation;
using logging::LogQueueItem;
using logging::LogXML;

inline constexpr const char* kAppName = "Morvane AntiSpam";
inline constexpr const char* kLogFileName = "morvane_log.xml";
inline constexpr const char* kConfigFileName = "morvane.ini";

// Flags shared between the controller thread and KernelMain.
struct KernelControl {
    std::atomic<bool> running{true};
    std::atomic<bool> worker_exited{false};
    // Set by the controller on SIGHUP; the main loop re-reads morvane.ini and reloads.
    std::atomic<bool> reload_signal{false};
    // KernelMain has returned, whatever the reason (an early failure leaves worker_exited unset).
    std::atomic<bool> worker_returned{false};
    // Set by the controller on SIGUSR1: drain (no new connections, sessions finish), then stop.
    std::atomic<bool> drain_signal{false};
};

class CMorvaneKernel {
public:
    CMorvaneKernel(KernelControl& control, std::string app_dir);
    ~CMorvaneKernel();

    // The whole life of the kernel. 0 after an orderly shutdown, 1 when start-up failed.
    int Run();

    // Pieces of Run, public for tests that drive the kernel step by step.
    bool Startup();
    void LoopOnce(int64_t now);
    // `write_back`: write the kernel's changes to morvane.ini (not after a failed start).
    void Shutdown(bool write_back = true);
    // The errors of the configuration file as "FILE:LINE: why" ("" when it is missing).
    static std::vector<std::string> ConfigErrors(const std::string& file);
    CKernelConfig* Config() { return config_.get(); }
    LogXML* Log() { return log_.get(); }

private:
    std::string AppFile(const char* name) const;
    void OpenLog();
    void RotateLog();
    bool RunUpgradeStep();
    void UpgradeWebKey();
    void OpenDebugFile();
    void CloseDebugFile();
    void ApplyReload(int64_t now);
    void StepEngine(KernelEngine* engine);
    // Sleeps until an engine has work (a client on a listening socket, the wake raised) or
    // the tick passes.
    void WaitForWork();
    // (Re)starts the monitoring listener when its address changed; a failure is logged and
    // mail flows on without it.
    void StartMetrics();

    KernelControl& control_;
    std::string app_dir_;
    std::vector<int> wait_handles_;   // WaitForWork's, kept to spare an allocation per turn
    std::vector<int> ready_handles_;  // which of them the wait found readable
    platform::AppDirLock lock_;
    std::unique_ptr<CKernelConfig> config_;
    std::unique_ptr<LogXML> log_;
    CLogRotation rotation_;
    bool start_failed_ = false;  // engines were made, then one could not start
    int saved_stdout_ = -1;      // stdout before "debug.txt" took it over
    int64_t last_reload_check_ = 0;
    // The engines in construction order, so they are destroyed web, admin, cron, core.
    // Absent engines are skipped everywhere.
    std::unique_ptr<KernelEngine> core_;
    std::unique_ptr<KernelEngine> cron_;
    std::unique_ptr<KernelEngine> admin_;
    std::unique_ptr<KernelEngine> web_;
    core::CMorvaneCore* core_engine_ = nullptr;  // core_, as what it is
    // Stopped first: its scrapes read every engine.
    std::unique_ptr<web::MetricsServer> metrics_;
    std::string metrics_address_;
};

}  // namespace service
