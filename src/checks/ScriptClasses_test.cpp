#include "checks/ScriptClasses.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "checks/Bayes.h"
#include "checks/FakeDns.h"
#include "mail/ScriptParseMail.h"
#include "platform/Paths.h"
#include "platform/TestTempDir.h"
#include "script/Imports.h"
#include "script/Interpreter.h"

namespace checks {
namespace {

// Runs main(), which returns 0 or the number (from 1) of the first check that failed; "ok",
// or what went wrong, naming the check from `checks`.
std::string RunText(const std::string& text, const std::vector<std::string>& checks) {
    RegisterChecksImportables();
    mail::RegisterMailImportables();
    script::Interpreter in;
    auto pre = in.PreprocessText(text, "t.cs");
    script::RegisterImports(in);
    if (!pre || !in.LoadByRam(*pre)) return "load failed: " + in.CollectDiagnostics();
    int failed = in.Run("main");
    if (in.HasError()) return "run failed: " + in.CollectDiagnostics();
    if (failed == 0) return "ok";
    if (failed < 1 || static_cast<size_t>(failed) > checks.size()) return "main returned " + std::to_string(failed);
    return "check failed: " + checks[static_cast<size_t>(failed) - 1];
}

TEST(ScriptClassesTest, ScriptsLookUpThroughTheKernelEngine) {
    FakeDns server;
    server.Add("example.org", kTypeMX, kTypeMX, std::string("\0\x0a", 2) + FakeDns::Name("mx.example.org"));
    server.Add("mail.example.org", kTypeA, kTypeA, FakeDns::A(192, 0, 2, 1));
    server.Add("mail.example.org", kTypeAAAA, kTypeAAAA, std::string("\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\0\0\0\x25", 16));
    server.Add("1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa", kTypePTR, kTypePTR,
               FakeDns::Name("v6.example.org"));
    CDns dns("");
    dns.AddNameServer(server.Address());
    CDns::SetGlobal(&dns);
    EXPECT_EQ(RunText(R"cs(#import(class, CS_Dns)
        int main() {
            CS_Dns d = new CS_Dns();
            d.SetTimeOut(500);
            if (d.DNS_MX("example.org") != "mx.example.org") return 1;
            if (d.DNS_Resolve("mail.example.org") != "192.0.2.1") return 2;
            if (d.DNS_TXT("none.example.org") != "") return 3;
            if (d.DNS_Resolve6("mail.example.org") != "2001:db8::25") return 4;
            if (d.DNS_Reverse("2001:DB8::1") != "v6.example.org") return 5;
            if (d.DNS_Resolve6("none.example.org") != "") return 6;
            return 0;
        })cs",
                      {"MX of example.org", "A of mail.example.org", "no TXT for none.example.org",
                       "AAAA of mail.example.org", "ip6.arpa PTR of 2001:db8::1", "no AAAA for none.example.org"}),
              "ok");
    CDns::SetGlobal(nullptr);
    EXPECT_EQ(RunText(R"cs(#import(class, CS_Dns)
        int main() { CS_Dns d = new CS_Dns(); if (d.DNS_MX("example.org") != "") return 1; return 0; })cs",
                      {"no MX without an engine"}),
              "ok")
        << "without an engine a lookup finds nothing";
}

TEST(ScriptClassesTest, BayesScriptsTrainClassifyAndQuarantine) {
    platform::TestTempDir dir;
    platform::SetAppDir(dir.Path().string());
    EXPECT_EQ(RunText(R"cs(
#import(class, CS_ParseMail)
#import(class, CS_BayesWord)
#import(class, CS_Bayes)
#import(class, CDB_Ram)
#import(class, HashArray)
int main() {
    CS_ParseMail m = new CS_ParseMail();
    m.AddStreaming("Subject: cheap pills online now\r\nContent-Type: text/plain; x\r\n\r\nbuy cheap pills \r\n");
    m.Parse();
    CS_BayesWord w = new CS_BayesWord();
    if (w.Elaborate(m) == 0) return 1;
    CS_Bayes b = new CS_Bayes();
    b.Load();
    HashArray d = new HashArray();
    if (b.IsSpam(w, d) != 4) return 2;
    b.PopolateDB(w, 1);
    if (b.IsSpam(w, d) != 1) return 3;
    if (d.GetS("s_0") == "") return 4;
    if (b.GetWordsCount("spam") < 5) return 5;
    if (b.AddQuarantine(m, "ip", "from", 1) == 0) return 6;
    CDB_Ram q = b.GetDBRam("spam");
    if (q.GetCount() != 1) return 6;
    b.RemoveNeutral(1);
    return 0;
}
)cs",
                      {"Elaborate", "untrained: LEARN", "learned: SPAM", "detail lines", "weight sums", "quarantine"}),
              "ok");
    CBayes check(dir.Path().string());
    check.Load();
    EXPECT_GT(check.Words().GetCount(), 5) << "RemoveNeutral(1) saved the learned words";
    EXPECT_EQ(check.Index(kBayesSpam)->GetCount(), 1) << "a script's own object saves its quarantine when dropped";
}

TEST(ScriptClassesTest, TablesAndIniFilesOfAScriptsOwn) {
    platform::TestTempDir dir;
    platform::SetAppDir(dir.Path().string());
    EXPECT_EQ(RunText(R"cs(#import(class, CDB_Ram)
#import(class, CS_FileCfg)
#import(class, HashArray)
int main() {
    CDB_Ram t = new CDB_Ram();
    if (t.Open("mine.db") == 0) return 1;
    t.Insert("k1", "one");
    t.Insert("k2", "two");
    if (t.Insert("k1", "again") != 0) return 2;
    if (t.Insert("k1", "dup", 1) != 1) return 2;
    if (t.Update("k2", "TWO") != 1) return 3;
    if (t.Update("nope", "x") != 0) return 3;
    if (t.Delete("k1") != 1) return 4;
    if (t.Delete("nope") != -1) return 4;
    HashArray h = new HashArray();
    t.Query("", h);
    if (h.GetS("k2") != "TWO") return 5;
    if (t.GetCount() != 2) return 5;
    if (t.Save() == 0) return 6;
    CDB_Ram u = new CDB_Ram();
    u.Open("mine.db");
    u.Load();
    if (u.GetCount() != 2) return 6;
    u.Close();
    CS_FileCfg f = new CS_FileCfg();
    f.LoadByString("[A]\r\nx=1\r\n");
    f.WriteVar("A", "y", "2");
    f.WriteVar("B", "z", "3");
    if (f.ReadVar("A", "x") != "1" || f.ReadVar("A", "none") != "") return 7;
    if (f.IsKeyExist("B", "z") == 0) return 7;
    f.DeleteKey("A", "x");
    if (f.Save("mine.ini") == 0) return 8;
    CS_FileCfg g = new CS_FileCfg();
    if (g.Load("mine.ini") == 0) return 8;
    HashArray all = new HashArray();
    g.GetConfigToArray(all);
    if (all.GetRecordCount() != 2 || all.GetS("z") != "3") return 9;
    return 0;
})cs",
                      {"Open", "Insert", "Update", "Delete", "Query/GetCount", "Save/Load", "ReadVar/IsKeyExist",
                       "Save/Load of an INI file", "GetConfigToArray"}),
              "ok");
}

TEST(ScriptClassesTest, StatisticsAndNetInfoFillHashArrays) {
    EXPECT_EQ(RunText(R"cs(#import(class, CS_Statistic)
        #import(class, CNetInfo)
        #import(class, HashArray)
        int main() {
            CS_Statistic s = new CS_Statistic();
            s.AddItem("f8_grey_bloc", 8, 0, 0, 1);
            s.AddItem("f8_grey_bloc", 8, 0, 0, 1);
            s.AddItem("f1set", 1);
            HashArray h = new HashArray();
            s.PopulatedArray(h);
            if (h.GetS("f8_grey_bloc") != "2.000|8") return 1;
            if (h.GetS("f1set") != "0.000|1") return 2;
            if (s.Save() != 0) return 3;
            CNetInfo n = new CNetInfo();
            HashArray a = new HashArray();
            n.BuildNetInfo(a);
            if (a.GetS("127.0.0.1") != "255.0.0.0") return 4;
            if (a.KeyExists("::1") && a.GetS("::1") != "128") return 5;
            return 0;
        })cs",
                      {"f8_grey_bloc counted twice", "f1set with value 1", "Save without a file gives 0",
                       "loopback's netmask", "IPv6 loopback's prefix length"}),
              "ok");
}

}  // namespace
}  // namespace checks
