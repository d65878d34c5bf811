#include "cron/CronScheduler.h"

#include <chrono>

#include "common/Clock.h"
#include "cron/Crontab.h"
#include "platform/KFile.h"
#include "platform/Paths.h"

namespace cron {

namespace {

constexpr const char* kSrc = "CronScheduler";

int64_t RealNow() {
    return common::NowSeconds();
}

// A schedule or identifier that would break the file's line structure when written back.
bool BreaksLine(const char* text, bool schedule) {
    for (const char* p = text; *p; ++p)
        if (*p == '\n' || *p == '\r' || (schedule && *p == '=')) return true;
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CCronThread

CCronThread::CCronThread(const KernelAccess* kernel, std::string script_path)
    : host_(kernel, &log_), path_(std::move(script_path)) {
    host_.Throttle();
}

CCronThread::~CCronThread() {
    // Never destroyed while its thread runs: the scheduler joins it first.
    if (thread_.joinable()) thread_.join();
}

void CCronThread::Start() {
    thread_ = std::thread([this] { Body(); });
}

void CCronThread::Body() {
    std::string error;
    int result = 0;
    // Compiled here, not on the main loop: a script's global code may take its time.
    if (!host_.Load(path_, &error) || !host_.Run("main", &result, &error))
        log_.AddLog(1, "Cron script " + path_ + ": " + error, kSrc, "CCronThread::Run", "CRON", 0);
    else if (result != 0)
        log_.AddLog(2, common::FormatText("Cron script %s returned %d", path_.c_str(), result), kSrc,
                    "CCronThread::Run", "CRON", 0);
    common::MutexLock lock(mu_);
    outcome_ = !error.empty() ? error : result != 0 ? common::FormatText("returned %d", result) : "ok";
    ended_ = true;
    cv_.notify_all();
}

std::string CCronThread::Outcome() {
    common::MutexLock lock(mu_);
    return outcome_;
}

bool CCronThread::Ended() {
    common::MutexLock lock(mu_);
    return ended_;
}

void CCronThread::Join() {
    if (thread_.joinable()) thread_.join();
}

bool CCronThread::Stop(int wait_ms) {
    host_.interpreter().Abort();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    {
        common::MutexLock lock(mu_);
        while (!ended_) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            // Raised again and again: a run that was still compiling clears the flag when it starts.
            host_.interpreter().Abort();
            cv_.wait_for(mu_, std::chrono::milliseconds(20));
        }
    }
    Join();
    return true;
}

// ---------------------------------------------------------------------------------------------
// CCronScheduler

CCronScheduler::CCronScheduler(KernelAccess kernel, Clock clock) : kernel_(std::move(kernel)), clock_(clock) {
    if (!clock_.now) clock_.now = &RealNow;
    if (!clock_.tick) clock_.tick = &common::TickCount;
    kernel_.scheduler = this;
    next_check_ = clock_.now() + 30;
    current_tick_ = last_tick_ = clock_.tick();
    next_collect_ = current_tick_ + kCollectMs;
    std::string text;
    const std::string path = kernel_.app_dir + "/" + kCrontabFile;
    if (!platform::ReadWholeFile(path, text)) return;
    bool truncated = false;
    std::vector<CrontabLine> lines = ParseCrontab(text, &truncated);
    if (truncated)
        AddLog(1, path + " is longer than 4096 bytes: the jobs after the first 4096 bytes are not loaded", kSrc,
               "CCronScheduler::CCronScheduler", "CRON", 0);
    int added = 0;
    for (const CrontabLine& l : lines) added += AddJob(l.schedule.c_str(), l.id.empty() ? nullptr : l.id.c_str());
    AddLog(3, common::FormatText("Start CRON: %d jobs from %s", added, kCrontabFile), kSrc,
           "CCronScheduler::CCronScheduler", "SYS", 0);
}

CCronScheduler::~CCronScheduler() {
    StopAll();
    common::MutexLock lock(mu_);
    for (auto& s : strays_) s->Join();  // runs never outlive what they use
    strays_.clear();
}

void CCronScheduler::Tick() {
    const int64_t now = clock_.now();
    const std::tm local = common::LocalTime(now);
    if (now > next_check_ && local.tm_sec >= 35) {
        next_check_ = now + 30;
        common::MutexLock lock(mu_);
        for (auto& job : jobs_) {
            std::string script;
            if (job->run || !job->enabled || !ScheduleDue(job->schedule, local, &script)) continue;
            job->script = JobScriptName(script);
            job->last_check = local;
            job->last_start = now;
            job->run = std::make_unique<CCronThread>(&kernel_, kernel_.app_dir + "/scripts/cron/" + job->script);
            job->run->Start();
            ++starts_;
        }
    }
    last_tick_ = current_tick_;
    current_tick_ = clock_.tick();
    if (current_tick_ < last_tick_) next_collect_ = current_tick_;
    if (static_cast<int32_t>(next_collect_ - current_tick_) > 0) return;
    next_collect_ = current_tick_ + kCollectMs;
    common::MutexLock lock(mu_);
    CollectLocked();
}

void CCronScheduler::CollectLocked() {
    for (auto& job : jobs_) {
        if (!job->run) continue;
        job->run->Log().MoveTo(*this);
        if (!job->run->Ended()) continue;
        job->run->Join();
        job->run->Log().MoveTo(*this);
        job->last_result = job->run->Outcome();
        job->last_end = clock_.now();
        job->run.reset();
    }
    for (auto it = strays_.begin(); it != strays_.end();) {
        (*it)->Log().MoveTo(*this);
        if (!(*it)->Ended()) {
            ++it;
            continue;
        }
        (*it)->Join();
        (*it)->Log().MoveTo(*this);
        it = strays_.erase(it);
    }
}

void CCronScheduler::StopRunLocked(CCronJob& job) {
    if (!job.run) return;
    job.run->Log().MoveTo(*this);
    bool ended = job.run->Stop(kStopWaitMs);
    job.run->Log().MoveTo(*this);
    if (!ended) {
        AddLog(1,
               "Cron job \"" + job.schedule +
                   "\" still runs 5000 ms after it was asked to stop; left to end on its own, the job may start again",
               kSrc, "CCronScheduler::Stop", "CRON", 0);
        strays_.push_back(std::move(job.run));
    }
    job.run.reset();
}

void CCronScheduler::StopAll() {
    common::MutexLock lock(mu_);
    for (auto& job : jobs_) StopRunLocked(*job);
    CollectLocked();
}

int CCronScheduler::AddJob(const char* schedule, const char* id) {
    if (!schedule || !*schedule) return 0;
    const bool enabled = *schedule != '#';
    if (!enabled && !*++schedule) return 0;
    // Written back as "schedule=id" lines: text that would split a line or move the "=" would
    // turn into other jobs at the next start.
    if (BreaksLine(schedule, true) || (id && BreaksLine(id, false))) return 0;
    const std::string ident = id ? id : "";
    common::MutexLock lock(mu_);
    for (const auto& job : jobs_)
        if ((!ident.empty() && job->id == ident) || job->schedule == schedule) return 0;
    auto job = std::make_unique<CCronJob>();
    job->schedule = schedule;
    job->id = ident;
    job->enabled = enabled;
    jobs_.push_back(std::move(job));
    return 1;
}

bool CCronScheduler::EnableJob(const std::string& which, bool on) {
    common::MutexLock lock(mu_);
    for (auto& job : jobs_) {
        if (which.empty() || (job->id != which && job->schedule != which)) continue;
        job->enabled = on;
        return true;
    }
    return false;
}

int CCronScheduler::DeleteJob(const char* schedule, const char* id) {
    common::MutexLock lock(mu_);
    int removed = 0;
    for (int pass = 0; pass < 2; ++pass) {
        const char* wanted = pass == 0 ? id : schedule;
        if (!wanted || !*wanted) continue;
        for (auto it = jobs_.begin(); it != jobs_.end(); ++it) {
            if ((pass == 0 ? (*it)->id : (*it)->schedule) != wanted) continue;
            StopRunLocked(**it);
            jobs_.erase(it);
            removed = 1;
            break;
        }
    }
    return removed;
}

void CCronScheduler::ViewJobs(script::CS_Array* out, const char* filter, int mode) {
    if (!out) return;
    out->Reset();
    const bool filtered = filter && *filter;
    common::MutexLock lock(mu_);
    for (const auto& job : jobs_) {
        if (filtered && !((mode == 1 && job->id == filter) || (mode == 0 && job->schedule == filter))) continue;
        out->Set(job->schedule, job->id);
    }
}

bool CCronScheduler::SaveCrontab() {
    std::vector<CrontabLine> lines;
    {
        common::MutexLock lock(mu_);
        for (const auto& job : jobs_) lines.push_back({(job->enabled ? "" : "#") + job->schedule, job->id});
    }
    platform::MakeDirs(kernel_.app_dir + "/scripts/cron");
    const std::string path = kernel_.app_dir + "/" + kCrontabFile;
    if (platform::WriteFileAtomic(path, RenderCrontab(lines))) return true;
    AddLog(1, "Cannot write " + path, kSrc, "CCronScheduler::SaveCrontab", "CRON", 0);
    return false;
}

std::vector<CCronScheduler::JobState> CCronScheduler::Jobs() {
    std::vector<JobState> out;
    {
        common::MutexLock lock(mu_);
        for (const auto& job : jobs_) {
            JobState st;
            st.schedule = job->schedule;
            st.id = job->id;
            st.running = job->run != nullptr;
            st.enabled = job->enabled;
            st.last_start = job->last_start;
            st.last_end = job->last_end;
            st.last_result = job->last_result;
            out.push_back(std::move(st));
        }
    }
    // Outside the lock: a schedule seldom due takes a month of minutes to look through.
    const int64_t now = clock_.now();
    for (JobState& st : out) st.next = st.enabled ? NextDue(st.schedule, now) : 0;
    return out;
}

size_t CCronScheduler::StrayRuns() {
    common::MutexLock lock(mu_);
    return strays_.size();
}

}  // namespace cron
