#include "checks/Rules.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/TestTempDir.h"

namespace checks {
namespace {

mail::CS_ParseMail Parsed(const std::string& text) {
    mail::CS_ParseMail m;
    m.AddStreaming(text);
    m.Parse();
    return m;
}

const std::string kAlternative =
    "Subject: Cheap offer inside\r\nContent-Type: multipart/alternative; boundary=\"=_sep\"\r\n\r\n--=_sep\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n\r\nplain words\r\n--=_sep\r\nContent-Type: text/html; "
    "charset=us-ascii\r\n\r\n<b>html words</b>\r\n--=_sep--\r\n";

std::vector<std::string> Names(const CRulesResult& r) {
    std::vector<std::string> out;
    for (const auto& e : r.entries) out.push_back(e.name);
    return out;
}

TEST(RulesTest, EachTypeLooksAtItsText) {
    mail::CS_ParseMail alt = Parsed(kAlternative);
    EXPECT_EQ(CRules::RuleText(alt, kRuleSubject), "Cheap offer inside");
    std::string body = CRules::RuleText(alt, kRuleBody);
    EXPECT_LT(body.find("plain words"), body.find("html words")) << "both bodies joined, in part order";
    EXPECT_EQ(CRules::RuleText(alt, kRuleRaw), alt.Raw());
    EXPECT_EQ(CRules::RuleText(alt, 9), "");
    mail::CS_ParseMail untyped = Parsed("Subject: x\r\n\r\nbody without a type\r\n");
    EXPECT_NE(CRules::RuleText(untyped, kRuleBody).find("body without a type"), std::string::npos)
        << "without a content type a message is text/plain";
    mail::CS_ParseMail plain = Parsed("Subject: x\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nhello\r\n");
    EXPECT_NE(CRules::RuleText(plain, kRuleBody).find("hello"), std::string::npos);
}

TEST(RulesTest, CheckSumsMatchingRulesInTableOrder) {
    CRules rules;
    EXPECT_EQ(rules.AddRule("cheap", "cheap", kRuleSubject, 2.5f, common::kRegexCaseless), 1);
    EXPECT_EQ(rules.AddRule("html", "<b>", kRuleBody, -1.0f, 0), 1);
    EXPECT_EQ(rules.AddRule("absent", "viagra", kRuleRaw, 9.0f, 0), 1);
    EXPECT_EQ(rules.AddRule("broken", "(unclosed", kRuleRaw, 50.0f, 0), 1);
    EXPECT_EQ(rules.AddRule("empty-text", "^$", 99, 0.25f, 0), 1) << "another type: the empty text";
    EXPECT_EQ(rules.AddRule("cheap", "other", kRuleRaw, 1.0f, 0), 0) << "an existing name";
    EXPECT_EQ(rules.AddRule("", "x", kRuleRaw, 1.0f, 0), 0);
    EXPECT_EQ(rules.AddRule("n", "", kRuleRaw, 1.0f, 0), 0);

    mail::CS_ParseMail m = Parsed(kAlternative);
    CRulesResult result;
    EXPECT_FLOAT_EQ(rules.Check(m, &result), 1.75f);
    EXPECT_EQ(Names(result), (std::vector<std::string>{"cheap", "html", "empty-text"}));
    EXPECT_EQ(result.GetRulesRE(0), "cheap") << "the old rule was kept";
    EXPECT_FLOAT_EQ(result.GetRulesScore(1), -1.0f);
    EXPECT_EQ(result.GetRulesName(3), "");
    EXPECT_EQ(result.GetRulesName(-1), "");
    EXPECT_FLOAT_EQ(result.GetRulesScore(7), 0.0f);

    EXPECT_FLOAT_EQ(rules.RegularExpressionCheck(&m, nullptr), 0.0f);
    EXPECT_FLOAT_EQ(rules.RegularExpressionCheck(nullptr, &result), 0.0f);

    // The result object is emptied by every check; a changed rule gets its new pattern.
    rules.DeleteRule("cheap");
    EXPECT_EQ(rules.AddRule("cheap", "inside", kRuleSubject, 1.0f, 0), 1);
    rules.DeleteRule("empty-text");
    rules.DeleteRule(nullptr);
    EXPECT_FLOAT_EQ(rules.Check(m, &result), 0.0f);
    EXPECT_EQ(Names(result), (std::vector<std::string>{"html", "cheap"}));
}

TEST(RulesTest, PatternsAreCompiledOncePerRule) {
    CRules rules;
    rules.AddRule("good", "words", kRuleBody, 1.0f, 0);
    rules.AddRule("bad", "(unclosed", kRuleBody, 1.0f, 0);
    mail::CS_ParseMail m = Parsed(kAlternative);
    CRulesResult result;
    rules.Check(m, &result);
    common::RegexCacheClear();
    for (int i = 0; i < 3; ++i) EXPECT_FLOAT_EQ(rules.Check(m, &result), 1.0f);
    EXPECT_EQ(common::RegexCacheSize(), 0u) << "neither the good nor the bad pattern was compiled again";
}

TEST(RulesTest, ViewAndRuleTest) {
    CRules rules;
    rules.AddRule("offer", "offer", kRuleSubject, 3.0f, 1);
    script::CS_Array view;
    rules.ViewRules(&view);
    EXPECT_EQ(std::string(view.GetS("offer")), std::string("3.000\x02"
                                                           "1\x02"
                                                           "1\x02offer"));
    rules.ViewRules(nullptr);

    mail::CS_ParseMail m = Parsed(kAlternative);
    script::CS_Array caps;
    EXPECT_EQ(rules.RuleTest(&m, "(Cheap) (offer)", kRuleSubject, 0, &caps), "MACTH");
    EXPECT_EQ(std::string(caps.GetS("$1")), "Cheap");
    EXPECT_EQ(std::string(caps.GetS("$2")), "offer");
    EXPECT_EQ(rules.RuleTest(&m, "cheap", kRuleSubject, 0, nullptr), "NO MACTH");
    EXPECT_EQ(rules.RuleTest(&m, "cheap", kRuleSubject, common::kRegexCaseless, nullptr), "MACTH");
    EXPECT_EQ(rules.RuleTest(nullptr, "x", kRuleSubject, 0, nullptr), "");
}

TEST(RulesTest, ShortRecordsOfAHandMadeFileAreNoRules) {
    platform::TestTempDir dir;
    const std::string path = dir.File("rules.db");
    {
        // On the heap: a table on the stack would leave its (trivially destroyed) mutexes at
        // addresses the next table reuses, which the thread sanitizer takes for a lock-order
        // inversion.
        auto t = std::make_unique<store::CDB_RAM>();
        ASSERT_TRUE(t->Open(path));
        t->Insert("short", "12345");
        t->Insert("real", CRules::RecordData(1.5f, kRuleSubject, 0, "Cheap"));
        ASSERT_TRUE(t->Save());
    }
    CRules rules;
    ASSERT_TRUE(rules.Open(path.c_str()));
    ASSERT_TRUE(rules.Load());
    mail::CS_ParseMail m = Parsed(kAlternative);
    CRulesResult result;
    EXPECT_FLOAT_EQ(rules.Check(m, &result), 1.5f);
    EXPECT_EQ(rules.Rules().size(), 1u);
    EXPECT_NE(rules.FileStamp(), "");
}

TEST(RulesTest, ChecksRunWhileRulesChange) {
    // Eight checking threads and one that adds and deletes: every check sees a whole table
    // (the fixed rule always, the changing one or not), and nothing races (run under TSan).
    CRules rules;
    rules.AddRule("fixed", "words", kRuleBody, 1.0f, 0);
    mail::CS_ParseMail m = Parsed(kAlternative);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> checkers;
    // The writer starts once every checker has checked: else it could be done before they run.
    std::latch started(8);
    for (int t = 0; t < 8; ++t)
        checkers.emplace_back([&] {
            CRulesResult result;
            bool first = true;
            while (first || !stop.load()) {
                float total = rules.Check(m, &result);
                if (total != 1.0f && total != 3.0f) ++bad;
                if (first) started.count_down();
                first = false;
            }
        });
    started.wait();
    for (int i = 0; i < 300; ++i) {
        rules.AddRule("changing", i % 2 ? "plain" : "html", kRuleBody, 2.0f, 0);
        rules.DeleteRule("changing");
    }
    stop = true;
    for (auto& t : checkers) t.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(RulesSourceTest, ReadsEntriesAndNamesTheLineOfAFault) {
    std::vector<RuleSpec> rules;
    std::string error;
    ASSERT_TRUE(
        ParseRulesSource("# a comment\n\nrule MONEY\ntype subject\noptions caseless, extended\nscore 1.5\n"
                         "pattern \\$\\$\\$ | cash\ncomment money talk\n\nrule RAWX\ntype raw\nscore -0.5\n"
                         "pattern ^X-Spam: yes\r\n",
                         &rules, &error))
        << error;
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].name, "MONEY");
    EXPECT_EQ(rules[0].type, kRuleSubject);
    EXPECT_EQ(rules[0].options, common::kRegexCaseless | common::kRegexExtended);
    EXPECT_FLOAT_EQ(rules[0].score, 1.5f);
    EXPECT_EQ(rules[0].pattern, "\\$\\$\\$ | cash");
    EXPECT_EQ(rules[0].comment, "money talk");
    EXPECT_EQ(rules[0].line, 3);
    EXPECT_EQ(rules[1].options, 0);
    EXPECT_EQ(rules[1].pattern, "^X-Spam: yes") << "the line end is not part of the pattern";

    const std::pair<const char*, const char*> faults[] = {
        {"type body\n", "1: \"type\" before the first"},
        {"rule A\ntype body\nscore 1\n", "1: rule A has no pattern"},
        {"rule A\ntype bodies\n", "2: type is"},
        {"rule A\ntype body\nscore one\n", "3: score is a number"},
        {"rule A\ntype body\nscore 1\npattern (x\n", "1: rule A: the pattern does not compile"},
        {"rule A\ntype body\nscore 1\npattern x\nrule A\n", "5: rule A again"},
        {"rule A\ntype body\ntype raw\n", "3: \"type\" twice"},
        {"rule A\nweight 3\n", "2: unknown key"},
        {"rule A B\n", "1: a rule name is one word"},
        {"rule A\noptions loud\n", "2: options are"},
    };
    for (const auto& [text, want] : faults) {
        EXPECT_FALSE(ParseRulesSource(text, &rules, &error)) << text;
        EXPECT_EQ(error.rfind(want, 0), 0u) << text << " gave: " << error;
    }
    EXPECT_TRUE(ParseRulesSource("", &rules, &error));
    EXPECT_TRUE(rules.empty());
}

// Header, decoded-text, link, test and meta rules together, compiled from a source as the tool does.
TEST(RulesTest, HeaderTextUriTestAndMetaRules) {
    std::vector<RuleSpec> specs;
    std::string error;
    ASSERT_TRUE(
        ParseRulesSource("rule FROM_PRIZE\ntype header From\noptions caseless\nscore 1\npattern prize\n"
                         "rule XM\ntype header X-Mailer\nscore 0.5\npattern ^Outlook\n"
                         "rule TEXT_REFI\ntype text\noptions caseless\nscore 2\npattern refinance now\n"
                         "rule URI_CHEAP\ntype uri\nscore 1.5\npattern ://[^/]*cheap\n"
                         "rule HTML_ONLY\ntype test\nscore 0\npattern MIME_HTML_ONLY\n"
                         "rule OFF\ntype body\nscore 9\npattern .\ndisabled yes\n"
                         "rule PRIZE_AND_LINK\ntype meta\nscore 3\npattern FROM_PRIZE && (URI_CHEAP || XM) && !OFF\n"
                         "rule NOT_BOTH\ntype meta\nscore -1\npattern !(TEXT_REFI && HTML_ONLY)\n",
                         &specs, &error))
        << error;
    ASSERT_EQ(specs.size(), 7u);  // the disabled rule is checked, not compiled
    EXPECT_EQ(specs[0].pattern, "From:prize");
    CRules rules;
    for (const RuleSpec& r : specs) rules.AddRule(r.name.c_str(), r.pattern.c_str(), r.type, r.score, r.options);
    // The From field (an encoded word, decoded), base64 text and a link in the HTML.
    const mail::CS_ParseMail m = Parsed(
        "From: =?utf-8?B?UFJJWkUgT2ZmaWNl?= <win@example.com>\r\nSubject: hi\r\n"
        "Content-Type: text/html\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "PHA+UmVmaW5hbmNlIG5vdyEgPGEgaHJlZj0iaHR0cDovL3d3dy5jaGVhcC5leGFtcGxlL3giPmdvPC9hPjwvcD4=\r\n");
    CRulesResult r;
    EXPECT_FLOAT_EQ(rules.Check(m, &r), 1 + 2 + 1.5f + 0 + 3);
    EXPECT_EQ(Names(r),
              (std::vector<std::string>{"FROM_PRIZE", "TEXT_REFI", "URI_CHEAP", "HTML_ONLY", "PRIZE_AND_LINK"}));
    const mail::CS_ParseMail plain = Parsed("From: Bob <bob@example.org>\r\nX-Mailer: Outlook 6\r\n\r\nhello\r\n");
    EXPECT_FLOAT_EQ(rules.Check(plain, &r), 0.5f - 1);
    EXPECT_EQ(Names(r), (std::vector<std::string>{"XM", "NOT_BOTH"}));

    const std::pair<const char*, const char*> faults[] = {
        {"rule A\ntype header\nscore 1\npattern x\n", "2: type header names one field"},
        {"rule A\ntype header A B\nscore 1\npattern x\n", "2: type header names one field"},
        {"rule A\ntype meta\nscore 1\npattern B &&\n", "1: rule A: a meta expression"},
        {"rule A\ntype meta\nscore 1\npattern B || C\nrule B\ntype body\nscore 1\npattern x\n",
         "1: rule A: there is no rule C"},
        {"rule A\ntype body\nscore 1\npattern x\ndisabled maybe\n", "5: disabled is yes or no"},
        {"rule A\ntype uri\nscore 1\npattern (x\n", "1: rule A: the pattern does not compile"},
    };
    for (const auto& [text, want] : faults) {
        EXPECT_FALSE(ParseRulesSource(text, &specs, &error)) << text;
        EXPECT_EQ(error.rfind(want, 0), 0u) << text << " gave: " << error;
    }
    EXPECT_EQ(CRules::RuleError("From:(x", kRuleHeader, 0).rfind("the pattern does not compile", 0), 0u);
    EXPECT_EQ(CRules::RuleError("((A", kRuleMeta, 0).empty(), false);
    EXPECT_EQ(CRules::RuleError("A && !(B || C)", kRuleMeta, 0), "");
    std::string deep(40, '(');
    EXPECT_NE(CRules::RuleError((deep + "A" + std::string(40, ')')).c_str(), kRuleMeta, 0), "");
}

TEST(RulesSourceTest, NamesOfTypesAndOptions) {
    EXPECT_EQ(RuleTypeName(kRuleBody), "body");
    EXPECT_EQ(RuleTypeName(kRuleMeta), "meta");
    EXPECT_EQ(RuleTypeName(9), "9");
    EXPECT_EQ(RuleOptionNames(0), "none");
    EXPECT_EQ(RuleOptionNames(1 | 4), "caseless,dotall");
    EXPECT_EQ(RuleOptionNames(2 | 64), "multiline,64");
}

TEST(RulesTest, OperatorEditsKeepTheRuleAndDisabledOnesNeverMatch) {
    CRules rules;
    ASSERT_EQ(rules.AddRule("CHEAP", "cheap", kRuleSubject, 1.5f, common::kRegexCaseless), 1);
    ASSERT_EQ(rules.AddRule("BOTH", "CHEAP && !NONE", kRuleMeta, 2.0f, 0), 1);
    ASSERT_EQ(rules.AddRule("NONE", "never-here", kRuleSubject, 1.0f, 0), 1);
    mail::CS_ParseMail alt = Parsed(kAlternative);
    CRulesResult r;
    EXPECT_FLOAT_EQ(rules.Check(alt, &r), 3.5f);

    EXPECT_EQ(rules.SetRuleScore("CHEAP", 4.0f), 1);
    EXPECT_EQ(rules.SetRuleScore("GONE", 4.0f), 0);
    EXPECT_FLOAT_EQ(rules.Check(alt, &r), 6.0f) << "a new score applies at the next check";

    // Disabled: kept in the table (and shown), never matching, and a meta rule naming it sees
    // it as not matched.
    EXPECT_EQ(rules.EnableRule("CHEAP", 0), 1);
    EXPECT_EQ(rules.Check(alt, &r), 0.0f);
    EXPECT_TRUE(Names(r).empty());
    EXPECT_EQ(RuleOptionNames(rules.Rules()[0].options), "caseless,disabled");
    EXPECT_EQ(CRules::RuleError("cheap", kRuleSubject, kRuleDisabled | common::kRegexCaseless), "");
    EXPECT_NE(CRules::RuleError("cheap", kRuleSubject, 32), "");
    EXPECT_EQ(rules.EnableRule("CHEAP", 1), 1);
    EXPECT_EQ(Names((rules.Check(alt, &r), r)), (std::vector<std::string>{"CHEAP", "BOTH"}));

    // A changed pattern is recompiled: the old one no longer matches.
    EXPECT_EQ(rules.UpdateRule("CHEAP", "html words", kRuleBody, 1.0f, 0), 1);
    EXPECT_EQ(rules.UpdateRule("CHEAP", "", kRuleBody, 1.0f, 0), 0) << "an empty pattern is no edit";
    rules.Check(alt, &r);
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].pattern, "html words");
    EXPECT_EQ(rules.Rules().size(), 3u) << "an edit neither adds nor drops a rule";
}

TEST(RuleHitsTest, CountsLastDayAndSurvivesAFile) {
    CRuleHits hits;
    const int64_t now = 1'800'000'000;
    hits.Count({"A", "B"}, now - 30 * 3600);  // outside the last day
    hits.Count({"A"}, now - 23 * 3600);
    hits.Count({"A"}, now);
    RuleHitFigures a = hits.Get("A", now);
    EXPECT_EQ(a.total, 3u);
    EXPECT_EQ(a.last_day, 2u);
    EXPECT_EQ(hits.Get("B", now).last_day, 0u);
    EXPECT_EQ(hits.Get("B", now).total, 1u);
    EXPECT_EQ(hits.Get("A", now + 23 * 3600).last_day, 1u) << "23 hours on, only the newest hour is left";

    CRuleHits again;
    again.Parse(hits.Format(now));
    EXPECT_EQ(again.Get("A", now).total, 3u);
    EXPECT_EQ(again.Get("A", now).last_day, 2u);

    // Bad lines are skipped, good ones after them kept.
    again.Parse("no tabs here\nX\tnot-a-number\t\nY\t5\t1:2,bad,500000:x\nZ\t7\t\n");
    EXPECT_EQ(again.Get("X", now).total, 0u);
    EXPECT_EQ(again.Get("Y", now).total, 5u);
    EXPECT_EQ(again.Get("Z", now).total, 7u);
    EXPECT_EQ(again.Get("A", now).total, 0u) << "a parse replaces what was there";

    hits.Forget("A");
    EXPECT_EQ(hits.Get("A", now).total, 0u);
}

}  // namespace
}  // namespace checks
