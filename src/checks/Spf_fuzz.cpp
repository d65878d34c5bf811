// SPF records of arbitrary text: the input's lines are the published records of a few domains
// (every TXT, A, MX and PTR question gets one of them, chosen by the name asked), and the
// first line is the sender domain's. The evaluation never crashes, never makes more lookups
// than the RFC's limits allow, and a macro expansion stays within a fixed multiple of its input
// and fails exactly when the text is not a macro-string.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "checks/Spf.h"

namespace {

class LinesLookup : public checks::SpfLookup {
public:
    explicit LinesLookup(std::vector<std::string> lines) : lines_(std::move(lines)) {}
    bool Query(std::string_view name, uint16_t qtype, std::vector<checks::DnsAnswer>* answers) override {
        if (lines_.empty()) return false;
        const size_t pick = (std::hash<std::string_view>{}(name) + qtype) % lines_.size();
        checks::DnsAnswer a;
        a.type = qtype;
        a.data = qtype == checks::kTypeTXT && name == "f.test" ? lines_[0] : lines_[pick];
        answers->push_back(a);
        if (pick % 3 == 0) answers->push_back(a);  // sometimes two records
        return true;
    }

private:
    std::vector<std::string> lines_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= in.size() && lines.size() < 16) {
        size_t nl = in.find('\n', start);
        if (nl == std::string_view::npos) nl = in.size();
        lines.emplace_back(in.substr(start, nl - start));
        start = nl + 1;
    }
    LinesLookup lookup(lines);

    // Expansion alone: the longest macro value here is the sender (30 bytes) or the address,
    // three times longer when URL-escaped.
    checks::spf::Context ctx;
    ctx.lookup = &lookup;
    checks::spf::Begin(ctx, "192.0.2.1", "someone@f.test", "helo.f.test");
    for (auto mode : {checks::spf::ExpandMode::Record, checks::spf::ExpandMode::Explanation}) {
        const std::optional<std::string> out = checks::spf::Expand(ctx, in, "f.test", mode);
        if (out && out->size() > 48 * in.size() + 16) std::abort();
        if (out.has_value() != checks::spf::ValidMacroString(in, mode == checks::spf::ExpandMode::Explanation))
            std::abort();
    }

    // The whole evaluation stays within the RFC's limits: the first record, ten DNS-querying
    // terms (the eleventh is refused) each asking at most eleven names (an MX and ten
    // addresses), the client's names once (a PTR and ten addresses) and one explanation.
    checks::spf::Context eval;
    eval.lookup = &lookup;
    if (checks::spf::Begin(eval, "192.0.2.1", "someone@f.test", "helo.f.test")) {
        const int r = checks::spf::Check(eval);
        if (r < 0 || r > 6 || eval.dns_terms > checks::spf::kMaxDnsTerms + 1) std::abort();
        if (eval.queries > 1 + 11 * (checks::spf::kMaxDnsTerms + 1) + 11 + 1) std::abort();
    }
    checks::CSpf spf("", &lookup);
    const int q = spf.Query("192.0.2.1", "someone@f.test", "helo.f.test");
    if (q < 0 || q > 6) std::abort();
    return 0;
}
