#include "config/KernelConfig.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "common/Md5.h"
#include "platform/TestTempDir.h"

namespace config {
namespace {

class KernelConfigTest : public ::testing::Test {
protected:
    void WriteIni(const std::string& text) { ASSERT_TRUE(tmp_.Write("morvane.ini", text)); }
    std::string ReadIni() { return tmp_.Read("morvane.ini"); }
    std::unique_ptr<CKernelConfig> Load() {
        auto c = std::make_unique<CKernelConfig>(dir_.string());
        c->SetFile(path_);
        c->LoadConfig();
        return c;
    }
    platform::TestTempDir tmp_;
    const std::filesystem::path& dir_ = tmp_.Path();
    const std::string path_ = tmp_.File("morvane.ini");
};

TEST_F(KernelConfigTest, MissingFileGivesEveryDefault) {
    auto c = Load();
    ASSERT_EQ(c->dnsbl_zones.size(), 4u);
    const char* weights[] = {"|1.450", "|1.450", "|4.850", "|4.500"};
    for (int i = 0; i < 4; ++i) EXPECT_NE(c->dnsbl_zones[i].Find(weights[i]), -1) << c->dnsbl_zones[i].str();
    ASSERT_EQ(c->dns_nameservers.size(), 1u);
    EXPECT_EQ(c->dns_nameservers[0], "127.0.0.1");
    ASSERT_EQ(c->grey_wip.size(), 1u);
    EXPECT_EQ(c->grey_wip[0].Right(2), "||");
    ASSERT_EQ(c->cs_scripts.size(), 1u);
    EXPECT_EQ(c->cs_scripts[0], "1|core.cs");
    EXPECT_EQ(c->listen_port, "25");
    EXPECT_EQ(c->smtp_port1, 225);
    EXPECT_FLOAT_EQ(c->p_bayes_ham, -3.99f);
    EXPECT_TRUE(c->enable_dnsbl);
    EXPECT_FALSE(c->script_enable);
    EXPECT_EQ(c->web_port, "6969");
    EXPECT_EQ(c->web_path.str(), dir_.string() + "/www/");
    EXPECT_EQ(c->password.str(), common::Md5Hex("kelpo"));
    EXPECT_EQ(c->admin_key.Length(), 32);
    EXPECT_EQ(c->rfc451, "451 4.7.1 GREY LIST try again later\r\n");
}

TEST_F(KernelConfigTest, ListsStopAtTheFirstGapExceptTheFourResolvers) {
    WriteIni(
        "[DNS]\r\nnameserver_0=\r\nnameserver_1=10.0.0.53\r\nnameserver_3=10.0.0.54\r\n"
        "[DNSBL]\r\nnameserver_0=\r\nnameserver_1=list.example|2.0\r\n"
        "[FIREWALL]\r\nrelayip_0=10.1.1.1\r\nrelayip_1=10.1.1.2\r\nrelayip_3=10.1.1.4\r\n");
    auto c = Load();
    ASSERT_EQ(c->dns_nameservers.size(), 2u);
    EXPECT_EQ(c->dns_nameservers[0], "10.0.0.53");
    EXPECT_EQ(c->dns_nameservers[1], "10.0.0.54");
    EXPECT_EQ(c->dnsbl_zones.size(), 4u) << "reading stops at index 0; the defaults apply";
    EXPECT_EQ(c->relayip.size(), 2u);
}

TEST_F(KernelConfigTest, SavingAShorterListLeavesNoStaleKeys) {
    WriteIni("[FIREWALL]\r\nrelayip_0=a\r\nrelayip_1=b\r\nrelayip_2=c\r\nrelayip_x=keep\r\n");
    auto c = Load();
    c->relayip.erase(c->relayip.begin());
    ASSERT_TRUE(c->SaveConfig());
    std::string text = ReadIni();
    EXPECT_NE(text.find("relayip_0=b\r\n"), std::string::npos);
    EXPECT_NE(text.find("relayip_1=c\r\n"), std::string::npos);
    EXPECT_EQ(text.find("relayip_2="), std::string::npos);
    EXPECT_NE(text.find("relayip_x=keep"), std::string::npos) << "keys that are not list members stay";
}

TEST_F(KernelConfigTest, GeneratedAdminKeyIsKeptByTheNextSave) {
    WriteIni("[READMIN]\r\nenable=1\r\n");
    auto first = Load();
    std::string key = first->admin_key.str();
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos);
    ASSERT_TRUE(first->SaveConfig());
    auto second = Load();
    EXPECT_EQ(second->admin_key.str(), key);
    EXPECT_TRUE(second->admin_enable);
}

// At stop only the kernel's own changes are written back, and never over an operator's edit.
TEST_F(KernelConfigTest, WriteBackKeepsTheOperatorsEdits) {
    WriteIni("[CONFIG]\r\nloglevel=1\r\n");
    auto c = Load();
    ASSERT_TRUE(c->SaveConfig());  // a first start writes the complete file
    const std::string operators = ReadIni() + "[EXTRA]\r\nnote=edited while running\r\n";
    WriteIni(operators);
    EXPECT_EQ(c->WriteBackChanges(), CKernelConfig::WriteBack::kUnchanged);
    EXPECT_EQ(ReadIni(), operators) << "the kernel changed nothing: the file stays as the operator left it";

    c = Load();
    c->loglevel = 3;  // as an admin script would
    EXPECT_EQ(c->WriteBackChanges(), CKernelConfig::WriteBack::kWritten);
    EXPECT_NE(ReadIni().find("loglevel=3\r\n"), std::string::npos);
    EXPECT_NE(ReadIni().find("note=edited while running"), std::string::npos);
    EXPECT_EQ(c->WriteBackChanges(), CKernelConfig::WriteBack::kUnchanged) << "written once";

    c->loglevel = 4;
    const std::string edited = ReadIni() + "[MORE]\r\nx=1\r\n";
    WriteIni(edited);
    EXPECT_EQ(c->WriteBackChanges(), CKernelConfig::WriteBack::kBeside);
    EXPECT_EQ(ReadIni(), edited);
    EXPECT_NE(tmp_.Read("morvane.ini.kernel").find("loglevel=4\r\n"), std::string::npos);
}

TEST_F(KernelConfigTest, SaveWritesEveryKeyButAppPathAndRoundTrips) {
    WriteIni(
        "[CONFIG]\r\napp_path=\r\nloglevel=3\r\nscore_for_spam=6.5\r\nunknown=kept\r\n"
        "[RFC]\r\nrfc554=554 no %s\r\n");
    auto c = Load();
    EXPECT_EQ(c->loglevel, 3);
    EXPECT_EQ(c->rfc554, "554 no %s\r\n");
    ASSERT_TRUE(c->SaveConfig());
    std::string text = ReadIni();
    EXPECT_NE(text.find("rfc554=554 no %s\r\n["), std::string::npos) << "templates are saved without their CR LF";
    EXPECT_NE(text.find("unknown=kept"), std::string::npos) << "keys of the operator's own survive a save";
    EXPECT_NE(text.find("score_for_spam=6.500000\r\n"), std::string::npos);
    for (const char* key : {"listen_ip=", "nameserver_0=127.0.0.1", "maxreplies=4", "relayip_0", "cs_0=1|core.cs",
                            "x_morvane_spam=X-MORVANE-Spam: YES", "superuser=root", "adapter_ip=", "num_server=5",
                            "spf_max_recursion=30", "cmy_timeout=400"}) {
        bool want_present = std::string(key) != "relayip_0";
        EXPECT_EQ(text.find(key) != std::string::npos, want_present) << key;
    }
    auto again = Load();
    EXPECT_EQ(again->Serialize(), c->Serialize()) << "a second save changes nothing";
}

// Scripts write the image: what they set is saved as set, even over a setting in use, and
// becomes the setting when the image is read again; lists are pinned as a whole.
TEST_F(KernelConfigTest, ImageValuesSurviveSaveUntilReadAgain) {
    WriteIni("[FIREWALL]\r\ncmd_noop=3\r\n[DNS]\r\nnameserver_0=10.0.0.1\r\n");
    auto c = Load();
    c->SetImageValue("FIREWALL", "cmd_noop", "9");
    c->SetImageValue("DNS", "nameserver_1", "10.0.0.2");
    c->DeleteImageValue("FIREWALL", "error_max");
    EXPECT_EQ(c->cmd_noop, 3) << "the setting in use waits";
    ASSERT_TRUE(c->SaveConfig());
    std::string saved = ReadIni();
    EXPECT_NE(saved.find("cmd_noop=9"), std::string::npos) << saved;
    EXPECT_NE(saved.find("nameserver_1=10.0.0.2"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("error_max="), std::string::npos) << "a deleted key stays deleted";
    c->ReadImage();
    EXPECT_EQ(c->cmd_noop, 9);
    ASSERT_EQ(c->dns_nameservers.size(), 2u);
    EXPECT_EQ(c->error_max, 3) << "deleted: the default";
    c->cmd_noop = 4;  // the kernel's own change is written again once the image was read
    ASSERT_TRUE(c->SaveConfig());
    EXPECT_NE(ReadIni().find("cmd_noop=4"), std::string::npos);
}

TEST(ConfigCheckTest, EveryProblemWithItsLine) {
    const std::string text =
        "[CONFIG]\r\n"                                     // 1
        "listen_port=abc\r\n"                              // 2
        "loglevel=banana\r\n"                              // 3
        "thisisagarbageline\r\n"                           // 4
        "n_max_listen=30\r\n"                              // 5
        "my_own_setting=1\r\n"                             // 6
        "; a comment\r\n"                                  // 7
        "[READMIN\r\n"                                     // 8
        "port=33\r\n"                                      // 9
        "[SPF]\r\n"                                        // 10
        "spf_max_recursion=1e9\r\n"                        // 11
        "spf_score_fail= 5.5 \r\n"                         // 12
        "spf_enable=2\r\n"                                 // 13
        "[WEBGUI]\r\nport=99999\r\nlisten=localhost\r\n";  // 14-16
    std::vector<ConfigProblem> got = CheckConfigText(text);
    std::vector<std::pair<int, bool>> where;
    for (const ConfigProblem& p : got) where.emplace_back(p.line, p.error);
    EXPECT_EQ(
        where,
        (std::vector<std::pair<int, bool>>{
            {2, true}, {3, true}, {4, true}, {6, false}, {8, true}, {11, true}, {13, true}, {15, true}, {16, true}}));
    EXPECT_NE(got[0].message.find("not a port"), std::string::npos) << got[0].message;
    EXPECT_NE(got[1].message.find("\"banana\" is not a whole number"), std::string::npos) << got[1].message;
    EXPECT_NE(got[4].message.find("[READMIN"), std::string::npos) << got[4].message;
    EXPECT_TRUE(CheckConfigText("[CONFIG]\r\nloglevel=4\r\n[DNS]\r\nnameserver_2=10.0.0.1\r\n").empty());
    EXPECT_TRUE(CheckConfigText("").empty());
}

TEST(ConfigCheckTest, ValuesAreCheckedAgainstTheirKeysType) {
    EXPECT_EQ(ConfigValueError("SPF", "spf_max_recursion", "25"), "");
    EXPECT_NE(ConfigValueError("SPF", "spf_max_recursion", "abc"), "");
    EXPECT_NE(ConfigValueError("SPF", "spf_max_recursion", "0"), "");
    EXPECT_NE(ConfigValueError("SPF", "spf_score_fail", "x"), "");
    EXPECT_EQ(ConfigValueError("SPF", "spf_score_fail", "-1.5"), "");
    EXPECT_NE(ConfigValueError("CONFIG", "listen_ip", "not-an-ip"), "");
    EXPECT_EQ(ConfigValueError("CONFIG", "listen_ip", "127.0.0.1"), "");
    EXPECT_EQ(ConfigValueError("CONFIG", "listen_ip", "::"), "") << "both families";
    EXPECT_EQ(ConfigValueError("READMIN", "listen_ip", "::1"), "");
    EXPECT_EQ(ConfigValueError("WEBGUI", "listen", "127.0.0.1 ::1"), "") << "a list of addresses";
    for (const char* ok : {"127.0.0.1:9525", "[::1]:9525", "0.0.0.0:0", ""})
        EXPECT_EQ(ConfigValueError("METRICS", "listen", ok), "") << ok;
    for (const char* bad :
         {"127.0.0.1", "::1:9525", "[127.0.0.1]:9525", "localhost:9525", "127.0.0.1:65536", "1.2.3.4:x"})
        EXPECT_NE(ConfigValueError("METRICS", "listen", bad), "") << bad;
    EXPECT_EQ(ConfigValueError("CONFIG", "listen_ip", "192.0.2.1,2001:db8::25"), "");
    EXPECT_NE(ConfigValueError("CONFIG", "listen_ip", "192.0.2.1 [::1]"), "");
    EXPECT_NE(ConfigValueError("READMIN", "listen_ip", "127.0.0.1 localhost"), "");
    EXPECT_NE(ConfigValueError("FIREWALL", "client_prefix_ipv6", "8"), "") << "no IPv6 group wider than a /16";
    EXPECT_EQ(ConfigValueError("FIREWALL", "client_prefix_ipv4", "24"), "");
    EXPECT_NE(ConfigValueError("WEBGUI", "listen", "[::1]"), "");
    EXPECT_EQ(ConfigValueError("DNSBL", "nameserver_7", "zone.example|2.0"), "") << "list keys take text";
    EXPECT_EQ(ConfigValueError("MYSQL", "host", "db.example"), "") << "keys scripts keep for themselves";
    EXPECT_NE(ConfigValueError("WEBGUI", "x\r\n[READMIN]\r\nenable", "1"), "");
    EXPECT_NE(ConfigValueError("WEBGUI]\n[READMIN", "enable", "1"), "");
    EXPECT_NE(ConfigValueError("MYSQL", "host", "a\nb"), "");
}

TEST_F(KernelConfigTest, ScriptWritesAreCheckedAndOperatorLinesKept) {
    WriteIni("; kept\r\n[CONFIG]\r\nloglevel=banana\r\n# why 2525\r\nlisten_port=2525\r\nodd line\r\n");
    auto c = Load();
    EXPECT_NE(c->SetImageValue("SPF", "spf_max_recursion", "abc"), "");
    EXPECT_EQ(c->SetImageValue("SPF", "spf_max_recursion", "12"), "");
    ASSERT_TRUE(c->SaveConfig());
    const std::string saved = ReadIni();
    EXPECT_NE(saved.find("; kept\r\n[CONFIG]\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("loglevel=banana\r\n"), std::string::npos) << "a value the kernel could not read stays";
    EXPECT_NE(saved.find("# why 2525\r\nlisten_port=2525\r\nodd line\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("spf_max_recursion=12\r\n"), std::string::npos);
    EXPECT_EQ(std::filesystem::status(path_).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
        << "the file holds the admin key";
}

}  // namespace
}  // namespace config
