#include "checks/Spf.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace checks {
namespace {

// Canned answers by (name, type), counting the questions.
class CannedLookup : public SpfLookup {
public:
    void Txt(const std::string& name, const std::string& text) { Add(name, kTypeTXT, text); }
    void A(const std::string& name, const std::string& data) { Add(name, kTypeA, data); }
    void Mx(const std::string& name, const std::string& exchange) { Add(name, kTypeMX, exchange); }
    void Ptr(const std::string& ip, const std::string& name) { Add(ip, kTypePTR, name); }
    void Add(const std::string& name, uint16_t type, const std::string& data) {
        DnsAnswer a;
        a.owner = name;
        a.type = type;
        a.data = data;
        answers_[{name, type}].push_back(a);
    }
    bool Query(std::string_view name, uint16_t qtype, std::vector<DnsAnswer>* answers) override {
        ++questions;
        auto it = answers_.find({std::string(name), qtype});
        if (it == answers_.end()) return false;
        *answers = it->second;
        return true;
    }
    int questions = 0;

private:
    std::map<std::pair<std::string, uint16_t>, std::vector<DnsAnswer>> answers_;
};

struct SpfTest : ::testing::Test {
    CannedLookup dns;
    CSpf spf{"", &dns};
    int Eval(const std::string& ip, const std::string& from, const std::string& helo = "mail.example.org") {
        return spf.Evaluate(ip, from, helo);
    }
};

TEST_F(SpfTest, MechanismsAndQualifiers) {
    dns.Txt("example.org", "v=spf1 ip4:192.0.2.0/24 -all");
    EXPECT_EQ(Eval("192.0.2.7", "a@example.org"), kSpfPass);
    EXPECT_EQ(Eval("198.51.100.1", "a@example.org"), kSpfFail);
    EXPECT_EQ(Eval("198.51.100.1", "a@EXAMPLE.org"), kSpfFail) << "the domain is lower-cased";

    dns.Txt("late.test", "v=spf1 -all ip4:192.0.2.7");
    EXPECT_EQ(Eval("192.0.2.7", "a@late.test"), kSpfPass) << "an all-term does not end the walk";
    dns.Txt("open.test", "v=spf1 ip4:192.0.2.7");
    EXPECT_EQ(Eval("198.51.100.1", "a@open.test"), kSpfNeutral) << "nothing matched, no all-term";
    EXPECT_EQ(Eval("198.51.100.1", "a@nothing.test"), kSpfNeutral) << "no record";
    EXPECT_EQ(Eval("198.51.100.1", "no-at-sign"), kSpfNeutral);

    dns.Txt("quals.test", "v=spf1 ~ip4:10.0.0.1 ?ip4:10.0.0.2 +ip4:10.0.0.3 -ip4:10.0.0.4 ~all");
    EXPECT_EQ(Eval("10.0.0.1", "x@quals.test"), kSpfSoftFail);
    EXPECT_EQ(Eval("10.0.0.2", "x@quals.test"), kSpfNeutral);
    EXPECT_EQ(Eval("10.0.0.3", "x@quals.test"), kSpfPass);
    EXPECT_EQ(Eval("10.0.0.4", "x@quals.test"), kSpfFail);
    EXPECT_EQ(Eval("10.0.0.5", "x@quals.test"), kSpfSoftFail);

    dns.Txt("bad.test", "v=spf1 ip4:300.1.2.3 -all");
    EXPECT_EQ(Eval("10.0.0.5", "x@bad.test"), kSpfPermError) << "an address in a record that is not one";
    EXPECT_EQ(Eval("10.0.0.999", "x@example.org"), kSpfTempError) << "the client's address is not one";

    // a and mx, with and without a target and a prefix; a CNAME is followed.
    dns.Txt("hosts.test", "v=spf1 a a:alias.test/30 mx/24 -all");
    dns.A("hosts.test", "203.0.113.10");
    dns.A("alias.test", "real.test");  // the CNAME's target, as the DNS engine reports it
    dns.A("real.test", "198.51.100.8");
    dns.Mx("hosts.test", "mx.hosts.test");
    dns.A("mx.hosts.test", "192.0.2.200");
    EXPECT_EQ(Eval("203.0.113.10", "x@hosts.test"), kSpfPass);
    EXPECT_EQ(Eval("198.51.100.11", "x@hosts.test"), kSpfPass) << "/30 of the CNAME's address";
    EXPECT_EQ(Eval("198.51.100.12", "x@hosts.test"), kSpfFail);
    EXPECT_EQ(Eval("192.0.2.1", "x@hosts.test"), kSpfPass) << "mx/24";

    // ptr: the client's name leads back to it; exists.
    dns.Txt("ptr.test", "v=spf1 ptr:ptr.test exists:%{i}.allow.test -all");
    dns.A("ptr.test", "192.0.2.50");
    dns.Ptr("192.0.2.50", "host.ptr.test");
    dns.A("host.ptr.test", "192.0.2.50");
    dns.A("192.0.2.77.allow.test", "127.0.0.2");
    EXPECT_EQ(Eval("192.0.2.50", "x@ptr.test"), kSpfPass);
    EXPECT_EQ(Eval("192.0.2.77", "x@ptr.test"), kSpfPass) << "exists with a macro";
    EXPECT_EQ(Eval("192.0.2.78", "x@ptr.test"), kSpfFail);
}

TEST_F(SpfTest, IncludesSpliceAndLoopsEnd) {
    dns.Txt("outer.test", "v=spf1 include:a.example ~all");
    dns.Txt("a.example", "v=spf1 ip4:203.0.113.5 -all");
    EXPECT_EQ(Eval("203.0.113.5", "x@outer.test"), kSpfPass);
    EXPECT_EQ(Eval("198.51.100.1", "x@outer.test"), kSpfSoftFail)
        << "the included -all is walked, then the outer ~all decides";

    dns.Txt("loop-a.test", "v=spf1 include:loop-b.test ip4:192.0.2.1 -all");
    dns.Txt("loop-b.test", "v=spf1 include:loop-a.test ip4:192.0.2.2");
    EXPECT_EQ(Eval("192.0.2.2", "x@loop-a.test"), kSpfPass);
    EXPECT_EQ(Eval("192.0.2.9", "x@loop-a.test"), kSpfFail);
    const int before = dns.questions;
    Eval("192.0.2.9", "x@loop-a.test");
    EXPECT_LE(dns.questions - before, 3) << "each domain is spliced once";

    // A record that includes a new name of itself on every round stops at the lookup limit.
    dns.Txt("grow.test", "v=spf1 include:%{d}.x ip4:192.0.2.1");
    for (std::string d = "grow.test.x"; d.size() < 200; d += ".x") dns.Txt(d, "v=spf1 include:%{d}.x");
    spf.SetLookupLimit(10);
    EXPECT_EQ(Eval("192.0.2.1", "x@grow.test"), kSpfTempError) << "the limit ends the walk";
    EXPECT_EQ(spf.LookupLimit(), 10);
    spf.SetLookupLimit(1 << 30);
    EXPECT_EQ(spf.LookupLimit(), CSpf::kMaxLookupLimit);
}

// Two published records are refused whatever they say: joined and walked, "v=spf1 -all" and
// "v=spf1 +all" would end in "+all" and pass anyone.
TEST_F(SpfTest, TwoRecordsArePermError) {
    dns.Txt("two.test", "v=spf1 -all");
    dns.Txt("two.test", "v=spf1 +all");
    dns.Txt("two.test", "some other text");
    EXPECT_EQ(Eval("192.0.2.1", "x@two.test"), kSpfPermError);
    dns.Txt("inc.test", "v=spf1 include:two.test -all");
    EXPECT_EQ(Eval("192.0.2.1", "x@inc.test"), kSpfPermError);
    dns.Txt("one.test", "spam verification=1");
    dns.Txt("one.test", "  V=SPF1 ip4:192.0.2.1 -all");
    EXPECT_EQ(Eval("192.0.2.1", "x@one.test"), kSpfPass) << "one record among other texts";
}

TEST_F(SpfTest, MacrosExpand) {
    spf::Context ctx;
    ctx.lookup = &dns;
    ASSERT_TRUE(spf::Begin(ctx, "192.0.2.3", "Strong-Bad@Email.Example.com", "mx.example.org"));
    EXPECT_EQ(ctx.local_part, "strong-bad");
    EXPECT_EQ(ctx.domain, "email.example.com");
    auto x = [&ctx](const std::string& t, spf::ExpandMode m = spf::ExpandMode::Record) {
        return spf::Expand(ctx, t, "o.example", m);
    };
    EXPECT_EQ(x("%{s}"), "Strong-Bad@Email.Example.com");
    EXPECT_EQ(x("%{l}|%{o}|%{d}|%{i}|%{v}|%{h}"),
              "strong-bad|o.example|email.example.com|192.0.2.3|in-addr|mx.example.org");
    EXPECT_EQ(x("%{d2}"), "example.com") << "two right-hand labels";
    EXPECT_EQ(x("%{ir}.%{v}._spf.%{d2}"), "3.2.0.192.in-addr._spf.example.com");
    EXPECT_EQ(x("%{l-}"), "strong-bad") << "delimiters alone change nothing";
    EXPECT_EQ(x("%{lr-}"), "bad.strong");
    EXPECT_EQ(x("%{l1r-}"), "strong");
    EXPECT_EQ(x("100%% %_%-%x!"), "100%  %20!") << "%x drops both";
    EXPECT_EQ(x("a%"), "a");
    EXPECT_EQ(x("%{c}"), "") << "c ends a record's expansion";
    EXPECT_EQ(x("ok %{t}"), "");
    EXPECT_EQ(x("%{c} %{r}", spf::ExpandMode::Explanation), "192.0.2.3 unknown");
    EXPECT_EQ(x("%{d}x%{q}"), "") << "an unknown letter";
    EXPECT_EQ(x("%{d0}"), "") << "0 is not a digit of a macro";
    EXPECT_EQ(x("%{d"), "") << "unclosed";
    EXPECT_EQ(x("%{p}"), "unknown") << "no address for the domain";

    spf::Context helo_only;
    ASSERT_TRUE(spf::Begin(helo_only, "192.0.2.3", "", "Relay.Example.net"));
    EXPECT_EQ(helo_only.sender, "helo@Relay.Example.net");
    EXPECT_EQ(helo_only.domain, "relay.example.net");
}

TEST_F(SpfTest, AddressesAndPrefixes) {
    uint8_t q[4];
    EXPECT_TRUE(spf::ParseAddress("0.0.0.0", q));
    EXPECT_TRUE(spf::ParseAddress("255.255.255.255", q));
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.256", "01234.1.1.1", "1.2.3.4 ", "a.b.c.d", "1..2.3"})
        EXPECT_FALSE(spf::ParseAddress(bad, q)) << bad;
    const uint8_t a[4] = {192, 0, 2, 7}, b[4] = {192, 0, 3, 7};
    EXPECT_TRUE(spf::PrefixMatch(a, b, 22));
    EXPECT_FALSE(spf::PrefixMatch(a, b, 24));
    EXPECT_TRUE(spf::PrefixMatch(a, b, 0));
    EXPECT_EQ(std::string(SpfResultString(0)), "Pass");
    EXPECT_EQ(std::string(SpfResultString(6)), "PermError");
    EXPECT_EQ(std::string(SpfResultString(7)), "");
    EXPECT_EQ(std::string(SpfResultString(-1)), "");
}

TEST_F(SpfTest, AnswersAreCachedByTheirTriple) {
    dns.Txt("example.org", "v=spf1 ip4:192.0.2.0/24 -all");
    EXPECT_EQ(spf.Query("192.0.2.7", "a@example.org", "h"), kSpfPass);
    const int asked = dns.questions;
    EXPECT_EQ(spf.Query("192.0.2.7", "a@example.org", "h"), kSpfPass);
    EXPECT_EQ(dns.questions, asked) << "the second answer comes from the cache";
    EXPECT_GE(spf.Table().Find(CSpf::CacheKey("192.0.2.7", "a@example.org", "h")), 0);
    EXPECT_EQ(CSpf::CacheKey("1", "2", "3").size(), 32u);
    EXPECT_EQ(spf.Query(nullptr, "a@example.org", "h"), kSpfNeutral);
    EXPECT_EQ(spf.Query("bad", "a@example.org", "h"), kSpfTempError);
    EXPECT_EQ(spf.Table().Find(CSpf::CacheKey("bad", "a@example.org", "h")), -1) << "early returns are not cached";
}

}  // namespace
}  // namespace checks
