#include "checks/Dmarc.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace checks::dmarc {
namespace {

PublicSuffixList SmallList() {
    PublicSuffixList psl;
    psl.Parse(
        "// a comment\n\ncom\nuk\nco.uk\n*.ck\n!www.ck\njp\nkawasaki.jp\n*.kawasaki.jp\n!city.kawasaki.jp\n"
        "blogspot.com   trailing text\n");
    return psl;
}

TEST(PublicSuffixList, OrganizationalDomains) {
    const PublicSuffixList psl = SmallList();
    EXPECT_EQ(psl.OrganizationalDomain("mail.example.com"), "example.com");
    EXPECT_EQ(psl.OrganizationalDomain("example.com"), "example.com");
    EXPECT_EQ(psl.OrganizationalDomain("a.b.example.co.uk"), "example.co.uk");
    EXPECT_EQ(psl.OrganizationalDomain("x.y.blogspot.com"), "y.blogspot.com") << "a private suffix counts";
    EXPECT_EQ(psl.OrganizationalDomain("a.b.foo.ck"), "b.foo.ck") << "*.ck: foo.ck is a suffix";
    EXPECT_EQ(psl.OrganizationalDomain("a.www.ck"), "www.ck") << "the exception";
    EXPECT_EQ(psl.OrganizationalDomain("a.b.c.kawasaki.jp"), "b.c.kawasaki.jp");
    EXPECT_EQ(psl.OrganizationalDomain("a.city.kawasaki.jp"), "city.kawasaki.jp");
    EXPECT_EQ(psl.OrganizationalDomain("mail.example.unlisted"), "example.unlisted") << "the implied *";
    EXPECT_EQ(psl.OrganizationalDomain("co.uk"), "co.uk") << "a suffix is its own";
    EXPECT_EQ(PublicSuffixList().OrganizationalDomain("a.b.example.org"), "example.org") << "no list";
}

// The system's list, when the publicsuffix package is there (the test run installs it).
TEST(PublicSuffixList, SystemFile) {
    const PublicSuffixList& psl = PublicSuffixList::System();
    if (psl.Empty()) GTEST_SKIP() << kDefaultSuffixList << " is not installed";
    EXPECT_EQ(psl.OrganizationalDomain("mail.bbc.co.uk"), "bbc.co.uk");
    EXPECT_EQ(psl.OrganizationalDomain("a.b.example.com"), "example.com");
}

TEST(DmarcRecord, Tags) {
    Record r;
    std::string why;
    ASSERT_TRUE(
        ParseRecord("v=DMARC1; p=reject; sp=none; pct=20; adkim=s; aspf=r; rua=mailto:x@example.org", &r, &why));
    EXPECT_EQ(r.p, Policy::kReject);
    EXPECT_EQ(r.sp, Policy::kNone);
    EXPECT_EQ(r.pct, 20);
    EXPECT_TRUE(r.strict_dkim);
    EXPECT_FALSE(r.strict_spf);
    ASSERT_TRUE(ParseRecord(" v = DMARC1 ;p=quarantine;pct=500;", &r, &why));
    EXPECT_EQ(r.sp, Policy::kQuarantine) << "sp defaults to p";
    EXPECT_EQ(r.pct, 100) << "a bad pct is 100";
    ASSERT_TRUE(ParseRecord("v=DMARC1; p=bogus; rua=mailto:r@example.org", &r, &why));
    EXPECT_EQ(r.p, Policy::kNone) << "rua= makes a record without a usable p= ask for none";
    EXPECT_FALSE(ParseRecord("v=DMARC1; p=bogus", &r, &why));
    EXPECT_FALSE(ParseRecord("v=DMARC1; sp=reject", &r, &why));
    EXPECT_FALSE(ParseRecord("v=DMARC10; p=reject", &r, &why));
    EXPECT_FALSE(ParseRecord("p=reject; v=DMARC1", &r, &why)) << "v= must come first";
    EXPECT_FALSE(ParseRecord("v=DMARC1; p=reject; p=none", &r, &why)) << "a tag twice";
}

TEST(DmarcFrom, Domains) {
    std::vector<std::string> d;
    std::string why;
    auto from = [&](const std::string& header) {
        return FromDomains(header + "\r\nTo: x@y.test\r\n\r\nbody", &d, &why);
    };
    ASSERT_TRUE(from("From: \"Doe, John\" <john@Example.COM.>"));
    EXPECT_EQ(d, std::vector<std::string>{"example.com"});
    ASSERT_TRUE(from("FROM:a@one.test (comment with @ and ,),\r\n b@two.test, Name <c@one.test>"));
    EXPECT_EQ(d, (std::vector<std::string>{"one.test", "two.test"}));
    ASSERT_TRUE(from("From: friends: a@g.test, b@h.test;"));
    EXPECT_EQ(d, (std::vector<std::string>{"g.test", "h.test"}));
    ASSERT_TRUE(from("From: \"x@fake.test\" <real@real.test>"));
    EXPECT_EQ(d, std::vector<std::string>{"real.test"}) << "an address in the display name is not one";
    EXPECT_FALSE(from("Subject: none"));
    EXPECT_EQ(why, "no From field");
    EXPECT_FALSE(from("From: a@one.test\r\nFrom: b@two.test"));
    EXPECT_EQ(why, "several From fields");
    EXPECT_FALSE(from("From: undisclosed"));
    EXPECT_FALSE(from("From: <>"));
}

struct DmarcEval : ::testing::Test {
    std::map<std::string, std::vector<std::string>> zone;
    std::set<std::string> failing;
    std::vector<std::string> asked;
    PublicSuffixList psl = SmallList();
    TxtLookup lookup = [this](const std::string& name, std::vector<std::string>* texts) {
        asked.push_back(name);
        if (failing.count(name)) return 2;
        if (auto it = zone.find(name); it != zone.end()) *texts = it->second;
        return 0;
    };
    Verdict Eval(std::vector<std::string> from, bool spf_pass, std::string spf_domain,
                 std::vector<std::string> dkim = {}, int roll = 0) {
        Input in;
        in.from_domains = std::move(from);
        in.spf_pass = spf_pass;
        in.spf_domain = std::move(spf_domain);
        in.dkim_pass_domains = std::move(dkim);
        return Evaluate(in, lookup, psl, roll);
    }
};

TEST_F(DmarcEval, AlignmentAndPolicies) {
    zone["_dmarc.example.com"] = {"v=spf1 -all", "v=DMARC1; p=reject; sp=quarantine"};
    Verdict v = Eval({"example.com"}, true, "bounce.example.com");
    EXPECT_EQ(v.result, kPass) << "relaxed SPF alignment: same organisational domain";
    v = Eval({"example.com"}, false, "example.com", {"mail.example.com"});
    EXPECT_EQ(v.result, kPass) << "relaxed DKIM alignment";
    v = Eval({"example.com"}, true, "other.test", {"other.test"});
    EXPECT_EQ(v.result, kFail);
    EXPECT_EQ(v.policy, Policy::kReject);
    EXPECT_EQ(v.from_domain, "example.com");
    v = Eval({"example.com"}, false, "example.com", {});
    EXPECT_EQ(v.result, kFail) << "SPF for the From domain that did not pass";

    // A subdomain without its own record: the organisational domain's, with sp=.
    v = Eval({"news.example.com"}, false, "x.test");
    EXPECT_EQ(v.result, kFail);
    EXPECT_EQ(v.policy, Policy::kQuarantine);
    EXPECT_EQ(asked.back(), "_dmarc.example.com");

    zone["_dmarc.strict.com"] = {"v=DMARC1; p=quarantine; adkim=s; aspf=s; pct=50"};
    EXPECT_EQ(Eval({"strict.com"}, true, "mail.strict.com").result, kFail) << "strict SPF";
    EXPECT_EQ(Eval({"strict.com"}, false, "", {"mail.strict.com"}).result, kFail) << "strict DKIM";
    EXPECT_EQ(Eval({"strict.com"}, false, "", {"strict.com"}).result, kPass);
    EXPECT_EQ(Eval({"strict.com"}, false, "", {}, 49).policy, Policy::kQuarantine) << "within pct";
    v = Eval({"strict.com"}, false, "", {}, 50);
    EXPECT_EQ(v.policy, Policy::kNone) << "outside pct: one step milder";
    EXPECT_EQ(v.requested, Policy::kQuarantine);
}

TEST_F(DmarcEval, NoneErrorsAndSeveralDomains) {
    EXPECT_EQ(Eval({"nothing.com"}, true, "nothing.com").result, kNone);
    zone["_dmarc.two.com"] = {"v=DMARC1; p=reject", "v=DMARC1; p=none"};
    EXPECT_EQ(Eval({"two.com"}, false, "").result, kNone) << "two records: no policy";
    zone["_dmarc.bad.com"] = {"v=DMARC1; p=maybe"};
    EXPECT_EQ(Eval({"bad.com"}, false, "").result, kPermError);
    failing.insert("_dmarc.down.com");
    EXPECT_EQ(Eval({"down.com"}, false, "").result, kTempError);
    EXPECT_EQ(Eval({}, false, "").result, kPermError);

    zone["_dmarc.example.com"] = {"v=DMARC1; p=reject"};
    zone["_dmarc.soft.com"] = {"v=DMARC1; p=quarantine"};
    Verdict v = Eval({"soft.com", "example.com", "nothing.com"}, false, "");
    EXPECT_EQ(v.result, kFail);
    EXPECT_EQ(v.policy, Policy::kReject) << "the strictest of the domains";
    EXPECT_EQ(v.from_domain, "example.com");
    v = Eval({"example.com", "nothing.com"}, true, "example.com");
    EXPECT_EQ(v.result, kNone) << "a pass for one, none for the other";
}

}  // namespace
}  // namespace checks::dmarc
