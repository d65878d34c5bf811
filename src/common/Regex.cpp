#include "common/Regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace common {

struct RegexCompiled {
    pcre2_code* code = nullptr;
    std::string error;
    ~RegexCompiled() {
        if (code) pcre2_code_free(code);
    }
};

namespace {

// Rules tables can hold thousands of patterns; past this many distinct ones the cache starts
// over rather than growing without bound on patterns built from message content.
constexpr size_t kCacheLimit = 8192;
// Backtracking cap per match: an adversarial message must cost bounded time, not hang a session.
constexpr uint32_t kMatchLimit = 5'000'000;

using Compiled = RegexCompiled;
using CompiledPtr = std::shared_ptr<const Compiled>;

uint32_t MapOptions(int options) {
    uint32_t out = 0;
    if (options & kRegexCaseless) out |= PCRE2_CASELESS;
    if (options & kRegexMultiline) out |= PCRE2_MULTILINE;
    if (options & kRegexDotAll) out |= PCRE2_DOTALL;
    if (options & kRegexExtended) out |= PCRE2_EXTENDED;
    return out;
}

CompiledPtr CompileUncached(std::string_view pattern, int options) {
    auto c = std::make_shared<Compiled>();
    int err = 0;
    PCRE2_SIZE err_off = 0;
    c->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), MapOptions(options), &err,
                            &err_off, nullptr);
    if (!c->code) {
        PCRE2_UCHAR msg[256];
        pcre2_get_error_message(err, msg, sizeof msg);
        c->error = std::string(reinterpret_cast<char*>(msg)) + " at offset " + std::to_string(err_off);
        return c;
    }
    // JIT is an optimisation: a pattern it cannot handle still runs in the interpreter.
    pcre2_jit_compile(c->code, PCRE2_JIT_COMPLETE);
    return c;
}

class Cache {
public:
    CompiledPtr Get(std::string_view pattern, int options) {
        std::string key;
        key.reserve(pattern.size() + 1);
        key.push_back(static_cast<char>('0' + (options & 15)));
        key.append(pattern);
        {
            std::shared_lock lock(mu_);
            auto it = map_.find(key);
            if (it != map_.end()) return it->second;
        }
        CompiledPtr fresh = CompileUncached(pattern, options);  // compile outside the lock
        std::unique_lock lock(mu_);
        if (map_.size() >= kCacheLimit) map_.clear();
        auto [it, inserted] = map_.emplace(std::move(key), fresh);
        return it->second;
    }
    size_t Size() {
        std::shared_lock lock(mu_);
        return map_.size();
    }
    void Clear() {
        std::unique_lock lock(mu_);
        map_.clear();
    }

private:
    std::shared_mutex mu_;
    std::unordered_map<std::string, CompiledPtr> map_;  // guarded by mu_
};

Cache& TheCache() {
    static Cache cache;
    return cache;
}

// Per-thread match state, so a match allocates nothing on the hot path.
struct MatchState {
    pcre2_match_data* data = pcre2_match_data_create(RegexMatch::kMaxGroups + 1, nullptr);
    pcre2_match_context* context = [] {
        pcre2_match_context* ctx = pcre2_match_context_create(nullptr);
        pcre2_set_match_limit(ctx, kMatchLimit);
        return ctx;
    }();
    ~MatchState() {
        pcre2_match_data_free(data);
        pcre2_match_context_free(context);
    }
};

MatchState& ThreadState() {
    thread_local MatchState state;
    return state;
}

// Runs one match; fills `out` with groups when it matches. Returns the PCRE2 code.
int RunMatch(const Compiled& c, std::string_view subject, size_t start, RegexMatch* out) {
    MatchState& st = ThreadState();
    int rc = pcre2_match(c.code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start, 0, st.data,
                         st.context);
    if (rc == 0) rc = RegexMatch::kMaxGroups + 1;  // more groups than the vector holds
    if (rc > 0 && out) {
        PCRE2_SIZE* ov = pcre2_get_ovector_pointer(st.data);
        out->status = RegexStatus::Match;
        out->groups = rc;
        for (int i = 0; i <= RegexMatch::kMaxGroups; ++i) {
            if (i < rc && ov[2 * i] != PCRE2_UNSET) {
                out->offset[i] = static_cast<long>(ov[2 * i]);
                out->text[i].assign(subject.substr(ov[2 * i], ov[2 * i + 1] - ov[2 * i]));
            } else {
                out->offset[i] = -1;
                out->text[i].clear();
            }
        }
    }
    return rc;
}

void AppendExpansion(std::string& out, std::string_view replacement, const RegexMatch& m) {
    for (size_t i = 0; i < replacement.size(); ++i) {
        char c = replacement[i];
        if (c == '$' && i + 1 < replacement.size()) {
            char d = replacement[i + 1];
            if (d >= '0' && d <= '9') {
                out.append(m.text[d - '0']);
                ++i;
                continue;
            }
            if (d == '$') {
                out.push_back('$');
                ++i;
                continue;
            }
        }
        out.push_back(c);
    }
}

}  // namespace

namespace {

RegexMatch SearchCompiled(const CompiledPtr& c, std::string_view subject, size_t start) {
    RegexMatch m;
    if (!c || !c->code) {
        m.status = RegexStatus::BadPattern;
        m.error = c ? c->error : "no pattern";
        return m;
    }
    if (start > subject.size()) return m;
    int rc = RunMatch(*c, subject, start, &m);
    if (rc < 0 && rc != PCRE2_ERROR_NOMATCH) m.status = RegexStatus::MatchError;
    return m;
}

}  // namespace

RegexMatch RegexSearch(std::string_view pattern, int options, std::string_view subject, size_t start) {
    return SearchCompiled(TheCache().Get(pattern, options), subject, start);
}

RegexHandle RegexHandle::Compile(std::string_view pattern, int options) {
    RegexHandle h;
    h.c_ = TheCache().Get(pattern, options);
    return h;
}

bool RegexHandle::ok() const {
    return c_ && c_->code;
}

const std::string& RegexHandle::error() const {
    static const std::string kNone = "no pattern";
    return c_ ? c_->error : kNone;
}

bool RegexHandle::Test(std::string_view subject) const {
    return ok() && RunMatch(*c_, subject, 0, nullptr) > 0;
}

RegexMatch RegexHandle::Search(std::string_view subject, size_t start) const {
    return SearchCompiled(c_, subject, start);
}

bool RegexTest(std::string_view pattern, int options, std::string_view subject) {
    CompiledPtr c = TheCache().Get(pattern, options);
    return c->code && RunMatch(*c, subject, 0, nullptr) > 0;
}

int RegexReplace(std::string_view pattern, int options, std::string& subject, std::string_view replacement, bool all) {
    CompiledPtr c = TheCache().Get(pattern, options);
    if (!c->code) return -1;
    std::string out;
    int count = 0;
    size_t pos = 0;     // copied up to here
    size_t search = 0;  // next match attempt
    RegexMatch m;
    while (search <= subject.size() && RunMatch(*c, subject, search, &m) > 0) {
        size_t begin = static_cast<size_t>(m.offset[0]);
        size_t end = begin + m.text[0].size();
        out.append(subject, pos, begin - pos);
        AppendExpansion(out, replacement, m);
        pos = end;
        ++count;
        if (!all) break;
        // An empty match must still move forward, or the loop never ends.
        search = end > begin ? end : end + 1;
        if (end == begin && begin < subject.size()) {
            out.push_back(subject[begin]);
            pos = begin + 1;
        }
    }
    if (count == 0) return 0;
    if (pos < subject.size()) out.append(subject, pos, std::string::npos);
    subject.swap(out);
    return count;
}

std::string RegexCheck(std::string_view pattern, int options) {
    return TheCache().Get(pattern, options)->error;
}

size_t RegexCacheSize() {
    return TheCache().Size();
}
void RegexCacheClear() {
    TheCache().Clear();
}

}  // namespace common
