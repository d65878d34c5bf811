#include "core/MorvaneCore.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "checks/FakeDns.h"
#include "common/Md5.h"
#include "core/TestClient.h"
#include "platform/TestTempDir.h"

namespace core {
namespace {

// Records hand-offs and answers "220 test" so the client sees it was taken.
class RecordingSessions : public SessionHost {
public:
    bool HandOff(int32_t id, CSocketComm* slot, const std::string& ip, bool counted) override {
        ids.push_back(id);
        ips.push_back(ip);
        counted_ips += counted ? 1 : 0;
        slot->Send("220 test\r\n", 100);
        slot->Release();
        return true;
    }
    size_t Sessions() const override { return sessions; }
    bool AnyBusy() const override { return busy; }
    std::vector<int32_t> ids;
    std::vector<std::string> ips;
    int counted_ips = 0;
    size_t sessions = 0;
    bool busy = false;
};

int64_t g_now = 1'700'000'000;
int64_t Now() {
    return g_now;
}

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = 1'700'000'000;
        config_.listen_ip = "127.0.0.1";
        config_.listen_port = "0";
        config_.script_enable = true;
        config_.myname = "mx.test";
        config_.dns_nameservers = {common::String(dns_.Address())};
        config_.dnsbl_zones = {common::String("bl.test|1.0"), common::String("other.test|1.0")};
        config_.dnsbl_timeout_millisecond = 500;
        config_.dnsbl_timeout_millisecond_sc = 200;
        config_.maxhit = 1;
    }
    void Build() {
        auto s = std::make_unique<RecordingSessions>();
        sessions_ = s.get();
        core_ = std::make_unique<CMorvaneCore>(config_, dir_.Path().string(), std::move(s), &Now);
    }
    // Connects, steps the core until the client gets an answer, returns it.
    std::string Visit() {
        int fd = testing::ConnectLoopback(core_->Listener()->Port());
        EXPECT_GE(fd, 0);
        std::string out;
        char buf[512];
        for (int i = 0; i < 300; ++i) {
            core_->Step();
            ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) out.append(buf, static_cast<size_t>(n));
            if (n == 0 || (!out.empty() && out.find("\r\n") != std::string::npos && n < 0)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::close(fd);
        return out;
    }
    std::string Log() {
        std::string all;
        for (auto& item : core_->TakeAll()) all += item.entry.str() + "\n";
        return all;
    }
    float Stat(const std::string& name) { return core_->Statistics()->Value(name).value_or(0.0f); }

    checks::FakeDns dns_;
    platform::TestTempDir dir_;
    config::CKernelConfig config_{""};
    std::unique_ptr<CMorvaneCore> core_;
    RecordingSessions* sessions_ = nullptr;
};

TEST_F(CoreTest, CleanClientIsHandedOff) {
    Build();
    EXPECT_EQ(Visit(), "220 test\r\n");
    ASSERT_EQ(sessions_->ips.size(), 1u);
    EXPECT_EQ(sessions_->ips[0], "127.0.0.1");
    EXPECT_EQ(Stat("f1tot_conn"), 1.0f);
    EXPECT_NE(Log().find("Start MORVANE PROXY ENGINE ip 127.0.0.1 port 0 max_listen:20"), std::string::npos);
}

TEST_F(CoreTest, EmbargoedClientIsRefusedUnlessChecksAreOff) {
    Build();
    core_->IpInferno()->Add("127.0.0.1", 2'000'000'000);
    EXPECT_EQ(Visit(), "554 5.7.7  Embargo \r\n\r\n");
    EXPECT_EQ(Stat("f3fw_iphell_[127.0.0.1]"), 1.0f);
    EXPECT_NE(Log().find("-COMPILED- Drop connection IP Inferno: 127.0.0.1"), std::string::npos);
    config_.script_enable = false;
    EXPECT_EQ(Visit(), "220 test\r\n") << "CS_SCRIPT enable 0 skips every check";
}

TEST_F(CoreTest, SessionLimitAndRelay) {
    config_.max_session_ip = 1;
    Build();
    core_->SessionCounter()->Add("127.0.0.1");
    EXPECT_EQ(Visit(), "421 <mx.test> Service not available, closing transmission channel\r\n \r\n");
    EXPECT_EQ(Stat("f3fw_session_max_ip"), 1.0f);
    dns_.Add("1.0.0.127.bl.test", checks::kTypeA, checks::kTypeA, checks::FakeDns::A(127, 0, 0, 2));
    config_.relayip = {common::String("127.0.0.1")};
    core_->ReloadConfig();
    EXPECT_EQ(Visit(), "220 test\r\n") << "a relay client skips the limit and the block lists";
}

// Admissions decided before any session starts count their address at once: the limit holds
// however fast clients of one address arrive, and a refused admission leaves no count.
TEST_F(CoreTest, SessionLimitCountsAdmissionsBeforeTheirSessionsStart) {
    config_.max_session_ip = 2;
    dns_.Add("1.0.0.127.bl.test", checks::kTypeA, checks::kTypeA, checks::FakeDns::A(127, 0, 0, 2));
    Build();
    EXPECT_EQ(Visit(), "554 5.7.7 IP in the DNSBL bl.test \r\n\r\n");
    EXPECT_EQ(core_->SessionCounter()->Count("127.0.0.1"), 0) << "a refused admission leaves no count";
    config_.maxhit = 2;
    core_->ReloadConfig();
    EXPECT_EQ(Visit(), "220 test\r\n");
    EXPECT_EQ(Visit(), "220 test\r\n");
    EXPECT_EQ(Visit(), "421 <mx.test> Service not available, closing transmission channel\r\n \r\n");
    EXPECT_EQ(sessions_->counted_ips, 2) << "the sessions remove what the admission counted";
}

TEST_F(CoreTest, BlockListedClientsAreRefusedAtMaxhit) {
    dns_.Add("1.0.0.127.bl.test", checks::kTypeA, checks::kTypeA, checks::FakeDns::A(127, 0, 0, 2));
    config_.maxhit = 2;
    Build();
    EXPECT_EQ(Visit(), "220 test\r\n") << "one hit, maxhit 2: accepted";
    config_.maxhit = 1;
    core_->ReloadConfig();
    EXPECT_EQ(Visit(), "554 5.7.7 IP in the DNSBL bl.test \r\n\r\n") << "answered from the cache now";
    EXPECT_EQ(Stat("f6_dnsbl_[bl.test]"), 1.0f);
    EXPECT_EQ(Stat("f6_reject-dnsbl"), 1.0f);
}

TEST_F(CoreTest, ReloadMovesTheListenerAndFixesTheSlotCount) {
    config_.n_max_listen = 0;
    Build();
    EXPECT_EQ(config_.n_max_listen, 20) << "0 becomes 20, in the configuration too";
    uint16_t old_port = core_->Listener()->Port();
    Log();
    config_.listen_port = "0";
    config_.listen_ip = "127.0.0.2";
    core_->ReloadConfig();
    std::string log = Log();
    EXPECT_NE(log.find("Stop MORVANE PROXY ENGINE ip 127.0.0.1 port 0 max_listen:20"), std::string::npos) << log;
    EXPECT_NE(log.find("Start MORVANE PROXY ENGINE ip 127.0.0.2"), std::string::npos);
    EXPECT_NE(core_->Listener()->Port(), 0);
    (void)old_port;
    config_.listen_port = "";
    core_->ReloadConfig();
    log = Log();
    EXPECT_NE(log.find("Port listen is Empty"), std::string::npos);
    EXPECT_NE(log.find("FAILD !!! MORVANE PROXY ENGINE"), std::string::npos);
}

TEST_F(CoreTest, SaveSchedule) {
    Build();
    core_->Save(false);
    EXPECT_EQ(core_->SaveRuns(), 1) << "not yet a minute";
    for (int run = 2; run <= 10; ++run) {
        g_now += 61;
        core_->Save(false);
        EXPECT_EQ(core_->SaveRuns(), run) << "an expiry run";
    }
    g_now += 61;
    core_->Save(false);
    EXPECT_EQ(core_->SaveRuns(), 1) << "the eleventh run writes every table";
    std::string log = Log();
    EXPECT_NE(log.find("Save DB O.K"), std::string::npos);
    EXPECT_NE(log.find("Hygiene DB O.K."), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(dir_.File("countconn.dat")));

    sessions_->sessions = 2;  // busy sessions, no script caching: postponed
    g_now += 61;
    for (int i = 0; i < 900; ++i) core_->Save(false);
    EXPECT_EQ(core_->SaveRuns(), 1);
    for (int i = 0; i < 200; ++i) core_->Save(false);
    EXPECT_EQ(core_->SaveRuns(), 2) << "forced after 1000 attempts";
}

TEST_F(CoreTest, EnginesStartInOrder) {
    Build();
    std::string log = Log();
    size_t at = 0;
    for (const char* line :
         {"Start DNS server", "Start DNSBL server", "Start BAYES ENGINE", "Start SMTP FIREWALL ENGINE",
          "Start MORVANE PROXY ENGINE", "Start IP INFERNO", "Start NETIP ENGINE", "Start IP FORGED", "Start SPF ENGINE",
          "Start LOCAL DOMAIN ENGINE"}) {
        size_t found = log.find(line, at);
        EXPECT_NE(found, std::string::npos) << line << " missing or out of order";
        if (found != std::string::npos) at = found;
    }
    EXPECT_TRUE(core_->LocalDomains() && core_->Rules() && core_->Phishing() && core_->Persistent());
}

TEST_F(CoreTest, BayesIsConfiguredAgedAndSaved) {
    config_.occorenze_per = 150.0f;
    config_.bayes_delete_mail_type = 60;
    config_.bayes_delete_mail_time = 2;
    Build();
    std::string log = Log();
    size_t dnsbl = log.find("Start DNSBL server"), bayes = log.find("Start BAYES ENGINE");
    ASSERT_NE(bayes, std::string::npos);
    EXPECT_LT(dnsbl, bayes);
    EXPECT_LT(bayes, log.find("Start SMTP FIREWALL ENGINE"));
    EXPECT_NE(log.find("Set BAYES ENGINE"), std::string::npos);
    EXPECT_NEAR(core_->Bayes()->Threshold(), 0.01f, 1e-6);

    mail::CParseMail m;
    m.AddStreaming("Subject: quarantined\r\n\r\nbody\r\n");
    m.Parse();
    ASSERT_TRUE(core_->Bayes()->Quarantine(m, "a", "b", checks::kBayesLearn, core_->Statistics()));
    EXPECT_EQ(Stat("f11_bayes_tolearn"), 1.0f);
    core_->Bayes()->Learn({"word1", "word2"}, checks::kBayesSpam);
    const std::string eml = core_->Bayes()->Folder(checks::kBayesLearn) + "/" + common::Md5Hex(m.Raw()) + ".eml";
    ASSERT_TRUE(std::filesystem::exists(eml));
    // Ten expiry runs; the quarantine is older than its 120 s by the second.
    for (int run = 2; run <= 10; ++run) {
        g_now += 61;
        core_->Save(false);
    }
    EXPECT_FALSE(std::filesystem::exists(eml)) << "the hygiene deleted the old quarantine file";
    EXPECT_EQ(core_->Bayes()->Index(checks::kBayesLearn)->GetCount(), 0);
    g_now += 61;
    core_->Save(false);  // a full run
    checks::CBayes reloaded(dir_.Path().string());
    reloaded.Load();
    EXPECT_EQ(reloaded.Words().GetCount(), 2) << "learned words are in the full save";
}

TEST_F(CoreTest, RulesLoadAtStartAndAgainWhenTheFileChanged) {
    {
        std::filesystem::create_directories(dir_.File("db"));
        checks::CRules file;
        ASSERT_TRUE(file.Open(dir_.File("db/rules.db").c_str()));
        file.AddRule("first", "x", checks::kRuleBody, 1.0f, 0);
        ASSERT_TRUE(file.Save());
    }
    Build();
    EXPECT_EQ(core_->Rules()->Count(), 1);
    core_->Rules()->AddRule("added-by-a-script", "y", checks::kRuleBody, 1.0f, 0);
    core_->ReloadConfig();
    EXPECT_EQ(core_->Rules()->Count(), 2) << "an unchanged file is not read again";
    {
        checks::CRules file;
        ASSERT_TRUE(file.Open(dir_.File("db/rules.db").c_str()));
        file.Load();
        file.AddRule("second", "z", checks::kRuleBody, 1.0f, 0);
        file.AddRule("third", "w", checks::kRuleBody, 1.0f, 0);
        ASSERT_TRUE(file.Save());
    }
    core_->ReloadConfig();
    EXPECT_EQ(core_->Rules()->Count(), 3) << "a replaced file is read on reload";
    EXPECT_NE(Log().find("Rules loaded from"), std::string::npos);
}

TEST_F(CoreTest, ManyClientsDoNotWaitForEachOthersBlockListChecks) {
    // Every answer takes 3 s: a step that waited on one, or checks made one after another
    // (20 x 3 s), would show far beyond any scheduling noise of a loaded machine.
    checks::FakeDns slow(false, false, 3000);
    config_.dns_nameservers = {common::String(slow.Address())};
    config_.max_session_ip = 100;  // all of them come from 127.0.0.1
    Build();
    std::vector<int> fds;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        int fd = testing::ConnectLoopback(core_->Listener()->Port());
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
    }
    while (sessions_->ids.size() < 20 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(50)) {
        auto s0 = std::chrono::steady_clock::now();
        core_->Step();
        EXPECT_LT(std::chrono::steady_clock::now() - s0, std::chrono::milliseconds(1500))
            << "a step never waits on DNS";
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(sessions_->ids.size(), 20u);
    // 20 checks of 3 s one after another would take a minute; in parallel they take a few rounds.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
    for (int fd : fds) ::close(fd);
}

}  // namespace
}  // namespace core
