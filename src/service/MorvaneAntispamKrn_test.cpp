#include "service/MorvaneAntispamKrn.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "common/Clock.h"
#include "core/ConnCounter.h"
#include "platform/KFile.h"
#include "platform/TestTempDir.h"

namespace service {
namespace {

class KernelTest : public ::testing::Test {
protected:
    std::string File(const std::string& name) { return tmp_.File(name); }
    std::string Read(const std::string& name) { return tmp_.Read(name); }
    void Write(const std::string& name, const std::string& text) { ASSERT_TRUE(tmp_.Write(name, text)); }
    platform::TestTempDir tmp_;
    const std::filesystem::path& dir_ = tmp_.Path();
    KernelControl control_;
};

TEST_F(KernelTest, FirstStartRunsTheUpgradeStep) {
    Write("www/conf.htmch", "<p><!--key--></p><i><!--key--></i>");
    Write("morvane.ini", "[WEBGUI]\r\nport=0\r\n[CONFIG]\r\nlisten_ip=127.0.0.1\r\nlisten_port=0\r\nidconn=4711\r\n");
    CMorvaneKernel kernel(control_, dir_.string());
    ASSERT_TRUE(kernel.Startup());
    std::string page = Read("www/conf.htmch");
    EXPECT_EQ(page.find("<!--key-->"), std::string::npos);
    EXPECT_EQ(page.size(), std::string("<p></p><i></i>").size() + 64) << "each placeholder became an MD5 digest";
    EXPECT_EQ(core::ReadConnCounter(File("countconn.dat")), 4711);
    EXPECT_NE(Read("morvane.ini").find("krnversion=3.0.1"), std::string::npos);
    kernel.Shutdown();
    EXPECT_TRUE(control_.worker_exited);
}

TEST_F(KernelTest, UnreadableTableStopsTheFirstStart) {
    Write("db/domain_local.db", "garbage, not a table");  // (the core never starts)
    Write("morvane.ini", "[WEBGUI]\r\nport=0\r\n[CONFIG]\r\nlisten_ip=127.0.0.1\r\nlisten_port=0\r\nloglevel=1\r\n");
    CMorvaneKernel kernel(control_, dir_.string());
    EXPECT_FALSE(kernel.Startup());
    kernel.Log()->Close();
    std::string log = Read("morvane_log.xml");
    EXPECT_NE(log.find("domain_local.db"), std::string::npos);
    EXPECT_NE(log.find("<Entry>ERROR CHECK DB... EXIT</Entry>"), std::string::npos);
    EXPECT_EQ(Read("morvane.ini").find("krnversion"), std::string::npos) << "the version waits for a step that worked";
}

TEST_F(KernelTest, AFailedUpgradeRunsAgainAtTheNextStart) {
    Write("db/domain_local.db", "garbage, not a table");
    Write("morvane.ini", "[WEBGUI]\r\nport=0\r\n[CONFIG]\r\nlisten_ip=127.0.0.1\r\nlisten_port=0\r\nidconn=4711\r\n");
    {
        CMorvaneKernel kernel(control_, dir_.string());
        EXPECT_FALSE(kernel.Startup());
        kernel.Log()->Close();
    }
    EXPECT_FALSE(std::filesystem::exists(File("countconn.dat")));
    std::filesystem::remove(File("db/domain_local.db"));  // the operator mends it
    CMorvaneKernel kernel(control_, dir_.string());
    ASSERT_TRUE(kernel.Startup());
    EXPECT_EQ(core::ReadConnCounter(File("countconn.dat")), 4711) << "the step ran on the second start";
    EXPECT_NE(Read("morvane.ini").find("krnversion=3.0.1"), std::string::npos);
    kernel.Shutdown();
}

TEST_F(KernelTest, CurrentVersionSkipsTheUpgradeStep) {
    Write("www/conf.htmch", "<!--key-->");
    Write("morvane.ini",
          "[WEBGUI]\r\nport=0\r\n[CONFIG]\r\nlisten_ip=127.0.0.1\r\nlisten_port=0\r\nkrnversion=3.0.1\r\nidconn=5\r\n");
    CMorvaneKernel kernel(control_, dir_.string());
    ASSERT_TRUE(kernel.Startup());
    EXPECT_EQ(Read("www/conf.htmch"), "<!--key-->");
    EXPECT_FALSE(std::filesystem::exists(File("countconn.dat")));
    kernel.Shutdown();
}

TEST_F(KernelTest, ShutdownStopsTheCoreAndSavesItsTables) {
    Write(
        "morvane.ini",
        "[WEBGUI]\r\nport=0\r\n[CONFIG]\r\nlisten_ip=127.0.0.1\r\nlisten_port=0\r\nkrnversion=3.0.1\r\nloglevel=3\r\n");
    CMorvaneKernel kernel(control_, dir_.string());
    ASSERT_TRUE(kernel.Startup());
    kernel.LoopOnce(common::NowSeconds());
    kernel.Shutdown();
    std::string log = Read("morvane_log.xml");
    size_t start = log.find("Start MORVANE PROXY ENGINE ip 127.0.0.1");
    size_t stop = log.find("Stop DNS server");
    size_t save = log.find("Save DB O.K");
    size_t exit = log.find("EXIT THREAD");
    ASSERT_NE(start, std::string::npos);
    ASSERT_NE(stop, std::string::npos);
    ASSERT_NE(save, std::string::npos) << "the final save writes every table";
    ASSERT_NE(exit, std::string::npos);
    EXPECT_LT(start, stop);
    EXPECT_LT(stop, save);
    EXPECT_LT(save, exit);
    for (const char* table : {"db/cache_dns.db", "db/cache_dnsbl.db", "db/greylists.db", "db/ip_imbargo.db",
                              "db/AL_whitelist.db", "countconn.dat"})
        EXPECT_TRUE(std::filesystem::exists(File(table))) << table;
}

TEST_F(KernelTest, RotationMovesTheLogAndStartsANewDocument) {
    Write("morvane.ini",
          "[WEBGUI]\r\nport=0\r\n[CONFIG]\r\nlisten_ip=127.0.0.1\r\nlisten_port=0\r\nkrnversion=3.0.1\r\nloglevel="
          "1\r\nlog_rot_type=1\r\nlog_"
          "rot_value=1\r\n");
    CMorvaneKernel kernel(control_, dir_.string());
    ASSERT_TRUE(kernel.Startup());
    int64_t now = common::NowSeconds();
    kernel.LoopOnce(now);
    EXPECT_FALSE(std::filesystem::exists(File("logs")));
    kernel.LoopOnce(now + 3600);
    ASSERT_TRUE(std::filesystem::exists(File("logs")));
    std::string rotated;
    for (auto& e : std::filesystem::directory_iterator(File("logs"))) rotated = e.path().filename().string();
    EXPECT_EQ(rotated.rfind("log_", 0), 0u);
    std::string old_log = Read("logs/" + rotated);
    EXPECT_NE(old_log.find("Rotate Log -.-.-.-.- &lt;&lt; cut"), std::string::npos);
    EXPECT_NE(old_log.find("Log File closed"), std::string::npos);
    std::string fresh = Read("morvane_log.xml");
    EXPECT_NE(fresh.find("<AppName>Morvane AntiSpam</AppName>"), std::string::npos);
    EXPECT_NE(fresh.find("RUN AT SYSTEM"), std::string::npos) << "the new log was opened at level 4";
    kernel.Shutdown();
}

TEST_F(KernelTest, ReloadRequestAppliesTheLogLevelAtMostOncePerSecond) {
    Write(
        "morvane.ini",
        "[WEBGUI]\r\nport=0\r\n[CONFIG]\r\nlisten_ip=127.0.0.1\r\nlisten_port=0\r\nkrnversion=3.0.1\r\nloglevel=1\r\n");
    CMorvaneKernel kernel(control_, dir_.string());
    ASSERT_TRUE(kernel.Startup());
    int64_t now = common::NowSeconds();
    kernel.Config()->loglevel = 3;
    kernel.Config()->reload_mode = 1;
    kernel.Config()->reload_pending = true;
    kernel.LoopOnce(now);
    EXPECT_EQ(kernel.Log()->GetLevel(), 1) << "not yet: the last check was this second";
    kernel.LoopOnce(now + 2);
    EXPECT_EQ(kernel.Log()->GetLevel(), 3);
    EXPECT_FALSE(kernel.Config()->reload_pending);

    // SIGHUP: the file is read again before the reload is applied.
    Write(
        "morvane.ini",
        "[WEBGUI]\r\nport=0\r\n[CONFIG]\r\nlisten_ip=127.0.0.1\r\nlisten_port=0\r\nkrnversion=3.0.1\r\nloglevel=2\r\n");
    control_.reload_signal = true;
    kernel.LoopOnce(now + 5);
    EXPECT_EQ(kernel.Log()->GetLevel(), 2);
    kernel.Shutdown();
    EXPECT_NE(Read("morvane_log.xml").find("EXIT THREAD"), std::string::npos);
}

}  // namespace
}  // namespace service
