#include "checks/LocalDomains.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "platform/KFile.h"
#include "platform/TestTempDir.h"

namespace checks {
namespace {

class LocalDomainsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_.File("db"));
        ASSERT_TRUE(platform::WriteFileAtomic(
            dir_.File(CLocalDomains::kTemplate),
            "[ADD_VARIABLES]\r\nproprieta=1\r\nperc_user_aggre=0\r\npostmaster=postmaster@[domain]\r\n"
            "[ADD_DBRAM]\r\nlover=lover_[domain].db\r\nwbip=wbip_[domain].db\r\n"));
    }
    std::string Path(const std::string& name) { return dir_.File(name); }
    platform::TestTempDir dir_;
};

TEST_F(LocalDomainsTest, DomainsVariablesAndTables) {
    CLocalDomains d(dir_.Path().string());
    ASSERT_TRUE(d.LoadAll());
    EXPECT_EQ(d.IsLocalDomain("example.org"), -1);
    ASSERT_GE(d.AddLocalDomain("Example.ORG  "), 0);
    EXPECT_EQ(d.AddLocalDomain("example.org"), -1) << "listed already";
    EXPECT_EQ(d.IsLocalDomainByRcptTo("USER@EXAMPLE.ORG"), 1) << "upper-case recipients";
    EXPECT_EQ(d.IsLocalDomainByRcptTo("nobody"), -1);
    EXPECT_EQ(d.IsLocalDomain(""), -1);
    std::shared_ptr<CDomainConf> conf = d.GetDomain("example.org");
    ASSERT_TRUE(conf);
    EXPECT_EQ(conf->GetVar("postmaster"), "postmaster@example.org") << "the template default, [domain] replaced";
    EXPECT_EQ(conf->GetDomainName(), "example.org");
    ASSERT_NE(conf->GetDBRam("wbip"), nullptr);
    EXPECT_EQ(conf->GetDBRam("none"), nullptr);

    conf->GetDBRam("wbip")->Insert("friendly.test", "1 a whole domain");
    conf->GetDBRam("wbip")->Insert("bad@friendly.test", "0 but not this one");
    EXPECT_EQ(d.IsWhiteBlackList("a@example.org", "Someone@Friendly.test"), 1) << "by the sender's domain";
    EXPECT_EQ(d.IsWhiteBlackList("a@example.org b@other.test", "bad@friendly.test"), 0);
    EXPECT_EQ(d.IsWhiteBlackList("a@other.test", "someone@friendly.test"), -1) << "not a local recipient";
    EXPECT_EQ(d.IsWhiteBlackList("a@example.org", ""), -1);

    conf->GetDBRam("lover")->Insert("fan@example.org", "1");
    EXPECT_EQ(d.IsSpamLover("x@other.test FAN@example.org"), 1);
    EXPECT_EQ(d.IsSpamLover("x@example.org"), 0);

    EXPECT_FLOAT_EQ(d.RecalculatingScoreByUser(4, 10, "u@example.org"), 4) << "perc_user_aggre 0";
    conf->SetVar("perc_user_aggre", "50");
    EXPECT_FLOAT_EQ(d.RecalculatingScoreByUser(4, 10, "x@other.test u@example.org"), 9);
    conf->SetVar("perc_user_aggre", "99");
    EXPECT_FLOAT_EQ(d.RecalculatingScoreByUser(4, 10, "u@example.org"), 4) << "strictly between -99 and 99";

    conf->SetVar("perc_user_aggre", "25");
    conf->Save();
    CLocalDomains again(dir_.Path().string());
    ASSERT_TRUE(again.LoadAll());
    ASSERT_TRUE(again.GetDomain("example.org")) << "the addition was saved";
    EXPECT_EQ(again.GetDomain("example.org")->GetVar("perc_user_aggre"), "25") << "kept in db/example.org.cfg";
    EXPECT_EQ(again.IsWhiteBlackList("a@example.org", "x@friendly.test"), 1) << "its tables were saved";
}

TEST_F(LocalDomainsTest, RemovalDeletesTheDomainsFiles) {
    CLocalDomains d(dir_.Path().string());
    d.LoadAll();
    d.AddLocalDomain("gone.test");
    std::shared_ptr<CDomainConf> held = d.GetDomain("gone.test");
    held->GetDBRam("wbip")->Insert("a@b.test", "1");
    held->Save();
    ASSERT_TRUE(std::filesystem::exists(Path("db/gone.test.cfg")));
    ASSERT_TRUE(std::filesystem::exists(Path("db/wbip_gone.test.db")));
    EXPECT_EQ(d.RemoveDomain("GONE.test"), 1);
    EXPECT_EQ(d.RemoveDomain("gone.test"), 0);
    EXPECT_FALSE(std::filesystem::exists(Path("db/gone.test.cfg")));
    EXPECT_FALSE(std::filesystem::exists(Path("db/wbip_gone.test.db")));
    EXPECT_FALSE(std::filesystem::exists(Path("db/lover_gone.test.db")));
    EXPECT_EQ(d.IsLocalDomain("gone.test"), -1);
    EXPECT_EQ(held->GetDomainName(), "gone.test") << "a session that held it still may use it";
    CLocalDomains again(dir_.Path().string());
    again.LoadAll();
    EXPECT_EQ(again.Count(), 0u) << "the removal was saved";
}

TEST_F(LocalDomainsTest, SessionsLookUpWhileDomainsChange) {
    // Eight session threads ask while a cron-like thread adds, removes and reloads (TSan).
    CLocalDomains d(dir_.Path().string());
    d.LoadAll();
    d.AddLocalDomain("stays.test");
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> sessions;
    // The changes start once every session has asked: else they could be done before.
    std::latch started(8);
    for (int t = 0; t < 8; ++t)
        sessions.emplace_back([&] {
            bool first = true;
            while (first || !stop.load()) {
                if (d.IsLocalDomainByRcptTo("a@stays.test") != 1) ++wrong;
                int v = d.IsLocalDomainByRcptTo("a@comes-and-goes.test");
                if (v != 1 && v != -1) ++wrong;
                d.IsWhiteBlackList("a@comes-and-goes.test", "b@c.test");
                if (auto c = d.GetDomain("comes-and-goes.test")) c->GetVar("postmaster");
                if (first) started.count_down();
                first = false;
            }
        });
    started.wait();
    for (int i = 0; i < 30; ++i) {
        d.AddLocalDomain("comes-and-goes.test");
        if (i % 10 == 0) d.LoadAll();
        d.RemoveDomain("comes-and-goes.test");
    }
    stop = true;
    for (auto& t : sessions) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace checks
