// The checks on the hot path of admission: a DNSBL check of 4 zones against a loopback DNS
// server (MORVANE_TEST_DNS=addr:port, e.g. the unbound of tests/dns_integration_test.sh; else an
// in-process responder), a cache hit, and statistics counting from 8 threads.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "checks/Bayes.h"
#include "checks/DnsBL.h"
#include "checks/FakeDns.h"
#include "checks/Greylist.h"
#include "checks/LocalDomains.h"
#include "checks/Phishing.h"
#include "checks/Redis.h"
#include "checks/Rules.h"
#include "checks/Spf.h"
#include "checks/Statistics.h"
#include "platform/KFile.h"
#include "platform/TestTempDir.h"

namespace {

std::string ServerAddress() {
    static std::unique_ptr<checks::FakeDns> fake;
    if (const char* s = std::getenv("MORVANE_TEST_DNS")) return s;
    if (!fake) {
        fake = std::make_unique<checks::FakeDns>();
        fake->Add("2.2.0.192.bl1.test", checks::kTypeA, checks::kTypeA, checks::FakeDns::A(127, 0, 0, 2));
        // The SPF include chain of tests/dns/unbound.conf.in.
        auto txt = [](const std::string& t) { return std::string(1, static_cast<char>(t.size())) + t; };
        fake->Add("chain.spf.test", checks::kTypeTXT, checks::kTypeTXT, txt("v=spf1 include:c1.spf.test -all"));
        fake->Add("c1.spf.test", checks::kTypeTXT, checks::kTypeTXT, txt("v=spf1 include:c2.spf.test"));
        fake->Add("c2.spf.test", checks::kTypeTXT, checks::kTypeTXT, txt("v=spf1 include:c3.spf.test"));
        fake->Add("c3.spf.test", checks::kTypeTXT, checks::kTypeTXT, txt("v=spf1 a:host.spf.test"));
        fake->Add("host.spf.test", checks::kTypeA, checks::kTypeA, checks::FakeDns::A(198, 51, 100, 20));
        // The DMARC record of tests/dns/unbound.conf.in.
        fake->Add("_dmarc.example.test", checks::kTypeTXT, checks::kTypeTXT,
                  txt("v=DMARC1; p=reject; sp=quarantine; rua=mailto:dmarc@example.test"));
    }
    return fake->Address();
}

std::unique_ptr<checks::CDnsBL> Engine() {
    auto bl = std::make_unique<checks::CDnsBL>("");
    bl->AddNameServer(ServerAddress());
    for (const char* z : {"bl1.test|1.450", "bl2.test|1.450", "bl3.test|4.850", "bl4.test|4.500"}) bl->AddZone(z);
    bl->global_timeout_ms = 2100;
    bl->single_timeout_ms = 500;
    bl->maxhit = 3;
    bl->maxreplies = 4;
    return bl;
}

// Every iteration asks the network: the cache is emptied first.
void BM_DnsBLCheck4Zones(benchmark::State& state) {
    auto bl = Engine();
    checks::DnsBLResult r;
    for (auto _ : state) {
        bl->Cache().Reset();
        bl->QueryDnsBL("192.0.2.2", &r);
        benchmark::DoNotOptimize(r.hits);
    }
}
BENCHMARK(BM_DnsBLCheck4Zones)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_DnsBLCacheHit(benchmark::State& state) {
    auto bl = Engine();
    checks::DnsBLResult r;
    bl->QueryDnsBL("192.0.2.2", &r);
    for (auto _ : state) {
        bl->QueryDnsBL("192.0.2.2", &r);
        benchmark::DoNotOptimize(r.score);
    }
}
BENCHMARK(BM_DnsBLCacheHit);

// An SPF answer from its cache table.
void BM_SpfCached(benchmark::State& state) {
    checks::CDns dns("");
    dns.AddNameServer(ServerAddress());
    checks::SpfDnsLookup lookup(&dns);
    checks::CSpf spf("", &lookup);
    if (spf.Query("198.51.100.20", "someone@chain.spf.test", "mail.chain.spf.test") != checks::kSpfPass)
        state.SkipWithError("the include chain did not pass");
    for (auto _ : state)
        benchmark::DoNotOptimize(spf.Query("198.51.100.20", "someone@chain.spf.test", "mail.chain.spf.test"));
}
BENCHMARK(BM_SpfCached);

// A whole evaluation through an include chain of three domains (five lookups), every lookup
// asking the DNS server: both caches are emptied first.
void BM_SpfIncludeChainUncached(benchmark::State& state) {
    checks::CDns dns("");
    dns.AddNameServer(ServerAddress());
    dns.timeout_ms = 1000;
    checks::SpfDnsLookup lookup(&dns);
    checks::CSpf spf("", &lookup);
    for (auto _ : state) {
        dns.Cache().Reset();
        spf.Table().Reset();
        if (spf.Query("198.51.100.20", "someone@chain.spf.test", "h") != checks::kSpfPass) {
            state.SkipWithError("the include chain did not pass");
            break;
        }
    }
}
BENCHMARK(BM_SpfIncludeChainUncached)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

checks::CStatitiche_Day g_stats;

void BM_StatisticsAddItem(benchmark::State& state) {
    for (auto _ : state) g_stats.AddItem("f1tot_conn", 1, 0, 0, 1);
}
BENCHMARK(BM_StatisticsAddItem)->Threads(8);

}  // namespace

// Greylist and auto-whitelist at the size of a busy site: 1M known triples / pairs.
#include "checks/Greylist.h"
#include "checks/Reputation.h"

namespace {

constexpr int kTriples = 1'000'000;

checks::CGreylist& BigGreylist() {
    static checks::CGreylist* grey = [] {
        auto* g = new checks::CGreylist("", nullptr);
        g->SetEmbargo(60, 1);
        for (int i = 0; i < kTriples; ++i)
            g->Add(checks::CGreylist::PrepareTriples("user" + std::to_string(i % 5000) + "@example.net",
                                                     "198.51.100." + std::to_string(i % 250),
                                                     "sender" + std::to_string(i) + "@example.org", "", ""));
        return g;
    }();
    return *grey;
}

// What a session does per recipient: build the triple, try to pass it, record it.
void BM_GreylistPassAndAdd(benchmark::State& state) {
    checks::CGreylist& g = BigGreylist();
    int i = 0;
    for (auto _ : state) {
        std::string t = checks::CGreylist::PrepareTriples(
            "user" + std::to_string(i % 5000) + "@example.net", "198.51.100." + std::to_string(i % 250),
            "sender" + std::to_string(i % (2 * kTriples)) + "@example.org", "", "");
        benchmark::DoNotOptimize(g.Pass(t));
        g.Add(t);
        ++i;
    }
}
BENCHMARK(BM_GreylistPassAndAdd);

void BM_IsALWL(benchmark::State& state) {
    static checks::CAutoWhitelist* alwl = [] {
        auto* a = new checks::CAutoWhitelist("");
        for (int i = 0; i < kTriples; ++i)
            a->Add("local" + std::to_string(i % 1000) + "@example.org", "peer" + std::to_string(i) + "@example.net");
        return a;
    }();
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(alwl->Contains("peer" + std::to_string(i % (2 * kTriples)) + "@example.net",
                                                "local" + std::to_string(i % 1000) + "@example.org"));
        ++i;
    }
}
BENCHMARK(BM_IsALWL);

}  // namespace

// BayesianCheck's work on a session's message, already parsed by the session: cut a 30 KB
// message into tokens and look each up in a 1M-word table that knows half of them. Arg 0: a
// 12 KB text part and an 18 KB base64 attachment (whose body is digested whole and in blocks);
// arg 1: 30 KB of plain text.
namespace {

std::string BenchMessage(bool text_only = false) {
    std::string text, words[] = {"invoice",  "payment", "meeting",  "schedule", "discount", "project", "tomorrow",
                                 "attached", "account", "security", "verify",   "please",   "thanks",  "regards"};
    text =
        "From: \"Billing Team\" <billing@example.org>\r\nTo: <user@example.net>\r\nSubject: your invoice for "
        "this month is attached\r\nMessage-Id: <abc.123@mail.example.org>\r\nContent-Type: multipart/mixed; "
        "boundary=\"b1\"\r\n\r\n--b1\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n";
    for (int i = 0; text.size() < (text_only ? 30700u : 12000u); ++i)
        text += words[i % 14] + std::to_string(i % 97) + ((i % 12) == 11 ? "\r\n" : " ");
    text += "\r\n--b1\r\nContent-Type: application/pdf; name=a.pdf\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    for (int i = 0; text.size() < 30700; ++i)
        text += "JVBERi0xLjQKJcfsj6IKNSAwIG9iago8PC9MZW5ndGggNiAwIFIvRmlsdGVy\r\n";
    return text + "--b1--\r\n";
}

void BM_BayesClassify30KB(benchmark::State& state) {
    static std::unique_ptr<checks::CBayes> bayes;
    const bool text_only = state.range(0) == 1;
    mail::CParseMail m;
    m.AddStreaming(BenchMessage(text_only));
    m.Parse();
    checks::CBayesWord w;
    if (!bayes) {
        bayes = std::make_unique<checks::CBayes>("");
        uint64_t x = 88172645463325252ull;
        for (int i = 0; i < 1'000'000; ++i) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            bayes->Words().Insert("w" + std::to_string(x % 1'000'000'000'000ull),
                                  checks::CBayes::WeightData(static_cast<int16_t>(x % 7) - 3), true);
        }
        for (bool t : {false, true}) {
            mail::CParseMail each;
            each.AddStreaming(BenchMessage(t));
            each.Parse();
            w.Tokenize(each);
            for (size_t i = 0; i < w.tokens.size(); i += 2) bayes->Learn({w.tokens[i]}, checks::kBayesSpam);
        }
    }
    for (auto _ : state) {
        w.Tokenize(m);
        benchmark::DoNotOptimize(bayes->Classify(w.tokens));
    }
    state.counters["tokens"] = static_cast<double>(w.tokens.size());
    state.counters["words"] = bayes->Words().GetCount();
}
BENCHMARK(BM_BayesClassify30KB)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The classification alone, the message already cut.
void BM_BayesClassifyTokensOnly(benchmark::State& state) {
    checks::CBayes bayes("");
    mail::CParseMail m;
    m.AddStreaming(BenchMessage());
    m.Parse();
    checks::CBayesWord w;
    w.Tokenize(m);
    for (size_t i = 0; i < w.tokens.size(); i += 2) bayes.Learn({w.tokens[i]}, checks::kBayesSpam);
    for (auto _ : state) benchmark::DoNotOptimize(bayes.Classify(w.tokens));
}
BENCHMARK(BM_BayesClassifyTokensOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

// 1000 rules over the 30 KB message (text part and attachment): a third on the subject, a third
// on the text bodies, a third on the raw message, most of them caseless words, as a rule set
// grows. Threads:2 runs two checks at once on the same table: with the shared lock each thread
// keeps its single-thread time, where an exclusive lock would double it.
namespace {

checks::CRules& ThousandRules() {
    static checks::CRules* rules = [] {
        auto* r = new checks::CRules();
        const char* stems[] = {"viagra",   "lottery",     "winner",    "mortgage",   "casino",
                               "discount", "unsubscribe", "guarantee", "investment", "pharmacy"};
        for (int i = 0; i < 1000; ++i) {
            std::string pattern = std::string("\\b") + stems[i % 10] + std::to_string(i) + "\\b";
            if (i % 7 == 0) pattern = "(?:click|press)\\s+here\\s+" + std::to_string(i);
            if (i % 11 == 0) pattern = "^Subject:.*" + std::string(stems[i % 10]) + std::to_string(i);
            r->AddRule(("R" + std::to_string(i)).c_str(), pattern.c_str(), 1 + i % 3, 0.5f, i % 2 ? 1 : 3);
        }
        r->AddRule("hit", "invoice", checks::kRuleSubject, 1.0f, 1);
        return r;
    }();
    return *rules;
}

void BM_Rules1000Over30KB(benchmark::State& state) {
    checks::CRules& rules = ThousandRules();
    mail::CParseMail m;
    m.AddStreaming(BenchMessage());
    m.Parse();
    checks::CRulesResult result;
    for (auto _ : state) benchmark::DoNotOptimize(rules.Check(m, &result));
    state.counters["matched"] = static_cast<double>(result.entries.size());
}
BENCHMARK(BM_Rules1000Over30KB)->Unit(benchmark::kMicrosecond)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

// The phishing check of a 30 KB html message against the shipped sample list. Arg 0: a
// newsletter that claims no protected domain (most mail: the header patterns decide at once);
// arg 1: a message from "paypal.com" whose many links are all genuine, so every list and every
// link is tried.
namespace {

void BM_PhishingCheck30KBHtml(benchmark::State& state) {
    static checks::CPhishingDB* db = [] {
        auto* d = new checks::CPhishingDB("");
        std::string text;
        platform::ReadWholeFile(MORVANE_SOURCE_DIR "/dist/db/phishing.db", text);
        d->LoadText(text);
        return d;
    }();
    const bool claims = state.range(0) == 1;
    std::string text = std::string("From: \"News\" <news@") + (claims ? "paypal.com" : "shop.example") +
                       ">\r\nTo: <user@example.net>\r\nSubject: This week's offers\r\nContent-Type: text/html; "
                       "charset=utf-8\r\n\r\n<html><body>\r\n";
    for (int i = 0; text.size() < 30000; ++i)
        text += "<p>Item " + std::to_string(i) + ": <a href=\"https://www.paypal.com/item/" + std::to_string(i) +
                "\">see the offer on paypal.com</a> and more words about it.</p>\r\n";
    text += "</body></html>\r\n";
    mail::CParseMail m;
    m.AddStreaming(text);
    m.Parse();
    std::string fake;
    int verdict = 0;
    for (auto _ : state) verdict = db->Check(m, &fake, 3, "news@shop.example");
    state.counters["phishing"] = verdict;
}
BENCHMARK(BM_PhishingCheck30KBHtml)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

// The per-domain questions a session asks, with 10 000 local domains.
namespace {

checks::CLocalDomains& TenThousandDomains() {
    static checks::CLocalDomains* domains = [] {
        static platform::TestTempDir dir;
        std::filesystem::create_directories(dir.File("db"));
        platform::WriteFileAtomic(dir.File(checks::CLocalDomains::kTemplate),
                                  "[ADD_VARIABLES]\r\nproprieta=1\r\nperc_user_aggre=0\r\n[ADD_DBRAM]\r\n"
                                  "wbip=wbip_[domain].db\r\n");
        auto* d = new checks::CLocalDomains(dir.Path().string());
        d->LoadAll();
        for (int i = 0; i < 10000; ++i) d->AddLocalDomain("domain" + std::to_string(i) + ".test");
        d->GetDomain("domain5000.test")->GetDBRam("wbip")->Insert("friend.test", "1");
        return d;
    }();
    return *domains;
}

void BM_IsLocalDomainByRcptTo(benchmark::State& state) {
    checks::CLocalDomains& d = TenThousandDomains();
    for (auto _ : state) benchmark::DoNotOptimize(d.IsLocalDomainByRcptTo("Someone@Domain5000.TEST"));
}
BENCHMARK(BM_IsLocalDomainByRcptTo);

void BM_IsWhiteBlackList(benchmark::State& state) {
    checks::CLocalDomains& d = TenThousandDomains();
    for (auto _ : state) benchmark::DoNotOptimize(d.IsWhiteBlackList("a@domain5000.test", "x@friend.test"));
}
BENCHMARK(BM_IsWhiteBlackList);

}  // namespace

// ---------------------------------------------------------------------------------------------
// The statistical Bayes filter: classifying a 30 KB message against a table of a million
// tokens, and learning messages of a few KB.

#include "checks/BayesFilter.h"

namespace {

std::string BenchWord(uint64_t n) {
    std::string w;
    do {
        w.push_back(static_cast<char>('a' + n % 26));
        n /= 26;
    } while (n > 0);
    return w + "x";
}

// A message of about `bytes` bytes whose words come from a vocabulary of `vocabulary` words,
// chosen by a fixed pseudo-random walk from `seed`.
std::string BenchMessage(uint64_t seed, size_t bytes, uint64_t vocabulary) {
    std::string m = "From: \"Sender\" <s" + std::to_string(seed) +
                    "@example.org>\r\nTo: <r@example.net>\r\n"
                    "Subject: message " +
                    BenchWord(seed) + "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n";
    uint64_t x = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    size_t line = 0;
    while (m.size() < bytes) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        const std::string w = BenchWord((x >> 33) % vocabulary);
        m += w;
        line += w.size() + 1;
        if (line > 70) {
            m += "\r\n";
            line = 0;
        } else {
            m += ' ';
        }
    }
    return m + "\r\n";
}

checks::CBayesFilter& MillionTokenFilter() {
    static checks::CBayesFilter* f = [] {
        auto* filter = new checks::CBayesFilter();
        checks::BayesFilterSettings s;
        s.min_learned = 1;
        filter->SetSettings(s);
        // Messages of distinct rare words (each adds ~4000 tokens with its pairs) until the
        // table holds a million, then common-vocabulary mail of both kinds.
        for (uint64_t i = 0; filter->GetStats().tokens < 1000000; ++i)
            filter->Learn(BenchMessage(1000000 + i, 30000, 50000000),
                          i % 2 == 0 ? checks::kFilterSpam : checks::kFilterHam);
        for (uint64_t i = 0; i < 400; ++i)
            filter->Learn(BenchMessage(i, 4000, 20000), i % 3 == 0 ? checks::kFilterSpam : checks::kFilterHam);
        return filter;
    }();
    return *f;
}

void BM_BayesFilterClassify30KB(benchmark::State& state) {
    checks::CBayesFilter& f = MillionTokenFilter();
    const std::string message = BenchMessage(7, 30000, 20000);
    for (auto _ : state) benchmark::DoNotOptimize(f.ClassifyMessage(message).probability);
    state.counters["tokens"] = static_cast<double>(f.GetStats().tokens);
}
BENCHMARK(BM_BayesFilterClassify30KB)->Unit(benchmark::kMicrosecond);

// The same without cutting the message: what the combining costs on its own.
void BM_BayesFilterClassifyTokensOnly(benchmark::State& state) {
    checks::CBayesFilter& f = MillionTokenFilter();
    checks::CTokenSet tokens;
    checks::TokenizeMessage(BenchMessage(7, 30000, 20000), tokens);
    for (auto _ : state) benchmark::DoNotOptimize(f.Classify(tokens).probability);
    state.counters["message_tokens"] = static_cast<double>(tokens.size());
}
BENCHMARK(BM_BayesFilterClassifyTokensOnly)->Unit(benchmark::kMicrosecond);

void BM_BayesFilterLearn1000(benchmark::State& state) {
    std::vector<std::string> messages;
    for (uint64_t i = 0; i < 1000; ++i) messages.push_back(BenchMessage(i, 4000, 20000));
    for (auto _ : state) {
        checks::CBayesFilter f;
        for (size_t i = 0; i < messages.size(); ++i)
            f.Learn(messages[i], i % 2 == 0 ? checks::kFilterSpam : checks::kFilterHam);
        benchmark::DoNotOptimize(f.GetStats().tokens);
    }
}
BENCHMARK(BM_BayesFilterLearn1000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

// ---------------------------------------------------------------------------------------------
// The structural tests alone, and the whole shipped starter set (patterns and tests) over a
// 30 KB HTML message.

#include "checks/MessageTests.h"

namespace {

std::string BenchHtmlMessage() {
    std::string m =
        "Received: from mx.example.org (mx.example.org [192.0.2.1]) by mail.example.net; Tue, 1 Dec 2026 "
        "10:00:00 +0000\r\nDate: Tue, 1 Dec 2026 09:59:00 +0000\r\nMessage-Id: <1@mx.example.org>\r\n"
        "From: \"Shop\" <news@shop.example.org>\r\nTo: <bob@example.net>\r\nSubject: Our offers this week\r\n"
        "MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=\"=_bench_7f3a\"\r\n\r\n--=_bench_7f3a\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n\r\n";
    const std::string plain = BenchMessage(3, 12000, 20000);
    m += plain.substr(plain.find("\r\n\r\n") + 4);
    m += "\r\n--=_bench_7f3a\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<html><body><table>";
    for (int i = 0; m.size() < 30000; ++i)
        m += "<tr><td><a href=\"https://shop.example.org/item/" + std::to_string(i) + "\">item " + BenchWord(i) +
             "</a> <font color=\"red\">" + BenchWord(i * 7) + " " + BenchWord(i * 13) + "</font></td></tr>\r\n";
    return m + "</table></body></html>\r\n--=_bench_7f3a--\r\n";
}

void BM_MessageTests30KB(benchmark::State& state) {
    const std::string message = BenchHtmlMessage();
    for (auto _ : state) benchmark::DoNotOptimize(checks::RunMessageTests(message));
}
BENCHMARK(BM_MessageTests30KB)->Unit(benchmark::kMicrosecond);

void BM_StarterRulesAndTests30KB(benchmark::State& state) {
    std::string source;
    platform::ReadWholeFile(MORVANE_SOURCE_DIR "/dist/rules/starter.rules", source);
    std::vector<checks::RuleSpec> specs;
    std::string error;
    if (!checks::ParseRulesSource(source, &specs, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    checks::CRules rules;
    for (const checks::RuleSpec& r : specs)
        rules.AddRule(r.name.c_str(), r.pattern.c_str(), r.type, r.score, r.options);
    mail::CParseMail m;
    m.AddStreaming(BenchHtmlMessage());
    m.Parse();
    checks::CRulesResult result;
    for (auto _ : state) benchmark::DoNotOptimize(rules.Check(m, &result));
    state.counters["rules"] = static_cast<double>(specs.size());
    state.counters["matched"] = static_cast<double>(result.entries.size());
}
BENCHMARK(BM_StarterRulesAndTests30KB)->Unit(benchmark::kMicrosecond);

}  // namespace

// ---------------------------------------------------------------------------------------------
// DKIM: verifying a 30 KB message with one signature (RSA-2048 or Ed25519), the key record
// given (no DNS).

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "checks/Dkim.h"
#include "checks/Dmarc.h"

namespace {

std::string OneLineBase64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

// A signed 30 KB message and its key record, made here as a signer would.
std::pair<std::string, std::string> BenchSignedMessage(bool ed25519, bool dense_white_space) {
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new_id(ed25519 ? EVP_PKEY_ED25519 : EVP_PKEY_RSA, nullptr);
    EVP_PKEY_keygen_init(kctx);
    if (!ed25519) EVP_PKEY_CTX_set_rsa_keygen_bits(kctx, 2048);
    EVP_PKEY_keygen(kctx, &key);
    EVP_PKEY_CTX_free(kctx);
    std::string body;
    // Prose with a quoted or indented line now and then, as most mail is; or every line with a
    // double space and a tab, which relaxed canonicalisation must rewrite.
    for (int i = 0; body.size() < 30000; ++i) {
        if (dense_white_space)
            body += "Line " + std::to_string(i) + " of a long  letter,\tsigned.\r\n";
        else if (i % 10 == 9)
            body += ">  quoted line " + std::to_string(i) + "\twith  its own spacing \r\n";
        else
            body += "Line " + std::to_string(i) + " of a long letter, in plain words as people write them.\r\n";
    }
    const std::string bh =
        OneLineBase64(checks::dkim::Sha256ForBench(checks::dkim::CanonicalBody(body, checks::dkim::Canon::kRelaxed)));
    const std::string head = "From: Alice <alice@example.org>\r\nTo: bob@example.net\r\nSubject: a long letter\r\n";
    const std::string field = std::string("DKIM-Signature: v=1; a=") + (ed25519 ? "ed25519-sha256" : "rsa-sha256") +
                              "; c=relaxed/relaxed; d=example.org; s=sel;\r\n h=from:to:subject; bh=" + bh + "; b=";
    const std::string data = checks::dkim::RelaxedHeader("From: Alice <alice@example.org>") + "\r\n" +
                             checks::dkim::RelaxedHeader("To: bob@example.net") + "\r\n" +
                             checks::dkim::RelaxedHeader("Subject: a long letter") + "\r\n" +
                             checks::dkim::RelaxedHeader(field);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    std::string sig(512, '\0');
    size_t sig_len = sig.size();
    if (ed25519) {
        const std::string hash = checks::dkim::Sha256ForBench(data);
        EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key);
        EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &sig_len,
                       reinterpret_cast<const unsigned char*>(hash.data()), hash.size());
    } else {
        EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key);
        EVP_DigestSignUpdate(ctx, data.data(), data.size());
        EVP_DigestSignFinal(ctx, reinterpret_cast<unsigned char*>(sig.data()), &sig_len);
    }
    EVP_MD_CTX_free(ctx);
    sig.resize(sig_len);
    std::string public_key;
    if (ed25519) {
        size_t len = 32;
        public_key.resize(len);
        EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(public_key.data()), &len);
    } else {
        unsigned char* der = nullptr;
        const int len = i2d_PUBKEY(key, &der);
        public_key.assign(reinterpret_cast<const char*>(der), static_cast<size_t>(len));
        OPENSSL_free(der);
    }
    EVP_PKEY_free(key);
    const std::string record =
        std::string("v=DKIM1; k=") + (ed25519 ? "ed25519" : "rsa") + "; p=" + OneLineBase64(public_key);
    return {field + OneLineBase64(sig) + "\r\n" + head + "\r\n" + body, record};
}

void BM_DkimVerify30KB(benchmark::State& state) {
    const auto [message, record] = BenchSignedMessage(state.range(0) == 1, state.range(0) == 2);
    const checks::dkim::KeyLookup lookup = [record = record](const std::string&, std::string* txt) {
        *txt = record;
        return 0;
    };
    int passed = 0;
    for (auto _ : state) {
        const auto v = checks::dkim::Verify(message, lookup, 0);
        passed = !v.empty() && v[0].result == checks::dkim::kDkimPass;
        benchmark::DoNotOptimize(passed);
    }
    state.counters["pass"] = passed;
    state.SetLabel(state.range(0) == 1   ? "ed25519"
                   : state.range(0) == 2 ? "rsa-2048, every line rewritten"
                                         : "rsa-2048");
}
BENCHMARK(BM_DkimVerify30KB)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// A DMARC verdict with the DNS engine's cache warm: the From field of a 30 KB message read, the
// subdomain's record missed and the organisational domain's found (two cached lookups), the
// Public Suffix List of the system, alignment of a passing signature.
void BM_DmarcCachedDns(benchmark::State& state) {
    checks::CDns dns("");
    dns.AddNameServer(ServerAddress());
    dns.timeout_ms = 1000;
    const checks::dmarc::TxtLookup lookup = [&dns](const std::string& name, std::vector<std::string>* texts) {
        std::vector<checks::DnsAnswer> answers;
        int rcode = 0;
        if (!dns.Query(name, checks::kTypeTXT, &answers, -1, -1, false, &rcode)) return 2;
        for (const checks::DnsAnswer& a : answers)
            if (a.type == checks::kTypeTXT) texts->push_back(a.data);
        return 0;
    };
    const std::string message =
        "Received: from a\r\nDKIM-Signature: v=1; d=mail.example.test\r\n"
        "From: \"News\" <news@news.example.test>\r\nTo: you@rcpt.test\r\nSubject: s\r\n\r\n" +
        std::string(30000, 'x');
    const checks::dmarc::PublicSuffixList& psl = checks::dmarc::PublicSuffixList::System();
    int result = -1;
    for (auto _ : state) {
        checks::dmarc::Input in;
        std::string why;
        checks::dmarc::FromDomains(message, &in.from_domains, &why);
        in.dkim_pass_domains = {"mail.example.test"};
        result = checks::dmarc::Evaluate(in, lookup, psl, 0).result;
        benchmark::DoNotOptimize(result);
    }
    if (result != checks::dmarc::kPass) state.SkipWithError("the aligned signature did not pass DMARC");
    state.SetLabel(psl.Empty() ? "no suffix list" : "system suffix list");
}
BENCHMARK(BM_DmarcCachedDns)->Unit(benchmark::kMicrosecond);

}  // namespace

// The greylist's check with the triples shared on Redis (a redis-server on loopback, started
// here): the round trip a session pays per check, against the same check on the local table.
namespace {

struct LocalRedis {
    pid_t pid = -1;
    int port = 0;
    LocalRedis() {
        port = 20000 + static_cast<int>(::getpid() % 20000);
        pid = ::fork();
        if (pid == 0) {
            const std::string p = std::to_string(port);
            if (std::freopen("/dev/null", "w", stdout) == nullptr) ::_exit(127);
            ::execlp("redis-server", "redis-server", "--port", p.c_str(), "--bind", "127.0.0.1", "--save", "",
                     "--appendonly", "no", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::usleep(300 * 1000);
    }
    ~LocalRedis() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

void GreylistPass(benchmark::State& state, bool shared) {
    static LocalRedis server;
    checks::CRedis redis;
    checks::CRedis::Settings s;
    s.server = "127.0.0.1:" + std::to_string(server.port);
    s.prefix = "bench:";
    s.timeout_ms = 1000;
    redis.Configure(s);
    checks::CGreylist grey("", nullptr);
    if (shared) grey.SetShared(&redis, "greylist");
    grey.SetEmbargo(1, 0);
    const std::string triples =
        checks::CGreylist::PrepareTriples("<r@local.example>", "192.0.2.7", "<s@sender.example>", "<>", "");
    grey.Add(triples);
    if (shared && !redis.Up()) {
        state.SkipWithError("no redis-server on loopback");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(grey.Pass(triples));
}

}  // namespace

void BM_GreylistPassLocal(benchmark::State& state) {
    GreylistPass(state, false);
}
BENCHMARK(BM_GreylistPassLocal)->Unit(benchmark::kMicrosecond);

void BM_GreylistPassShared(benchmark::State& state) {
    GreylistPass(state, true);
}
BENCHMARK(BM_GreylistPassShared)->Unit(benchmark::kMicrosecond)->UseRealTime();
