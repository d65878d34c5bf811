// Messages of arbitrary bytes, cut as a session cuts them: tokenising ends, every token is a
// storable word, and the count stays within what the cutting rules allow.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "checks/Bayes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    mail::CParseMail m;
    m.AddStreaming(std::string_view(reinterpret_cast<const char*>(data), std::min(size, mail::kAnalysedBytes)));
    m.Parse();
    checks::CBayesWord w;
    w.Tokenize(m);
    // Four header texts and one per text part, each capped; a digest and blocks per other part;
    // the raw samples.
    size_t lines = static_cast<size_t>(std::count(m.Raw().begin(), m.Raw().end(), '\n')) + 1;
    size_t parts = m.Parts().size() + 1;
    size_t bound = 4 * 100 + parts * 100 + parts * (1 + 1) + (lines / 16) * parts + 100;
    if (w.tokens.size() > bound) std::abort();
    for (const std::string& t : w.tokens)
        if (t.empty() || t.size() > checks::CBayes::kMaxTokenBytes) std::abort();
    return 0;
}
