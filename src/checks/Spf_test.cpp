#include "checks/Spf.h"

#include "common/String.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
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
    // An answer of type `rtype` to the question (name, type).
    void Add(const std::string& name, uint16_t type, const std::string& data, uint16_t rtype = 0) {
        DnsAnswer a;
        a.owner = name;
        a.type = rtype ? rtype : type;
        a.data = data;
        answers_[{common::AsciiLowered(name), type}].push_back(a);
    }
    void Fail(const std::string& name, uint16_t type) { failing_.insert({name, type}); }
    // Names without answers do not exist (a void lookup); failing ones get no usable reply.
    bool Query(std::string_view name, uint16_t qtype, std::vector<DnsAnswer>* answers) override {
        ++questions;
        if (failing_.count({std::string(name), qtype})) return false;
        auto it = answers_.find({common::AsciiLowered(name), qtype});  // DNS ignores case
        if (it != answers_.end()) *answers = it->second;
        return true;
    }
    int questions = 0;

private:
    std::map<std::pair<std::string, uint16_t>, std::vector<DnsAnswer>> answers_;
    std::set<std::pair<std::string, uint16_t>> failing_;
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
    EXPECT_EQ(Eval("198.51.100.1", "a@EXAMPLE.org"), kSpfFail) << "names are not case-sensitive";

    dns.Txt("late.test", "v=spf1 -all ip4:192.0.2.7");
    EXPECT_EQ(Eval("192.0.2.7", "a@late.test"), kSpfFail) << "the first match decides";
    dns.Txt("open.test", "v=spf1 ip4:192.0.2.7");
    EXPECT_EQ(Eval("198.51.100.1", "a@open.test"), kSpfNeutral) << "nothing matched, no all";
    EXPECT_EQ(Eval("198.51.100.1", "a@nothing.test"), kSpfNone) << "no record";
    EXPECT_EQ(Eval("198.51.100.1", "a@single-label"), kSpfNone) << "not a usable domain";

    dns.Txt("quals.test", "v=spf1 ~ip4:10.0.0.1 ?ip4:10.0.0.2 +ip4:10.0.0.3 -ip4:10.0.0.4 ~all");
    EXPECT_EQ(Eval("10.0.0.1", "x@quals.test"), kSpfSoftFail);
    EXPECT_EQ(Eval("10.0.0.2", "x@quals.test"), kSpfNeutral);
    EXPECT_EQ(Eval("10.0.0.3", "x@quals.test"), kSpfPass);
    EXPECT_EQ(Eval("10.0.0.4", "x@quals.test"), kSpfFail);
    EXPECT_EQ(Eval("10.0.0.5", "x@quals.test"), kSpfSoftFail);
    EXPECT_EQ(Eval("10.0.0.999", "x@example.org"), kSpfTempError) << "the client's address is not one";

    // a and mx with targets and dual prefixes; the resolver's CNAME answer comes with the A.
    dns.Txt("hosts.test", "v=spf1 a a:alias.test/30 mx/24//64 ip6:2001:db8::/32 -all");
    dns.A("hosts.test", "203.0.113.10");
    dns.Add("alias.test", kTypeA, "real.test", kTypeCNAME);
    dns.A("alias.test", "198.51.100.8");
    dns.Mx("hosts.test", "mx.hosts.test");
    dns.A("mx.hosts.test", "192.0.2.200");
    EXPECT_EQ(Eval("203.0.113.10", "x@hosts.test"), kSpfPass);
    EXPECT_EQ(Eval("198.51.100.11", "x@hosts.test"), kSpfPass) << "/30 of the alias's address";
    EXPECT_EQ(Eval("198.51.100.12", "x@hosts.test"), kSpfFail);
    EXPECT_EQ(Eval("192.0.2.1", "x@hosts.test"), kSpfPass) << "mx/24";

    // ptr: a name of the client that leads back to it, in the domain; exists with a macro.
    dns.Txt("ptr.test", "v=spf1 ptr exists:%{ir}.allow.test -all");
    dns.Ptr("192.0.2.50", "host.ptr.test");
    dns.A("host.ptr.test", "192.0.2.50");
    dns.Ptr("192.0.2.51", "liar.ptr.test");
    dns.A("liar.ptr.test", "192.0.2.99");
    dns.A("77.2.0.192.allow.test", "127.0.0.2");
    EXPECT_EQ(Eval("192.0.2.50", "x@ptr.test"), kSpfPass);
    EXPECT_EQ(Eval("192.0.2.51", "x@ptr.test"), kSpfFail) << "a name that does not lead back";
    EXPECT_EQ(Eval("192.0.2.77", "x@ptr.test"), kSpfPass) << "exists";
    EXPECT_EQ(Eval("192.0.2.78", "x@ptr.test"), kSpfFail);

    // Empty MAIL FROM: the HELO name's record, as postmaster.
    dns.Txt("relay.example.net", "v=spf1 exists:%{l}.%{o}.ok.test -all");
    dns.A("postmaster.relay.example.net.ok.test", "127.0.0.2");
    EXPECT_EQ(Eval("192.0.2.1", "", "relay.example.net"), kSpfPass);
}

// Whatever is wrong in a record is PermError, before any term is tried: a broken record must
// not pass a client by the terms before the fault.
TEST_F(SpfTest, BrokenRecordsArePermError) {
    for (const char* record :
         {"v=spf1 ip4:192.0.2.1 foo:bar", "v=spf1 ip4:192.0.2.1 ip4:300.1.2.3", "v=spf1 ip4:192.0.2.1 a/33",
          "v=spf1 ip4:192.0.2.1 a/024", "v=spf1 ip4:192.0.2.1 -redirect=x.test", "v=spf1 ip4:192.0.2.1 include",
          "v=spf1 ip4:192.0.2.1 a:foo.123", "v=spf1 ip4:192.0.2.1 exists:%{x}.test", "v=spf1 ip4:192.0.2.1 a:%{d0}.t",
          "v=spf1 ip4:192.0.2.1 exists:%{c}.test", "v=spf1 ip4:192.0.2.1 exp=a.test exp=b.test",
          "v=spf1 ip4:192.0.2.1 ip6:2001:db8::/129", "v=spf1 ip4:192.0.2.1 all:x", "v=spf1 ip4:192.0.2.1 a:x%.test"}) {
        CannedLookup one;
        one.Txt("broken.test", record);
        CSpf s("", &one);
        EXPECT_EQ(s.Evaluate("192.0.2.1", "x@broken.test", "h.test"), kSpfPermError) << record;
    }
    dns.Txt("two.test", "v=spf1 -all");
    dns.Txt("two.test", "v=spf1 +all");
    EXPECT_EQ(Eval("192.0.2.1", "x@two.test"), kSpfPermError) << "two records, whatever they say";
    dns.Txt("one.test", "spam verification=1");
    dns.Txt("one.test", "v=spf10 +all");
    dns.Txt("one.test", "V=SPF1 ip4:192.0.2.1 -all");
    EXPECT_EQ(Eval("192.0.2.1", "x@one.test"), kSpfPass) << "one record among other texts";
    dns.Txt("unknown-mod.test", "v=spf1 moo.cow-x_y=%{d} ip4:192.0.2.1 -all");
    EXPECT_EQ(Eval("192.0.2.1", "x@unknown-mod.test"), kSpfPass) << "unknown modifiers are ignored";
}

TEST_F(SpfTest, IncludeRedirectAndLimits) {
    dns.Txt("outer.test", "v=spf1 include:a.example ~all");
    dns.Txt("a.example", "v=spf1 ip4:203.0.113.5 -all");
    EXPECT_EQ(Eval("203.0.113.5", "x@outer.test"), kSpfPass);
    EXPECT_EQ(Eval("198.51.100.1", "x@outer.test"), kSpfSoftFail) << "an included Fail is no match";
    dns.Txt("inc-none.test", "v=spf1 include:nothing.test +all");
    EXPECT_EQ(Eval("192.0.2.1", "x@inc-none.test"), kSpfPermError) << "include of a domain without a record";

    dns.Txt("redir.test", "v=spf1 ip4:192.0.2.1 redirect=a.example");
    EXPECT_EQ(Eval("192.0.2.1", "x@redir.test"), kSpfPass);
    EXPECT_EQ(Eval("203.0.113.5", "x@redir.test"), kSpfPass);
    EXPECT_EQ(Eval("192.0.2.2", "x@redir.test"), kSpfFail) << "the target's result";
    dns.Txt("redir-first.test", "v=spf1 redirect=a.example ip4:192.0.2.1");
    EXPECT_EQ(Eval("192.0.2.1", "x@redir-first.test"), kSpfPass) << "redirect waits for every mechanism";
    dns.Txt("redir-none.test", "v=spf1 redirect=nothing.test");
    EXPECT_EQ(Eval("192.0.2.1", "x@redir-none.test"), kSpfPermError);

    // Loops and ever-new names end at the limit of ten DNS-querying terms.
    dns.Txt("loop-a.test", "v=spf1 include:loop-b.test ip4:192.0.2.1 -all");
    dns.Txt("loop-b.test", "v=spf1 include:loop-a.test");
    EXPECT_EQ(Eval("192.0.2.1", "x@loop-a.test"), kSpfPermError);
    dns.Txt("ten.test",
            "v=spf1 a:h1.test a:h2.test a:h3.test a:h4.test a:h5.test a:h6.test a:h7.test a:h8.test "
            "a:h9.test a:h10.test ip4:192.0.2.1 -all");
    dns.Txt("eleven.test",
            "v=spf1 a:h1.test a:h2.test a:h3.test a:h4.test a:h5.test a:h6.test a:h7.test "
            "a:h8.test a:h9.test a:h10.test a:h11.test ip4:192.0.2.1 -all");
    for (int i = 1; i <= 11; ++i) dns.A("h" + std::to_string(i) + ".test", "198.51.100.1");
    EXPECT_EQ(Eval("192.0.2.1", "x@ten.test"), kSpfPass);
    EXPECT_EQ(Eval("192.0.2.1", "x@eleven.test"), kSpfPermError);

    // The third name that does not exist ends the evaluation; two are allowed.
    dns.Txt("void2.test", "v=spf1 a:v1.test a:v2.test ip4:192.0.2.1");
    dns.Txt("void3.test", "v=spf1 a:v1.test exists:v2.test mx:v3.test ip4:192.0.2.1");
    EXPECT_EQ(Eval("192.0.2.1", "x@void2.test"), kSpfPass);
    EXPECT_EQ(Eval("192.0.2.1", "x@void3.test"), kSpfPermError);

    dns.Txt("many-mx.test", "v=spf1 mx ip4:192.0.2.1");
    for (int i = 0; i < 11; ++i) dns.Mx("many-mx.test", "mx" + std::to_string(i) + ".test");
    EXPECT_EQ(Eval("192.0.2.1", "x@many-mx.test"), kSpfPermError) << "more than ten MX names";
}

TEST_F(SpfTest, DnsFailuresAreTempError) {
    dns.Txt("fails.test", "v=spf1 a:down.test ip4:192.0.2.1");
    dns.Fail("down.test", kTypeA);
    EXPECT_EQ(Eval("192.0.2.1", "x@fails.test"), kSpfTempError);
    dns.Fail("gone.test", kTypeTXT);
    EXPECT_EQ(Eval("192.0.2.1", "x@gone.test"), kSpfTempError);
    EXPECT_EQ(spf.Query("192.0.2.1", "x@gone.test", "h"), kSpfTempError);
    EXPECT_EQ(spf.Table().Find(CSpf::CacheKey("192.0.2.1", "x@gone.test", "h")), -1) << "TempError is not kept";
    // A failing name in ptr only skips that name.
    dns.Txt("ptr-fail.test", "v=spf1 ptr -all");
    dns.Ptr("192.0.2.60", "bad.ptr-fail.test");
    dns.Ptr("192.0.2.60", "good.ptr-fail.test");
    dns.Fail("bad.ptr-fail.test", kTypeA);
    dns.A("good.ptr-fail.test", "192.0.2.60");
    EXPECT_EQ(Eval("192.0.2.60", "x@ptr-fail.test"), kSpfPass);
}

TEST_F(SpfTest, MacrosExpand) {
    spf::Context ctx;
    ctx.lookup = &dns;
    ASSERT_TRUE(spf::Begin(ctx, "192.0.2.3", "Strong-Bad@Email.Example.com", "mx.example.org"));
    EXPECT_EQ(ctx.local_part, "Strong-Bad");
    EXPECT_EQ(ctx.sender_domain, "Email.Example.com");
    auto x = [&ctx](const std::string& t, spf::ExpandMode m = spf::ExpandMode::Record) {
        return spf::Expand(ctx, t, "email.example.com", m).value_or("<error>");
    };
    EXPECT_EQ(x("%{s}"), "Strong-Bad@Email.Example.com");
    EXPECT_EQ(x("%{l}|%{o}|%{d}|%{i}|%{v}|%{h}"),
              "Strong-Bad|Email.Example.com|email.example.com|192.0.2.3|in-addr|mx.example.org");
    // The RFC's own examples.
    EXPECT_EQ(x("%{d4}"), "email.example.com");
    EXPECT_EQ(x("%{d2}"), "example.com");
    EXPECT_EQ(x("%{d1}"), "com");
    EXPECT_EQ(x("%{dr}"), "com.example.email");
    EXPECT_EQ(x("%{d2r}"), "example.email");
    EXPECT_EQ(x("%{l-}"), "Strong.Bad") << "parts joined by dots";
    EXPECT_EQ(x("%{lr-}"), "Bad.Strong");
    EXPECT_EQ(x("%{l1r-}"), "Strong");
    EXPECT_EQ(x("%{ir}.%{v}._spf.%{d2}"), "3.2.0.192.in-addr._spf.example.com");
    EXPECT_EQ(x("%{S}"), "Strong-Bad%40Email.Example.com") << "upper case: URL-escaped";
    EXPECT_EQ(x("100%%%_%-"), "100% %20");
    for (const char* bad : {"a%", "%x", "%{d", "%{q}", "%{d0}", "%{c}", "%{t}", "a b"})
        EXPECT_EQ(x(bad), "<error>") << bad;
    EXPECT_EQ(x("%{c} is %{r} at %{t}", spf::ExpandMode::Explanation).substr(0, 21), "192.0.2.3 is unknown ");
    EXPECT_EQ(x("%{p}"), "unknown") << "no name for the address";

    EXPECT_TRUE(spf::ValidMacroString("%{ir}.%{v}._spf.%{d2}", false));
    EXPECT_FALSE(spf::ValidMacroString("%{ir", false));

    // The explanation of a Fail, from the failing record only.
    dns.Txt("exp.test", "v=spf1 -all exp=why.exp.test");
    dns.Txt("why.exp.test", "%{i} is not one of %{d}'s senders");
    spf::Context f;
    f.lookup = &dns;
    ASSERT_TRUE(spf::Begin(f, "192.0.2.9", "x@exp.test", "h"));
    EXPECT_EQ(spf::Check(f), kSpfFail);
    EXPECT_EQ(f.explanation, "192.0.2.9 is not one of exp.test's senders");
}

TEST_F(SpfTest, IPv6Clients) {
    dns.Txt("v6.test", "v=spf1 ip4:192.0.2.0/24 ip6:2001:db8::/32 a//64 mx/24//48 ptr -all");
    dns.Add("v6.test", kTypeAAAA, "2001:db9:1:2::1");
    dns.Mx("v6.test", "mx.v6.test");
    dns.Add("mx.v6.test", kTypeAAAA, "2001:dbb:7:7::25");
    dns.A("mx.v6.test", "198.51.100.25");
    EXPECT_EQ(Eval("2001:db8::5", "x@v6.test"), kSpfPass) << "ip6";
    EXPECT_EQ(Eval("2001:DB8:0::5", "x@v6.test"), kSpfPass) << "any text of the address";
    EXPECT_EQ(Eval("2001:db9:1:2:ffff::9", "x@v6.test"), kSpfPass) << "a//64 on AAAA";
    EXPECT_EQ(Eval("2001:dbb:8::1", "x@v6.test"), kSpfFail) << "mx//48: another /48";
    EXPECT_EQ(Eval("2001:dbb:7:7:1::1", "x@v6.test"), kSpfPass);
    EXPECT_EQ(Eval("198.51.100.99", "x@v6.test"), kSpfPass) << "mx/24 on A for an IPv4 client";
    EXPECT_EQ(Eval("::ffff:192.0.2.9", "x@v6.test"), kSpfPass) << "a mapped address is the IPv4 client";
    EXPECT_EQ(Eval("2001:dba::1", "x@v6.test"), kSpfFail);
    dns.Ptr("2001:dbc::50", "host.v6.test");
    dns.Add("host.v6.test", kTypeAAAA, "2001:dbc::50");
    EXPECT_EQ(Eval("2001:dbc::50", "x@v6.test"), kSpfPass) << "ptr through AAAA";

    spf::Context ctx;
    ctx.lookup = &dns;
    ASSERT_TRUE(spf::Begin(ctx, "2001:DB8::CB01", "x@v6.test", "h"));
    EXPECT_EQ(ctx.ip, "2001:db8::cb01");
    EXPECT_EQ(spf::Expand(ctx, "%{ir}.%{v}._spf.%{d}", "v6.test", spf::ExpandMode::Record).value_or(""),
              "1.0.b.c.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6._spf.v6.test")
        << "the RFC's example";
    EXPECT_EQ(spf::Expand(ctx, "%{c}", "v6.test", spf::ExpandMode::Explanation).value_or(""), "2001:db8::cb01");
}

TEST_F(SpfTest, ResultNames) {
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
    EXPECT_EQ(spf.Query("2001:DB8::1", "a@example.org", "h"), kSpfFail);
    EXPECT_GE(spf.Table().Find(CSpf::CacheKey("2001:db8::1", "a@example.org", "h")), 0) << "keyed by canonical text";
    EXPECT_NE(CSpf::CacheKey("1", "23", ""), CSpf::CacheKey("12", "3", "")) << "the parts are kept apart";
    EXPECT_EQ(spf.Table().Find(CSpf::CacheKey("bad", "a@example.org", "h")), -1) << "early returns are not cached";
}

}  // namespace
}  // namespace checks
