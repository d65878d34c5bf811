#include "cron/CronScheduler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "checks/ScriptClasses.h"
#include "config/KernelConfig.h"
#include "core/MorvaneCore.h"
#include "cron/Crontab.h"
#include "mail/ScriptParseMail.h"
#include "platform/TestTempDir.h"

namespace cron {
namespace {

int64_t g_now = 0;
uint32_t g_tick = 0;
int64_t Now() {
    return g_now;
}
uint32_t Tick() {
    return g_tick;
}

// Seconds of a local time today-ish: the scheduler matches local time.
int64_t LocalAt(int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 6;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&t));
}

std::string Texts(logging::CLogQueue& q) {
    std::string out;
    for (const auto& item : q.TakeAll()) out += item.entry.str() + "\n";
    return out;
}

class CronSchedulerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        checks::RegisterChecksImportables();
        mail::RegisterMailImportables();
    }
    void SetUp() override {
        g_now = LocalAt(10, 0, 0);
        g_tick = 1000;
        config_.SetFile(dir_.File("morvane.ini"));
        config_.dns_nameservers.clear();
    }
    void Script(const std::string& name, const std::string& body) {
        dir_.Write("scripts/cron/" + name, "CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);\n" + body);
    }
    void Build(bool with_core = true) {
        if (with_core && !core_)
            core_ = std::make_unique<core::CMorvaneCore>(config_, dir_.Path().string(), nullptr, &Now, false);
        access_ = {core_.get(), &config_, dir_.Path().string(), nullptr};
        cron_ = std::make_unique<CCronScheduler>(access_, CCronScheduler::Clock{&Now, &Tick});
    }
    // One main-loop turn at local time hh:mm:ss.
    void TickAt(int hour, int minute, int second) {
        g_now = LocalAt(hour, minute, second);
        g_tick += CCronScheduler::kCollectMs;
        cron_->Tick();
    }
    // Steps until no job runs (the runs are real threads); false after about 5 s.
    bool Settle() {
        for (int i = 0; i < 500; ++i) {
            bool busy = false;
            for (const auto& j : cron_->Jobs()) busy |= j.running;
            if (!busy) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            g_tick += CCronScheduler::kCollectMs;
            cron_->Tick();
        }
        return false;
    }
    void TearDown() override {
        cron_.reset();
        core_.reset();
    }

    platform::TestTempDir dir_;
    config::CKernelConfig config_;
    std::unique_ptr<core::CMorvaneCore> core_;
    KernelAccess access_;
    std::unique_ptr<CCronScheduler> cron_;
};

TEST_F(CronSchedulerTest, RunsOnScheduleOncePerMinuteAfterSecond35) {
    Script("mark.cs", "int main() { k.WriteLog(1, \"ran\", 0); return 0; }");
    // No line feed after the last line: the job is still loaded.
    dir_.Write(kCrontabFile, "*/15 * * * * mark.cs=mark");
    Build(false);
    TickAt(10, 15, 20);
    EXPECT_EQ(cron_->RunsStarted(), 0) << "not before second 35";
    TickAt(10, 15, 40);
    EXPECT_EQ(cron_->RunsStarted(), 1);
    ASSERT_TRUE(Settle());
    EXPECT_NE(Texts(*cron_).find("ran\n"), std::string::npos);
    TickAt(10, 15, 50);
    TickAt(10, 15, 59);
    EXPECT_EQ(cron_->RunsStarted(), 1) << "once per minute";
    TickAt(10, 16, 40);
    EXPECT_EQ(cron_->RunsStarted(), 1);
    TickAt(10, 30, 36);
    EXPECT_EQ(cron_->RunsStarted(), 2);
    ASSERT_TRUE(Settle());
}

TEST_F(CronSchedulerTest, BusyJobIsNotStartedAgainAndStopAllAbortsIt) {
    Script("loop.cs", "int main() { int i = 0; while (1) { i = i + 1; } return 0; }");
    Script("sleepy.cs", "int main() { while (1) { k.Sleep(100000); } return 0; }");
    dir_.Write(kCrontabFile, "* * * * * loop.cs=loop\n* * * * * sleepy.cs=sleepy\n");
    Build(false);
    TickAt(10, 1, 40);
    EXPECT_EQ(cron_->RunsStarted(), 2);
    TickAt(10, 2, 40);
    TickAt(10, 3, 40);
    EXPECT_EQ(cron_->RunsStarted(), 2) << "still running: not started again";
    cron_->StopAll();
    for (const auto& j : cron_->Jobs()) EXPECT_FALSE(j.running) << j.id;
    EXPECT_EQ(cron_->StrayRuns(), 0u) << "both stopped through the abort flag";
    TickAt(10, 4, 40);
    EXPECT_EQ(cron_->RunsStarted(), 4) << "the jobs run again at their next minute";
    cron_->StopAll();
}

TEST_F(CronSchedulerTest, CompileErrorsAreLoggedAndTriedAgain) {
    Script("broken.cs", "int main() { return undefined_thing; }");
    dir_.Write(kCrontabFile, "* * * * * ../broken.cs=b\n");
    Build(false);
    TickAt(10, 1, 40);
    ASSERT_TRUE(Settle());
    std::string log = Texts(*cron_);
    EXPECT_NE(log.find("Cron script " + dir_.File("scripts/cron/..broken.cs")), std::string::npos)
        << "separators are removed from the job's script name: " << log;
    Script("..broken.cs", "int main() { return 0; }");
    TickAt(10, 2, 40);
    ASSERT_TRUE(Settle());
    EXPECT_EQ(cron_->RunsStarted(), 2);
    EXPECT_EQ(Texts(*cron_).find("Cron script"), std::string::npos);
}

TEST_F(CronSchedulerTest, JobsAreAddedDeletedListedAndSaved) {
    dir_.Write(kCrontabFile, "0 3 * * * a.cs=a\n");
    Build(false);
    EXPECT_EQ(cron_->AddJob("0 4 * * * b.cs", "a"), 0) << "identifier taken";
    EXPECT_EQ(cron_->AddJob("0 3 * * * a.cs", "other"), 0) << "schedule taken";
    EXPECT_EQ(cron_->AddJob("", "x"), 0);
    EXPECT_EQ(cron_->AddJob("0 5 * * * c.cs=evil", "c"), 0) << "an = would move into the identifier";
    EXPECT_EQ(cron_->AddJob("0 5 * * * c.cs", "c\n* * * * * evil.cs"), 0) << "a line feed would add a job";
    EXPECT_EQ(dir_.Read(kCrontabFile), "0 3 * * * a.cs=a\n") << "nothing saved";
    EXPECT_EQ(cron_->AddJob("0 4 * * * b.cs", "b"), 1);
    EXPECT_EQ(cron_->AddJob("0 5 * * * c.cs", nullptr), 1);
    ASSERT_TRUE(cron_->SaveCrontab());
    EXPECT_EQ(dir_.Read(kCrontabFile), "0 3 * * * a.cs=a\n0 4 * * * b.cs=b\n0 5 * * * c.cs=\n");

    script::CS_Array view;
    cron_->ViewJobs(&view, nullptr, 0);
    EXPECT_EQ(view.GetRecordCount(), 3);
    cron_->ViewJobs(&view, "b", 1);
    ASSERT_EQ(view.GetRecordCount(), 1);
    cron_->ViewJobs(&view, "0 5 * * * c.cs", 0);
    EXPECT_EQ(view.GetRecordCount(), 1);
    cron_->ViewJobs(&view, "b", 2);
    EXPECT_EQ(view.GetRecordCount(), 0) << "other modes list none";

    EXPECT_EQ(cron_->DeleteJob("0 5 * * * c.cs", "a"), 1) << "by identifier and by schedule in one call";
    EXPECT_EQ(cron_->DeleteJob(nullptr, "zzz"), 0);
    ASSERT_TRUE(cron_->SaveCrontab());
    EXPECT_EQ(dir_.Read(kCrontabFile), "0 4 * * * b.cs=b\n");
    for (const auto& entry : std::filesystem::directory_iterator(dir_.File("scripts/cron")))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << "no temporary left";
}

TEST_F(CronSchedulerTest, AnOffJobStaysInTheCrontabAndRunsAreReported) {
    Script("mark.cs", "int main() { return 0; }");
    Script("odd.cs", "int main() { return 3; }");
    dir_.Write(kCrontabFile, "#*/15 * * * * mark.cs=mark\n*/15 * * * * odd.cs=odd\n");
    Build(false);
    auto jobs = cron_->Jobs();
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_FALSE(jobs[0].enabled);
    EXPECT_EQ(jobs[0].schedule, "*/15 * * * * mark.cs") << "the mark is no part of the schedule";
    EXPECT_EQ(jobs[0].next, 0) << "an off job has no next run";
    EXPECT_EQ(jobs[1].next, LocalAt(10, 15, 0)) << "the next minute the schedule is due";
    TickAt(10, 15, 40);
    EXPECT_EQ(cron_->RunsStarted(), 1) << "only the job that is on";
    ASSERT_TRUE(Settle());
    jobs = cron_->Jobs();
    EXPECT_EQ(jobs[1].last_start, LocalAt(10, 15, 40));
    EXPECT_GE(jobs[1].last_end, jobs[1].last_start);
    EXPECT_EQ(jobs[1].last_result, "returned 3");
    EXPECT_EQ(jobs[1].next, LocalAt(10, 30, 0));

    EXPECT_TRUE(cron_->EnableJob("mark", true));
    EXPECT_TRUE(cron_->EnableJob("*/15 * * * * odd.cs", false)) << "by schedule too";
    EXPECT_FALSE(cron_->EnableJob("nothing", true));
    ASSERT_TRUE(cron_->SaveCrontab());
    EXPECT_EQ(dir_.Read(kCrontabFile), "*/15 * * * * mark.cs=mark\n#*/15 * * * * odd.cs=odd\n");
    TickAt(10, 30, 40);
    ASSERT_TRUE(Settle());
    jobs = cron_->Jobs();
    EXPECT_EQ(jobs[0].last_result, "ok");
    EXPECT_EQ(jobs[1].last_start, LocalAt(10, 15, 40)) << "the job turned off did not run";
    EXPECT_EQ(NextDue("0 0 31 2 * x.cs", LocalAt(10, 0, 0)), 0) << "never due: none within the look-ahead";
}

TEST_F(CronSchedulerTest, DeletingARunningJobStopsIt) {
    Script("loop.cs", "int main() { while (1) { k.Sleep(50); } return 0; }");
    dir_.Write(kCrontabFile, "* * * * * loop.cs=loop\n");
    Build(false);
    TickAt(10, 1, 40);
    ASSERT_EQ(cron_->Jobs().size(), 1u);
    EXPECT_TRUE(cron_->Jobs()[0].running);
    EXPECT_EQ(cron_->DeleteJob(nullptr, "loop"), 1);
    EXPECT_TRUE(cron_->Jobs().empty());
    EXPECT_EQ(cron_->StrayRuns(), 0u);
}

TEST_F(CronSchedulerTest, RunScriptStripsPathsAndNestsWithLimit) {
    Script("other.cs", "int main() { return 42; }");
    Script("self.cs", "int main() { return k.RunScript(\"self.cs\"); }");
    Script("main.cs", R"cs(int main() {
        if (k.RunScript("../other.cs") != 42) return 1;
        if (k.RunScript("~/../other.cs") != 42) return 2;
        if (k.RunScript("") != -1 || k.RunScript("missing.cs") != -1) return 3;
        if (k.RunScript("self.cs") != -1) return 4;
        k.WriteLog(1, "all good", 0);
        return 0; })cs");
    dir_.Write(kCrontabFile, "* * * * * main.cs=main\n");
    Build(false);
    TickAt(10, 1, 40);
    ASSERT_TRUE(Settle());
    std::string log = Texts(*cron_);
    EXPECT_NE(log.find("all good"), std::string::npos) << log;
    EXPECT_NE(log.find("nested more than 8 deep"), std::string::npos) << log;
}

// The shared functions on a real core, run as a job would.
TEST_F(CronSchedulerTest, HostFunctionsReachTheKernel) {
    Script("f.cs", R"cs(#import(class, HashArray)
#import(class, CS_Bayes)
#import(class, CS_RulesDB)
#import(class, CDB_Ram)
#import(class, CDomainConf)
#import(class, CS_Flag)
int main() {
    HashArray a = new HashArray();
    k.SetConfig("CONFIG", "myname", "cron.test");
    k.SetConfig("CUSTOM", "color", "blue");
    if (k.GetConfig("color", 0) != "blue") return 1;
    if (k.GetConfig("myname", "CONFIG") != "cron.test") return 2;
    k.SaveConfig();
    if (k.InsertDomain("example.test") != 0 || k.InsertDomain("example.test") != -1) return 3;
    CDomainConf d = k.GetDomain("example.test");
    if (d.GetDomainName() != "example.test") return 4;
    CDB_Ram t = k.GetDBRamDomains();
    if (t.GetCount() != 1) return 5;
    k.GetTablesCount(a);
    if (a.GetS("domains") != "1") return 6;
    CS_Bayes b = k.GetDBBayes();
    if (b.GetWordsCount("spam") != 0) return 7;
    CS_RulesDB r = k.GetRulesDB();
    if (k.SetHeloRefresh() != 0) return 8;
    CS_Flag f = k.CreatePersistentOBJ("runs", "CS_Flag");
    f.SetInt(5);
    CS_Flag g = k.GetPersistentOBJ("runs", "CS_Flag");
    if (g.GetInt() != 5) return 9;
    if (k.LearnBayesQuarantine(1) != 0 || k.LearnBayesQuarantine(7) != -1) return 10;
    k.SetRebootConfig(1);
    return 0;
})cs");
    dir_.Write(kCrontabFile, "* * * * * f.cs=f\n");
    config_.LoadConfig();
    Build();
    TickAt(10, 1, 40);
    ASSERT_TRUE(Settle());
    std::string log = Texts(*cron_);
    EXPECT_EQ(log.find("Cron script"), std::string::npos) << log;
    // The image holds the script's value; the setting in use waits for the reload.
    EXPECT_EQ(config_.myname.str(), "");
    store::CFileINI saved;
    ASSERT_TRUE(saved.Load(dir_.File("morvane.ini")));
    EXPECT_EQ(saved.GetString("CONFIG", "myname", "").str(), "cron.test") << "SaveConfig kept the script's value";
    EXPECT_EQ(saved.GetString("CUSTOM", "color", "").str(), "blue");
    EXPECT_TRUE(config_.reload_pending);
    EXPECT_EQ(config_.reload_mode.load(), 0);
    config_.ReadImage();
    EXPECT_EQ(config_.myname.str(), "cron.test");
    EXPECT_EQ(core_->LocalDomains()->Count(), 1u);
}

}  // namespace
}  // namespace cron
