#include "service/MorvaneAntispamKrn.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "admin/PeerConnection.h"
#include "admin/ServerAdmin.h"
#include "checks/ScriptClasses.h"
#include "common/Clock.h"
#include "common/Md5.h"
#include "core/ConnCounter.h"
#include "core/MorvaneCore.h"
#include "core/SessionPool.h"
#include "cron/CronScheduler.h"
#include "mail/ScriptParseMail.h"
#include "platform/KFile.h"
#include "platform/Paths.h"
#include "platform/WakeEvent.h"
#include "store/DbkUpgrade.h"
#include "web/MetricsServer.h"
#include "web/ServerWEB.h"

namespace service {

namespace {

constexpr const char* kSrc = "MorvaneAntispamKrn";
constexpr const char* kFunc = "MorvaneAntispamkrn::core";

}  // namespace

CMorvaneKernel::CMorvaneKernel(KernelControl& control, std::string app_dir)
    : control_(control), app_dir_(std::move(app_dir)) {}

CMorvaneKernel::~CMorvaneKernel() {
    CloseDebugFile();
}

std::string CMorvaneKernel::AppFile(const char* name) const {
    return app_dir_ + "/" + name;
}

void CMorvaneKernel::OpenLog() {
    log_ = std::make_unique<LogXML>();
    log_->Open(AppFile(kLogFileName), kAppName);
    log_->SetLevel(4);
    log_->Write(4, "RUN AT SYSTEM: LINUX", kSrc, kFunc, "DEBUG", 0);
    log_->SetLevel(config_->loglevel);
    logging::SetQueueLevel(config_->loglevel);
}

void CMorvaneKernel::OpenDebugFile() {
    // At log level 4 everything the program prints lands in "debug.txt", unbuffered, so a
    // crash leaves the last lines on disk.
    int fd = ::open(AppFile("debug.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::fflush(stdout);
    if (saved_stdout_ < 0) saved_stdout_ = ::dup(STDOUT_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void CMorvaneKernel::CloseDebugFile() {
    if (saved_stdout_ < 0) return;
    std::fflush(stdout);
    ::dup2(saved_stdout_, STDOUT_FILENO);
    ::close(saved_stdout_);
    saved_stdout_ = -1;
}

void CMorvaneKernel::UpgradeWebKey() {
    std::string page = std::string(config_->web_path.View()) + "/conf.htmch";
    // Paths written for the old platform may use "\" or doubled separators.
    for (char& c : page)
        if (c == '\\') c = '/';
    for (size_t at; (at = page.find("//")) != std::string::npos;) page.erase(at, 1);
    std::string text;
    if (!platform::ReadWholeFile(page, text)) return;
    const std::string placeholder = "<!--key-->";
    if (text.find(placeholder) == std::string::npos) return;
    char stamp[64];
    std::time_t now = std::time(nullptr);
    std::tm gmt{};
    gmtime_r(&now, &gmt);
    std::strftime(stamp, sizeof stamp, "%a, %d %b %Y %H:%M:%S GMT", &gmt);
    std::string key = common::Md5Hex(stamp);
    for (size_t at; (at = text.find(placeholder)) != std::string::npos;) text.replace(at, placeholder.size(), key);
    platform::WriteFileAtomic(page, text);
}

bool CMorvaneKernel::RunUpgradeStep() {
    UpgradeWebKey();
    std::string broken;
    if (!store::UpgradeV1Tables(app_dir_, &broken)) {
        log_->Write(1, "Cannot upgrade the table " + broken + " (unreadable, or the converted table cannot be saved)",
                    kSrc, kFunc, "SYS", 0);
        // The XML log may filter level 1 out: say it where systemd's journal sees it too.
        std::fprintf(stderr,
                     "morvane: cannot upgrade the table %s; the kernel stops and tries again at its next start\n",
                     broken.c_str());
        return false;
    }
    int idconn = config_->GetInt("CONFIG", "idconn", 0);
    std::string counter = AppFile("countconn.dat");
    if (idconn > 0 && core::ReadConnCounter(counter) == 0) core::WriteConnCounter(counter, idconn);
    return true;
}

bool CMorvaneKernel::Startup() {
    std::string holder;
    if (!lock_.Acquire(app_dir_, &holder)) {
        std::fprintf(stderr, "morvane: %s/%s is held by %s: a kernel already runs on this directory\n",
                     app_dir_.c_str(), platform::kAppDirLockFile, holder.c_str());
        return false;
    }
    config_ = std::make_unique<CKernelConfig>(app_dir_);
    config_->SetFile(AppFile(kConfigFileName));
    // A file the kernel cannot read as written stops it here: running on defaults where the
    // operator set something else (another port, block lists off) is worse than not running.
    std::vector<std::string> errors = ConfigErrors(config_->File());
    config_->LoadConfig();

    OpenLog();
    if (!errors.empty()) {
        for (const std::string& e : errors) {
            log_->Write(0, e, kSrc, kFunc, "SYS", 0);
            std::fprintf(stderr, "morvane: %s\n", e.c_str());
        }
        log_->Write(0, "The configuration has errors (morvane --check-config lists them); the kernel stops", kSrc,
                    kFunc, "SYS", 0);
        std::fprintf(stderr, "morvane: the configuration has errors; the kernel stops\n");
        return false;
    }

    if (platform::FileSize(config_->File()) <= 0 || config_->krnversion.View() != config::kKernelVersion) {
        // The version is written only once the step succeeded: a step that failed runs again
        // at the next start instead of leaving unconverted tables behind for good.
        if (!RunUpgradeStep()) {
            log_->Write(1, "ERROR CHECK DB... EXIT");
            return false;
        }
        config_->krnversion = config::kKernelVersion;
        if (!config_->SaveConfig()) {
            log_->Write(1, "Cannot write the configuration file " + config_->File(), kSrc, kFunc, "SYS", 0);
        }
    }
    if (config_->loglevel == 4) OpenDebugFile();
    common::ProcessMillis();  // starts the process clock
    // Saves cut short (a crash, a full disk) leave their temporaries: one could be mistaken
    // for a table, and they would pile up.
    platform::MakeDirs(AppFile("db"));
    for (const std::string& dir : {app_dir_, AppFile("db")})
        for (const std::string& name : platform::RemoveStaleTemporaries(dir))
            log_->Write(1, "Removed the temporary file of an unfinished save: " + dir + "/" + name, kSrc, kFunc, "SYS",
                        0);

    // The engines: the proxy core; the cron scheduler, admin server and web server join here.
    // Scripts compiled from here on may import the checks' and the mail parser's classes.
    checks::RegisterChecksImportables();
    mail::RegisterMailImportables();
    admin::RegisterPeerImportables();
    auto core = std::make_unique<core::CMorvaneCore>(*config_, app_dir_, std::make_unique<core::CSessionPool>());
    cron::KernelAccess access{core.get(), config_.get(), app_dir_, nullptr, /*main_loop=*/true};
    core_engine_ = core.get();
    core_ = std::move(core);
    core_->DrainTo(*log_);
    auto cron = std::make_unique<cron::CCronScheduler>(access);
    access.scheduler = cron.get();
    cron_ = std::move(cron);
    cron_->DrainTo(*log_);
    admin_ = std::make_unique<admin::CServerAdmin>(*config_, access);
    admin_->DrainTo(*log_);
    web_ = std::make_unique<web::CServerWEB>(*config_, access);
    web_->DrainTo(*log_);

    rotation_.Set(config_->log_rot_type, config_->log_rot_value, common::NowSeconds());
    last_reload_check_ = common::NowSeconds();
    // A listener that could not start: systemd shows the unit failed, with the reason.
    std::string problem;
    for (KernelEngine* e : {core_.get(), admin_.get(), web_.get()})
        if (problem.empty()) problem = e->StartProblem();
    if (!problem.empty()) {
        log_->Write(0, "The kernel cannot start: " + problem, kSrc, kFunc, "SYS", 0);
        std::fprintf(stderr, "morvane: %s; the kernel stops\n", problem.c_str());
        start_failed_ = true;
        return false;
    }
    StartMetrics();
    return true;
}

void CMorvaneKernel::StartMetrics() {
    const std::string address = config_->metrics_listen.str();
    if (metrics_ && address == metrics_address_) return;
    metrics_.reset();
    metrics_address_ = address;
    if (address.empty() || !core_engine_) return;
    core::CMorvaneCore* core = core_engine_;
    auto server = std::make_unique<web::MetricsServer>([core] { return core->Metrics().Render(); },
                                                       [core] { return core->HealthProblem(); });
    std::string why;
    if (!server->Start(address, &why)) {
        log_->Write(1, "Monitoring listener ([METRICS] listen): " + why + "; /metrics and /healthz are off", kSrc,
                    "CMorvaneKernel::StartMetrics", "SYS", 0);
        return;
    }
    log_->Write(1, "Monitoring listener on " + address + " (/metrics, /healthz)", kSrc, "CMorvaneKernel::StartMetrics",
                "SYS", 0);
    metrics_ = std::move(server);
}

std::vector<std::string> CMorvaneKernel::ConfigErrors(const std::string& file) {
    std::vector<std::string> out;
    std::string text;
    if (!platform::ReadWholeFile(file, text)) return out;  // missing: every default
    for (const config::ConfigProblem& p : config::CheckConfigText(text))
        if (p.error) out.push_back(file + ":" + std::to_string(p.line) + ": " + p.message);
    return out;
}

void CMorvaneKernel::StepEngine(KernelEngine* engine) {
    if (!engine) return;
    engine->Step();
    engine->DrainTo(*log_);
}

void CMorvaneKernel::WaitForWork() {
    // The tick is for what no descriptor reports: the time-outs, saves and log collection the
    // engines keep, a signal's flag. Clients wake the loop at once, so an idle kernel holding
    // thousands of sessions wakes fifty times a second, not a thousand.
    constexpr int kTickMs = 20;
    wait_handles_.clear();
    bool pressing = false;
    for (KernelEngine* e : {cron_.get(), core_.get(), admin_.get(), web_.get()}) {
        if (!e) continue;
        e->WaitHandles(&wait_handles_);
        pressing = pressing || e->Pressing();
    }
    if (!platform::KernelWake().WaitFor(pressing ? 1 : kTickMs, wait_handles_, &ready_handles_)) return;
    for (KernelEngine* e : {core_.get(), admin_.get(), web_.get()})
        if (e) e->HandlesReady(ready_handles_);
}

void CMorvaneKernel::RotateLog() {
    log_->Write(1, "Rotate Log -.-.-.-.- << cut", kSrc, {}, "SYS", 0);
    log_->Close();
    log_.reset();
    std::tm t = common::LocalTime(common::NowSeconds());
    char name[96];
    std::snprintf(name, sizeof name, "/logs/log_%04d-%02d-%02d_%02d-%02d-%02d.xml", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    std::string target = app_dir_ + name;
    platform::MakeDirs(app_dir_ + "/logs");
    if (std::rename(AppFile(kLogFileName).c_str(), target.c_str()) != 0)
        std::fprintf(stderr, "morvane: cannot move the log to %s\n", target.c_str());
    OpenLog();
}

void CMorvaneKernel::ApplyReload(int64_t now) {
    if (config_->image_read_requested) {
        config_->ReadImage();
        config_->image_read_requested = false;
    }
    if (control_.reload_signal.exchange(false)) {
        // SIGHUP: the operator edited morvane.ini; read it before the engines reload, unless it
        // has errors: then the settings in use stay, and the log says why.
        std::vector<std::string> errors = ConfigErrors(config_->File());
        if (errors.empty()) {
            config_->LoadConfig();
            config_->reload_mode = 0;
            config_->reload_pending = true;
            log_->Write(1, "Configuration read again from morvane.ini (SIGHUP)", kSrc, kFunc, "SYS", 0);
        } else {
            for (const std::string& e : errors) log_->Write(0, e, kSrc, kFunc, "SYS", 0);
            log_->Write(0, "morvane.ini has errors: not reloaded, the settings in use stay", kSrc, kFunc, "SYS", 0);
        }
    }
    if (now <= last_reload_check_ + 1 || !config_->reload_pending) return;
    int mode = config_->reload_mode;
    if (mode >= 0) {
        // What admin and cron scripts set in the file image becomes the settings in use.
        config_->ReadImage();
        if (log_->GetLevel() != config_->loglevel) {
            CloseDebugFile();
            if (config_->loglevel == 4) OpenDebugFile();
            log_->SetLevel(config_->loglevel);
            logging::SetQueueLevel(config_->loglevel);
        }
        rotation_.Set(config_->log_rot_type, config_->log_rot_value, now);
    }
    if (mode == 0) {
        for (KernelEngine* e : {core_.get(), admin_.get(), web_.get()})
            if (e) e->ReloadConfig();
        StartMetrics();
        log_->Write(1, "Configuration applied to the engines", kSrc, kFunc, "SYS", 0);
    }
    config_->reload_pending = false;
    last_reload_check_ = now;
}

void CMorvaneKernel::LoopOnce(int64_t now) {
    // What is queued from here on raises the wake again.
    platform::KernelWake().Clear();
    StepEngine(cron_.get());
    StepEngine(core_.get());
    if (core_engine_) {
        if ((control_.drain_signal.exchange(false) || core_engine_->DrainRequested()) && !core_engine_->Draining()) {
            core_engine_->Drain();
            core_engine_->DrainTo(*log_);
        }
        if (core_engine_->Drained()) {
            log_->Write(1, "Drained: every session has ended; the kernel stops", kSrc, "CMorvaneKernel::LoopOnce",
                        "SYS", 0);
            control_.running = false;
        }
    }
    StepEngine(admin_.get());
    StepEngine(web_.get());
    if (rotation_.Check(now, log_->Size())) RotateLog();
    ApplyReload(now);
    if (control_.running) WaitForWork();
}

void CMorvaneKernel::Shutdown(bool write_back) {
    metrics_.reset();
    for (KernelEngine* e : {cron_.get(), web_.get(), admin_.get()}) {
        if (!e) continue;
        e->Stop();
        e->DrainTo(*log_);
    }
    if (core_) {
        core_->Stop();
        core_->FinalSave();
        core_->DrainTo(*log_);
    }
    switch (write_back ? config_->WriteBackChanges() : CKernelConfig::WriteBack::kUnchanged) {
        case CKernelConfig::WriteBack::kUnchanged:
        case CKernelConfig::WriteBack::kWritten: break;
        case CKernelConfig::WriteBack::kBeside:
            log_->Write(1,
                        "morvane.ini changed on disk while the kernel ran: kept it, the kernel's settings are in " +
                            config_->BesideFile(),
                        kSrc, kFunc, "SYS", 0);
            break;
        case CKernelConfig::WriteBack::kFailed:
            log_->Write(1, "Cannot write the configuration file " + config_->File(), kSrc, kFunc, "SYS", 0);
            break;
    }
    log_->Write(1, "EXIT THREAD", kSrc, kFunc, "SYS", 0);
    log_->Close();
    log_.reset();
    logging::SetQueueLevel(4);  // as tools and tests expect
    CloseDebugFile();
    control_.worker_exited = true;
    web_.reset();
    admin_.reset();
    cron_.reset();
    core_engine_ = nullptr;
    core_.reset();
    config_.reset();
    lock_.Release();
}

int CMorvaneKernel::Run() {
    if (!Startup()) {
        // Engines that did start are stopped in order; the configuration is not written back.
        if (start_failed_) Shutdown(/*write_back=*/false);
        control_.worker_returned = true;
        return 1;
    }
    while (control_.running) LoopOnce(common::NowSeconds());
    Shutdown();
    control_.worker_returned = true;
    return 0;
}

}  // namespace service
