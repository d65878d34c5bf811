#include "checks/BayesFilter.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "common/Coding.h"
#include "common/Md5.h"
#include "mail/ParseMail.h"
#include "platform/KFile.h"
#include "store/DbkFormat.h"
#include "store/SaveFailures.h"

namespace checks {

namespace {

constexpr std::string_view kTotalsKey = "!totals";
constexpr uint32_t kFormat = 1;
constexpr size_t kMinSlots = 1024;

int64_t SystemNow() {
    return static_cast<int64_t>(std::time(nullptr));
}

using common::GetLe32;
using common::GetLe64;

}  // namespace

void CBayesFilter::SlotArray::Reset(size_t n) {
    Free();
    const size_t bytes = n * sizeof(Slot);
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    if (bytes >= (2u << 20)) (void)::madvise(p, bytes, MADV_HUGEPAGE);  // advice only: may be refused
    p_ = static_cast<Slot*>(p);
    n_ = n;
}

void CBayesFilter::SlotArray::Free() {
    if (p_) ::munmap(p_, n_ * sizeof(Slot));
    p_ = nullptr;
    n_ = 0;
}

CBayesFilter::CBayesFilter(std::string path, TimeSource now) : path_(std::move(path)), now_(now ? now : SystemNow) {
    common::WriterLock lock(mu_);
    slots_.Reset(kMinSlots);
}

uint32_t CBayesFilter::Today() const {
    return static_cast<uint32_t>(std::max<int64_t>(now_(), 0) / 86400);
}

CBayesFilter::Digest CBayesFilter::DigestOf(std::string_view message) {
    if (message.size() > mail::kAnalysedBytes) message = message.substr(0, mail::kAnalysedBytes);
    const std::string hex = common::Md5Hex(message);
    Digest d;
    d.a = std::stoull(hex.substr(0, 16), nullptr, 16);
    d.b = std::stoull(hex.substr(16, 16), nullptr, 16);
    return d;
}

const CBayesFilter::Slot* CBayesFilter::Find(uint64_t key) const {
    const size_t mask = slots_.size() - 1;
    for (size_t i = key & mask;; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (s.key == key) return &s;
        if (s.key == 0) return nullptr;
    }
}

void CBayesFilter::Grow() {
    SlotArray old;
    old.Reset(slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
        if (s.key == 0) continue;
        size_t i = s.key & mask;
        while (slots_[i].key != 0) i = (i + 1) & mask;
        slots_[i] = s;
    }
}

CBayesFilter::Slot& CBayesFilter::FindOrAdd(uint64_t key) {
    // At most half full: probes stay short, and there is always a free slot to end a search.
    if ((used_ + 1) * 2 > slots_.size()) Grow();
    const size_t mask = slots_.size() - 1;
    size_t i = key & mask;
    while (slots_[i].key != 0 && slots_[i].key != key) i = (i + 1) & mask;
    if (slots_[i].key == 0) {
        slots_[i].key = key;
        ++used_;
    }
    return slots_[i];
}

void CBayesFilter::Count(const std::vector<uint64_t>& hashes, int kind, int delta) {
    const uint32_t today = Today();
    for (uint64_t h : hashes) {
        if (delta > 0) {
            Slot& s = FindOrAdd(h);
            ++(kind == kFilterSpam ? s.spam : s.ham);
            s.day = today;
        } else if (const Slot* found = Find(h)) {
            Slot& s = const_cast<Slot&>(*found);
            uint32_t& n = kind == kFilterSpam ? s.spam : s.ham;
            if (n > 0) --n;
        }
    }
    uint64_t& total = kind == kFilterSpam ? spam_messages_ : ham_messages_;
    if (delta > 0)
        ++total;
    else if (total > 0)
        --total;
}

namespace {

std::string Hex(uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

uint32_t CountOf(const RedisReply& r) {
    uint64_t v = 0;
    if (r.type == RedisReply::Type::kString) std::from_chars(r.str.data(), r.str.data() + r.str.size(), v);
    return static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX));
}

}  // namespace

bool CBayesFilter::SharedCounts(const std::vector<uint64_t>& hashes, std::vector<uint32_t>* spam,
                                std::vector<uint32_t>* ham, uint64_t* spam_total, uint64_t* ham_total) const {
    if (shared_ == nullptr || !shared_->Up() || hashes.empty()) return false;
    std::vector<std::string> s{"HMGET", shared_->Key("bayes", "spam")}, h{"HMGET", shared_->Key("bayes", "ham")};
    for (uint64_t x : hashes) {
        s.push_back(Hex(x));
        h.push_back(Hex(x));
    }
    const auto replies = shared_->Run({s, h, {"HMGET", shared_->Key("bayes", "totals"), "spam", "ham"}});
    if (!replies || (*replies)[0].elements.size() != hashes.size() || (*replies)[1].elements.size() != hashes.size() ||
        (*replies)[2].elements.size() != 2)
        return false;
    spam->resize(hashes.size());
    ham->resize(hashes.size());
    for (size_t i = 0; i < hashes.size(); ++i) {
        (*spam)[i] = CountOf((*replies)[0].elements[i]);
        (*ham)[i] = CountOf((*replies)[1].elements[i]);
    }
    *spam_total = CountOf((*replies)[2].elements[0]);
    *ham_total = CountOf((*replies)[2].elements[1]);
    return true;
}

std::optional<CBayesFilter::Learned> CBayesFilter::LearnShared(const std::vector<uint64_t>& hashes, const Digest& d,
                                                               int kind) {
    if (shared_ == nullptr || !shared_->Up()) return std::nullopt;
    const std::string learned = shared_->Key("bayes", "learned");
    const std::string digest = Hex(d.a) + Hex(d.b);
    // The digest is claimed first, so two kernels learning one message count it once.
    const auto claim = shared_->Run({{"HSETNX", learned, digest, std::to_string(kind)}, {"HGET", learned, digest}});
    if (!claim) return std::nullopt;
    Learned outcome = Learned::kLearned;
    std::vector<std::vector<std::string>> counts;
    auto count = [&](int k, int delta) {
        const std::string field = k == kFilterSpam ? "spam" : "ham";
        for (uint64_t x : hashes)
            counts.push_back({"HINCRBY", shared_->Key("bayes", field), Hex(x), std::to_string(delta)});
        counts.push_back({"HINCRBY", shared_->Key("bayes", "totals"), field, std::to_string(delta)});
    };
    if ((*claim)[0].integer == 0) {  // learned before, by some kernel
        const int was = static_cast<int>(CountOf((*claim)[1]));
        if (was == kind) return Learned::kAlready;
        count(was, -1);
        counts.push_back({"HSET", learned, digest, std::to_string(kind)});
        outcome = Learned::kMoved;
    }
    count(kind, +1);
    if (!shared_->Run(counts)) return std::nullopt;
    return outcome;
}

CBayesFilter::Learned CBayesFilter::Learn(std::string_view message, int kind) {
    if (kind != kFilterSpam && kind != kFilterHam) return Learned::kEmpty;
    CTokenSet tokens;
    TokenizeMessage(message, tokens);
    if (tokens.size() == 0) return Learned::kEmpty;
    const Digest d = DigestOf(message);
    // A message the local table holds already is that table's to move; anything else goes to
    // the shared store while it answers (outside the table's lock: it waits on the network).
    bool local = false;
    {
        common::ReaderLock lock(mu_);
        local = learned_.find(d) != learned_.end();
    }
    if (!local)
        if (const std::optional<Learned> shared = LearnShared(tokens.Hashes(), d, kind)) return *shared;
    common::WriterLock lock(mu_);
    auto it = learned_.find(d);
    Learned outcome = Learned::kLearned;
    if (it != learned_.end()) {
        if (it->second == kind) return Learned::kAlready;
        Count(tokens.Hashes(), it->second, -1);
        outcome = Learned::kMoved;
    }
    Count(tokens.Hashes(), kind, +1);
    learned_[d] = static_cast<uint8_t>(kind);
    changed_ = true;
    return outcome;
}

CBayesFilter::Learned CBayesFilter::Unlearn(std::string_view message) {
    CTokenSet tokens;
    TokenizeMessage(message, tokens);
    const Digest d = DigestOf(message);
    common::WriterLock lock(mu_);
    auto it = learned_.find(d);
    if (it == learned_.end()) return Learned::kNotLearned;
    Count(tokens.Hashes(), it->second, -1);
    learned_.erase(it);
    changed_ = true;
    return Learned::kUnlearned;
}

int CBayesFilter::LearnedAs(std::string_view message) const {
    const Digest d = DigestOf(message);
    common::ReaderLock lock(mu_);
    auto it = learned_.find(d);
    return it == learned_.end() ? 0 : it->second;
}

size_t CBayesFilter::Expire() {
    common::WriterLock lock(mu_);
    const uint32_t today = Today();
    const uint32_t days = static_cast<uint32_t>(std::max(settings_.expire_days, 1));
    std::vector<Slot> keep;
    keep.reserve(used_);
    for (const Slot& s : slots_) {
        if (s.key == 0) continue;
        const uint64_t seen = static_cast<uint64_t>(s.spam) + s.ham;
        if (seen == 0 || (seen == 1 && today > s.day && today - s.day > days)) continue;
        keep.push_back(s);
    }
    const size_t gone = used_ - keep.size();
    if (gone == 0) return 0;
    size_t size = kMinSlots;
    while (size < keep.size() * 2 + 2) size *= 2;
    slots_.Reset(size);
    used_ = 0;
    for (const Slot& s : keep) FindOrAdd(s.key) = s;
    changed_ = true;
    return gone;
}

void CBayesFilter::SetSettings(const BayesFilterSettings& s) {
    common::WriterLock lock(mu_);
    settings_ = s;
}

BayesFilterSettings CBayesFilter::Settings() const {
    common::ReaderLock lock(mu_);
    return settings_;
}

CBayesFilter::Stats CBayesFilter::GetStats() const {
    common::ReaderLock lock(mu_);
    return {spam_messages_, ham_messages_, used_};
}

CBayesFilter::Weigher CBayesFilter::MakeWeigher() const {
    Weigher w;
    w.inv_spam = 1.0 / static_cast<double>(std::max<uint64_t>(spam_messages_, 1));
    w.inv_ham = 1.0 / static_cast<double>(std::max<uint64_t>(ham_messages_, 1));
    w.strength = settings_.strength;
    w.prior = settings_.prior;
    return w;
}

double CBayesFilter::Weigher::operator()(uint32_t spam, uint32_t ham) const {
    // p = b / (b + g) with b, g the shares of spam and ham that hold the token, smoothed:
    // f = (s x + n p) / (s + n), written over one division.
    const double b = std::min(spam * inv_spam, 1.0);
    const double g = std::min(ham * inv_ham, 1.0);
    const double n = static_cast<double>(spam) + ham;
    if (b + g <= 0) return prior;
    return (strength * prior * (b + g) + n * b) / ((strength + n) * (b + g));
}

double CBayesFilter::ChiSquareQ(double chi, int degrees) {
    // Q(chi | 2m) = e^(-chi/2) * sum_{i<m} (chi/2)^i / i!.
    if (chi <= 0) return 1.0;
    const double half = chi / 2;
    const int m = std::max(degrees / 2, 1);
    if (half < 700) {  // e^-half is a normal double: the series in plain arithmetic
        double term = std::exp(-half), sum = term;
        for (int i = 1; i < m; ++i) {
            term *= half / i;
            sum += term;
        }
        return std::min(1.0, sum);
    }
    // Far in the tail the first terms underflow although the sum does not: sum in logs.
    double log_term = -half, top = -half;
    const double log_half = std::log(half);
    std::vector<double> logs;
    logs.reserve(static_cast<size_t>(m));
    for (int i = 0; i < m; ++i) {
        if (i > 0) log_term += log_half - std::log(static_cast<double>(i));
        logs.push_back(log_term);
        top = std::max(top, log_term);
    }
    double sum = 0;
    for (double l : logs) sum += std::exp(l - top);
    return std::min(1.0, std::exp(top + std::log(sum)));
}

double CBayesFilter::Combine(const std::vector<double>& probabilities) {
    if (probabilities.empty()) return 0.5;
    // The logs of two products, kept as mantissa and exponent so that 150 small factors
    // cost two multiplications each instead of two logarithms.
    double prod_f = 1, prod_1f = 1;
    int exp_f = 0, exp_1f = 0;
    for (double f : probabilities) {
        f = std::clamp(f, 1e-9, 1 - 1e-9);
        prod_f *= f;
        prod_1f *= 1 - f;
        if (prod_f < 1e-200) {
            int e = 0;
            prod_f = std::frexp(prod_f, &e);
            exp_f += e;
        }
        if (prod_1f < 1e-200) {
            int e = 0;
            prod_1f = std::frexp(prod_1f, &e);
            exp_1f += e;
        }
    }
    const double ln2 = std::log(2.0);
    const double ln_f = std::log(prod_f) + exp_f * ln2;
    const double ln_1f = std::log(prod_1f) + exp_1f * ln2;
    const int dof = static_cast<int>(2 * probabilities.size());
    const double h = ChiSquareQ(-2 * ln_f, dof);   // near 1 when the tokens are spammy
    const double s = ChiSquareQ(-2 * ln_1f, dof);  // near 1 when they are hammy
    return std::clamp((1 + h - s) / 2, 0.0, 1.0);
}

FilterResult CBayesFilter::Classify(const CTokenSet& tokens) const {
    FilterResult r;
    r.tokens = tokens.size();
    struct Pick {
        double dev, p;
        size_t index;
    };
    thread_local std::vector<Pick> picks;  // kept by each thread: no allocation per message
    picks.clear();
    const std::vector<uint64_t>& hashes = tokens.Hashes();
    // What the kernels learned together, fetched before the table's lock is taken.
    thread_local std::vector<uint32_t> shared_spam, shared_ham;
    uint64_t shared_spam_total = 0, shared_ham_total = 0;
    const bool shared = SharedCounts(hashes, &shared_spam, &shared_ham, &shared_spam_total, &shared_ham_total);
    common::ReaderLock lock(mu_);
    const BayesFilterSettings& cfg = settings_;
    const uint64_t spam_messages = spam_messages_ + shared_spam_total, ham_messages = ham_messages_ + shared_ham_total;
    Weigher weigh = MakeWeigher();
    weigh.inv_spam = 1.0 / static_cast<double>(std::max<uint64_t>(spam_messages, 1));
    weigh.inv_ham = 1.0 / static_cast<double>(std::max<uint64_t>(ham_messages, 1));
    // The table is far bigger than the caches: ask for the slots a few tokens ahead, so that
    // the memory fetches overlap instead of following one another.
    constexpr size_t kAhead = 24;
    const size_t mask = slots_.size() - 1;
    for (size_t i = 0; i < hashes.size() && i < kAhead; ++i) __builtin_prefetch(&slots_[hashes[i] & mask]);
    for (size_t i = 0; i < hashes.size(); ++i) {
        if (i + kAhead < hashes.size()) __builtin_prefetch(&slots_[hashes[i + kAhead] & mask]);
        const Slot* s = Find(hashes[i]);
        uint32_t spam = s ? s->spam : 0, ham = s ? s->ham : 0;
        if (shared) {
            spam += shared_spam[i];
            ham += shared_ham[i];
        }
        if (spam + ham == 0) continue;
        ++r.known;
        const double p = weigh(spam, ham);
        const double dev = std::fabs(p - 0.5);
        if (dev >= cfg.min_dev) picks.push_back({dev, p, i});
    }
    const size_t keep = std::min(picks.size(), static_cast<size_t>(std::max(cfg.max_tokens, 1)));
    // Ties broken by position, so that a message always scores the same.
    auto stronger = [](const Pick& a, const Pick& b) { return a.dev != b.dev ? a.dev > b.dev : a.index < b.index; };
    if (keep < picks.size())
        std::nth_element(picks.begin(), picks.begin() + static_cast<std::ptrdiff_t>(keep), picks.end(), stronger);
    picks.resize(keep);
    // In message order, so that the combining sums the same numbers in the same order.
    std::sort(picks.begin(), picks.end(), [](const Pick& a, const Pick& b) { return a.index < b.index; });
    thread_local std::vector<double> ps;
    ps.clear();
    for (const Pick& p : picks) ps.push_back(p.p);
    r.used = keep;
    r.probability = spam_messages > 0 && ham_messages > 0 ? Combine(ps) : 0.5;
    if (spam_messages < static_cast<uint64_t>(std::max(cfg.min_learned, 1)) ||
        ham_messages < static_cast<uint64_t>(std::max(cfg.min_learned, 1)))
        r.verdict = kFilterUntrained;
    else if (r.probability >= cfg.spam_cutoff)
        r.verdict = kFilterSpam;
    else if (r.probability <= cfg.ham_cutoff)
        r.verdict = kFilterHam;
    else
        r.verdict = kFilterUnsure;
    if (tokens.KeepsText()) {
        std::sort(picks.begin(), picks.end(), stronger);
        for (const Pick& p : picks) r.strongest.emplace_back(tokens.Texts()[p.index], p.p);
    }
    return r;
}

FilterResult CBayesFilter::ClassifyMessage(std::string_view message, bool explain) const {
    if (explain) {
        CTokenSet tokens(true);
        TokenizeMessage(message, tokens);
        return Classify(tokens);
    }
    // Each session thread keeps its token set: no allocation per message.
    thread_local CTokenSet tokens;
    TokenizeMessage(message, tokens);
    return Classify(tokens);
}

float CBayesFilter::ScriptScore(mail::CS_ParseMail* mail) {
    return mail ? static_cast<float>(ClassifyMessage(mail->Raw()).probability) : -1.0f;
}

int32_t CBayesFilter::ScriptVerdict(mail::CS_ParseMail* mail) {
    return mail ? ClassifyMessage(mail->Raw()).verdict : kFilterUntrained;
}

int32_t CBayesFilter::ScriptLearn(mail::CS_ParseMail* mail, int32_t kind) {
    if (!mail || (kind != kFilterSpam && kind != kFilterHam)) return -1;
    const Learned l = Learn(mail->Raw(), kind);
    return l == Learned::kLearned || l == Learned::kMoved ? 1 : 0;
}

int32_t CBayesFilter::ScriptUnlearn(mail::CS_ParseMail* mail) {
    if (!mail) return -1;
    return Unlearn(mail->Raw()) == Learned::kUnlearned ? 1 : 0;
}

int32_t CBayesFilter::GetLearned(const char* kind) {
    const Stats s = GetStats();
    const std::string_view k = kind ? kind : "";
    const uint64_t n = k == "spam" ? s.spam_messages : k == "ham" ? s.ham_messages : 0;
    return static_cast<int32_t>(std::min<uint64_t>(n, INT32_MAX));
}

int32_t CBayesFilter::GetTokens() {
    return static_cast<int32_t>(std::min<uint64_t>(GetStats().tokens, INT32_MAX));
}

const char* CBayesFilter::VerdictName(int verdict) {
    switch (verdict) {
        case kFilterSpam: return "SPAM";
        case kFilterHam: return "HAM";
        case kFilterUnsure: return "UNSURE";
        case kFilterUntrained: return "UNTRAINED";
        default: return "";
    }
}

CBayesFilter::FileStamp CBayesFilter::StampOfFile() const {
    struct stat st {};
    if (path_.empty() || ::stat(path_.c_str(), &st) != 0) return {};
    return {static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
            static_cast<uint64_t>(st.st_ino)};
}

bool CBayesFilter::ReloadIfReplaced(std::string* error) {
    {
        common::MutexLock save(save_mu_);
        const FileStamp now = StampOfFile();
        if (now == FileStamp{} || now == stamp_) return false;
    }
    return Load(error);
}

bool CBayesFilter::Load(std::string* error) {
    if (path_.empty()) return true;  // a scratch filter has no file
    common::MutexLock save(save_mu_);
    stamp_ = StampOfFile();
    std::string bytes;
    errno = 0;
    if (!platform::ReadWholeFile(path_, bytes)) {
        if (errno == ENOENT) return true;  // nothing learned yet
        if (error) *error = "cannot read: " + std::string(std::strerror(errno ? errno : EIO));
        return false;
    }
    std::string_view in = bytes;
    if (in.empty()) return true;
    if (in.size() < store::dbk::kHeaderSize || store::dbk::MagicVersion(in.substr(0, store::dbk::kMagicSize)) == 0) {
        if (error) *error = "not a DBK table";
        return false;
    }
    in.remove_prefix(store::dbk::kMagicSize);
    const int32_t promised = store::dbk::ConsumeI32(in).value_or(0);
    std::vector<Slot> tokens;
    std::unordered_map<Digest, uint8_t, DigestHash> learned;
    uint64_t spam = 0, ham = 0;
    int64_t read = 0, odd = 0;
    while (!in.empty()) {
        const auto rec = store::dbk::ConsumeRecord(in);
        if (!rec) break;
        ++read;
        if (rec->key.size() == 8 && rec->data.size() >= 12) {
            Slot s;
            s.key = GetLe64(rec->key, 0);
            s.spam = GetLe32(rec->data, 0);
            s.ham = GetLe32(rec->data, 4);
            s.day = GetLe32(rec->data, 8);
            if (s.key != 0) tokens.push_back(s);
        } else if (rec->key.size() == 16 && rec->data.size() == 1 && (rec->data[0] == 1 || rec->data[0] == 2)) {
            learned[Digest{GetLe64(rec->key, 0), GetLe64(rec->key, 8)}] = static_cast<uint8_t>(rec->data[0]);
        } else if (rec->key == kTotalsKey && rec->data.size() >= 8) {
            spam = GetLe32(rec->data, 0);
            ham = GetLe32(rec->data, 4);
        } else {
            ++odd;
        }
    }
    common::WriterLock lock(mu_);
    size_t size = kMinSlots;
    while (size < tokens.size() * 2 + 2) size *= 2;
    slots_.Reset(size);
    used_ = 0;
    for (const Slot& s : tokens) FindOrAdd(s.key) = s;
    learned_.swap(learned);
    spam_messages_ = spam;
    ham_messages_ = ham;
    changed_ = false;
    const int64_t lost = std::max<int64_t>(promised - read, in.empty() ? 0 : 1);
    if (error && (lost > 0 || odd > 0))
        *error = std::to_string(lost) + " records could not be read, " + std::to_string(odd) + " were not understood";
    return true;
}

bool CBayesFilter::Save() {
    if (path_.empty()) return false;
    common::MutexLock save(save_mu_);
    platform::AtomicFileWriter out;
    const auto fail = [&] {
        store::ReportSaveFailure(path_, errno);
        return false;
    };
    if (!out.Begin(path_)) return fail();
    {
        common::ReaderLock lock(mu_);
        std::string head(store::dbk::kMagicV2);
        store::dbk::AppendI32(head, static_cast<int32_t>(1 + used_ + learned_.size()));
        out.Append(head);
        const int32_t stamp = static_cast<int32_t>(now_());
        std::string rec;
        const auto put = [&](int32_t ts, std::string_view key, std::string_view data) {
            rec.clear();
            store::dbk::AppendI32(rec, ts);
            store::dbk::AppendI32(rec, static_cast<int32_t>(key.size()));
            store::dbk::AppendI32(rec, static_cast<int32_t>(data.size()));
            rec.append(key).append(data);
            out.Append(rec);
        };
        std::string key, data;
        common::PutLe32(data, static_cast<uint32_t>(spam_messages_));
        common::PutLe32(data, static_cast<uint32_t>(ham_messages_));
        common::PutLe32(data, kFormat);
        put(stamp, kTotalsKey, data);
        for (const Slot& s : slots_) {
            if (s.key == 0) continue;
            key.clear();
            data.clear();
            common::PutLe64(key, s.key);
            common::PutLe32(data, s.spam);
            common::PutLe32(data, s.ham);
            common::PutLe32(data, s.day);
            put(static_cast<int32_t>(static_cast<int64_t>(s.day) * 86400), key, data);
        }
        for (const auto& [d, kind] : learned_) {
            key.clear();
            common::PutLe64(key, d.a);
            common::PutLe64(key, d.b);
            const char k = static_cast<char>(kind);
            put(stamp, key, std::string_view(&k, 1));
        }
        if (!out.Flush()) return fail();
        changed_ = false;
    }
    if (!out.Commit()) {
        changed_ = true;
        return fail();
    }
    stamp_ = StampOfFile();
    return true;
}

}  // namespace checks
