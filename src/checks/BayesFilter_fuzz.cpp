// Arbitrary bytes as a message and as a table file. As a message: tokenising ends within its
// limits, learning and classifying give a probability in [0,1], and unlearning takes back
// exactly what learning added. As a table (first byte 'T'): loading never crashes, and what
// loaded saves and loads again to the same counts.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "checks/BayesFilter.h"
#include "platform/KFile.h"

namespace {

void CheckTable(std::string_view bytes) {
    const std::string path = "/tmp/bayesfilter_fuzz." + std::to_string(::getpid()) + ".db";
    if (!platform::WriteFileAtomic(path, bytes)) return;
    checks::CBayesFilter f(path);
    std::string why;
    if (f.Load(&why)) {
        const checks::CBayesFilter::Stats before = f.GetStats();
        if (!f.Save()) std::abort();
        checks::CBayesFilter g(path);
        why.clear();
        if (!g.Load(&why) || !why.empty()) std::abort();
        const checks::CBayesFilter::Stats after = g.GetStats();
        if (after.tokens != before.tokens || after.spam_messages != before.spam_messages ||
            after.ham_messages != before.ham_messages)
            std::abort();
    }
    ::unlink(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (!bytes.empty() && bytes[0] == 'T') {
        CheckTable(bytes.substr(1));
        return 0;
    }
    checks::CTokenSet tokens;
    checks::TokenizeMessage(bytes, tokens);
    if (tokens.size() > checks::CTokenSet::kMaxTokens) std::abort();
    checks::CBayesFilter f;
    checks::BayesFilterSettings s;
    s.min_learned = 1;
    f.SetSettings(s);
    f.Learn("Subject: other\r\n\r\nsomething else entirely\r\n", checks::kFilterHam);
    const auto learned = f.Learn(bytes, checks::kFilterSpam);
    const double p = f.ClassifyMessage(bytes).probability;
    if (!(p >= 0.0 && p <= 1.0)) std::abort();
    if (learned == checks::CBayesFilter::Learned::kLearned) {
        if (f.Unlearn(bytes) != checks::CBayesFilter::Learned::kUnlearned) std::abort();
        f.Expire();
        // Only the ham message's tokens remain.
        checks::CBayesFilter h;
        h.Learn("Subject: other\r\n\r\nsomething else entirely\r\n", checks::kFilterHam);
        if (f.GetStats().tokens != h.GetStats().tokens || f.GetStats().spam_messages != 0) std::abort();
    }
    return 0;
}
