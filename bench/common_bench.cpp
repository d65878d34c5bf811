// The shared layer on the hot path of every connection: command recognition by regex,
// formatting of reply lines, MD5 keys of composite records.
#include <benchmark/benchmark.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <string>

#include "common/Md5.h"
#include "common/Regex.h"
#include "common/String.h"

namespace {

const char* kPattern = "^RCPT\\s+TO:\\s*<([^>]*)>";
const char* kLine = "RCPT TO:<someone@example.org> NOTIFY=NEVER\r\n";

void BM_RegexCached(benchmark::State& state) {
    for (auto _ : state) {
        common::RegexMatch m = common::RegexSearch(kPattern, common::kRegexCaseless, kLine);
        benchmark::DoNotOptimize(m.status);
    }
}
BENCHMARK(BM_RegexCached);

// What each match would cost without the cache: compile, JIT, match, free.
void BM_RegexCompileEveryTime(benchmark::State& state) {
    for (auto _ : state) {
        int err;
        PCRE2_SIZE off;
        pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kPattern), PCRE2_ZERO_TERMINATED, PCRE2_CASELESS,
                                         &err, &off, nullptr);
        pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
        pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
        int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(kLine), PCRE2_ZERO_TERMINATED, 0, 0, md, nullptr);
        benchmark::DoNotOptimize(rc);
        pcre2_match_data_free(md);
        pcre2_code_free(code);
    }
}
BENCHMARK(BM_RegexCompileEveryTime);

void BM_RegexCachedThreads(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(common::RegexTest(kPattern, common::kRegexCaseless, kLine));
}
BENCHMARK(BM_RegexCachedThreads)->Threads(2);

void BM_StringFormat(benchmark::State& state) {
    common::String s;
    for (auto _ : state) {
        s.Format("%s <%s> %d %s", "250", "someone@example.org", 42, "OK");
        benchmark::DoNotOptimize(s.c_str());
    }
}
BENCHMARK(BM_StringFormat);

void BM_Md5Key(benchmark::State& state) {
    std::string triple = "192.0.2.1\x02sender@example.org\x02rcpt@example.net";
    for (auto _ : state) benchmark::DoNotOptimize(common::Md5Hex(triple));
}
BENCHMARK(BM_Md5Key);

}  // namespace
