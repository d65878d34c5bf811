// Messages of arbitrary bytes against a fixed rule set (good, bad and empty-text patterns, every
// type, structural tests): the check ends, and its total is the sum of the entries it reports.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "checks/MessageTests.h"
#include "checks/Rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static checks::CRules* rules = [] {
        auto* r = new checks::CRules();
        r->AddRule("subject", "(?i)free|win", checks::kRuleSubject, 1.5f, 0);
        r->AddRule("body", "click\\s+here", checks::kRuleBody, 2.0f, 1);
        r->AddRule("raw", "^Content-Type: text/html", checks::kRuleRaw, 0.5f, 2);
        r->AddRule("dot", "a.b", checks::kRuleRaw, -1.0f, 4);
        r->AddRule("bad", "(unclosed", checks::kRuleRaw, 9.0f, 0);
        r->AddRule("other", "^$", 7, 0.25f, 0);
        r->AddRule("backtrack", "(a+)+$", checks::kRuleBody, 3.0f, 0);
        r->AddRule("html_only", "MIME_HTML_ONLY", checks::kRuleTest, 1.0f, 0);
        r->AddRule("date_bad", "HDR_DATE_BAD", checks::kRuleTest, 0.5f, 0);
        r->AddRule("from", "From:(?i)prize|win", checks::kRuleHeader, 1.0f, 0);
        r->AddRule("text", "refinance", checks::kRuleText, 1.0f, 1);
        r->AddRule("uri", "^https?://\\d", checks::kRuleUri, 1.0f, 0);
        r->AddRule("meta", "html_only && (from || !text)", checks::kRuleMeta, 2.0f, 0);
        return r;
    }();
    mail::CParseMail m;
    m.AddStreaming(std::string_view(reinterpret_cast<const char*>(data), std::min(size, mail::kAnalysedBytes)));
    m.Parse();
    checks::CRulesResult result;
    float total = rules->Check(m, &result);
    float sum = 0;
    for (const auto& e : result.entries) sum += e.score;
    if (total != sum || result.entries.size() > 12) std::abort();
    // The structural tests on their own, and the date parser on the raw bytes.
    const checks::MessageTestSet tests = checks::RunMessageTests(m.Raw(), 1700000000);
    for (size_t i = checks::kMessageTestCount; i < checks::kMaxMessageTests; ++i)
        if (tests.test(i)) std::abort();
    int64_t when = 0;
    checks::ParseMailDate(std::string_view(reinterpret_cast<const char*>(data), std::min<size_t>(size, 200)), &when);
    return 0;
}
