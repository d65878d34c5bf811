#include "platform/ServiceControl.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/Regex.h"
#include "platform/KFile.h"
#include "platform/TestTempDir.h"

namespace platform {
namespace {

// A fake systemctl that records its arguments and fails the verbs named in FAIL_VERBS.
class ServiceControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_ / "units");
        fake_ = (dir_ / "systemctl").string();
        std::ofstream(fake_) << "#!/bin/sh\necho \"$*\" >> " << (dir_ / "calls").string()
                             << "\nfor v in $FAIL_VERBS; do [ \"$1\" = \"$v\" ] && exit 5; done\nexit 0\n";
        std::filesystem::permissions(fake_, std::filesystem::perms::owner_all);
        setenv("MORVANE_SYSTEMCTL", fake_.c_str(), 1);
        setenv("MORVANE_UNIT_DIR", (dir_ / "units").c_str(), 1);
        unsetenv("FAIL_VERBS");
    }
    void TearDown() override {
        unsetenv("MORVANE_SYSTEMCTL");
        unsetenv("MORVANE_UNIT_DIR");
        unsetenv("FAIL_VERBS");
    }
    std::string Read(const std::string& name) { return tmp_.Read(name); }
    TestTempDir tmp_;
    const std::filesystem::path& dir_ = tmp_.Path();
    std::string fake_;
};

TEST_F(ServiceControlTest, InstallWritesTheUnitAndStartRunsIt) {
    ServiceLog log((dir_ / "svc.log").string());
    ServiceControl sc(log, "/opt/morvane/morvane", "/var/lib/morvane dir");
    ASSERT_TRUE(sc.Install());
    ASSERT_TRUE(sc.Start());
    std::string unit = Read("units/morvane.service");
    EXPECT_NE(unit.find("Description=Morvane Antispam Kernel"), std::string::npos);
    EXPECT_NE(unit.find("ExecStart=\"/opt/morvane/morvane\" --appdir \"/var/lib/morvane dir\""), std::string::npos);
    EXPECT_NE(unit.find("\nLimitNOFILE=65536\n"), std::string::npos) << "two descriptors a client";
    for (const char* line :
         {"\nNoNewPrivileges=yes\n", "\nPrivateTmp=yes\n", "\nProtectSystem=strict\n", "\nUMask=0027\n"})
        EXPECT_NE(unit.find(line), std::string::npos) << line;
    EXPECT_NE(unit.find("\nReadWritePaths=\""), std::string::npos) << "the application directory stays writable";
    EXPECT_EQ(Read("calls"), "daemon-reload\nenable morvane.service\nstart morvane.service\n");
    std::string text = Read("svc.log");
    EXPECT_NE(text.find("    Service Morvane Antispam Kernel installed\n"), std::string::npos);
    EXPECT_NE(text.find("    Run Service OK !!!\n"), std::string::npos);
    // Month first, then the message on its own line behind four blanks.
    EXPECT_TRUE(common::RegexTest("\\A\\d\\d/\\d\\d/\\d{4}, \\d\\d:\\d\\d:\\d\\d\\n    Service ", 0, text)) << text;
}

TEST_F(ServiceControlTest, FailuresNameTheStepAndItsCode) {
    ServiceLog log((dir_ / "svc.log").string());
    ServiceControl sc(log, "/x/morvane", "/x");
    EXPECT_FALSE(sc.Stop());
    EXPECT_FALSE(sc.Remove());
    std::string text = Read("svc.log");
    size_t first = text.find("OpenService failed, error code = 2\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find("OpenService failed, error code = 2\n", first + 1), std::string::npos)
        << "remove of a missing service reports the stop and the removal";

    ASSERT_TRUE(sc.Install());
    setenv("FAIL_VERBS", "start stop", 1);
    EXPECT_FALSE(sc.Start());
    EXPECT_FALSE(sc.Stop());
    text = Read("svc.log");
    EXPECT_NE(text.find("StartService failed, error code = 5\n"), std::string::npos);
    EXPECT_NE(text.find("ControlService failed, error code = 5\n"), std::string::npos);

    setenv("MORVANE_SYSTEMCTL", (dir_ / "no-such-program").c_str(), 1);
    EXPECT_FALSE(sc.Start());
    EXPECT_NE(Read("svc.log").find("OpenSCManager failed, error code = 127\n"), std::string::npos);
}

TEST_F(ServiceControlTest, RemoveDeletesTheUnit) {
    ServiceLog log((dir_ / "svc.log").string());
    ServiceControl sc(log, "/x/morvane", "/x");
    ASSERT_TRUE(sc.Install());
    ASSERT_TRUE(sc.Remove());
    EXPECT_FALSE(std::filesystem::exists(dir_ / "units/morvane.service"));
    EXPECT_NE(Read("svc.log").find("Service Morvane Antispam Kernel removed\n"), std::string::npos);
}

}  // namespace
}  // namespace platform
