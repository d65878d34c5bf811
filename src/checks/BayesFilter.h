#pragma once
// CBayesFilter: the statistical filter operators train. For each token it counts the spam and
// the ham messages it appeared in, beside the number of messages learned per class. A token's
// spam probability is smoothed toward a prior (Robinson), the tokens furthest from 0.5 are
// combined with Fisher's chi-square method into one score in [0,1], and the score against two
// cut-offs gives SPAM, HAM or UNSURE. With fewer than `min_learned` messages of either class
// it gives no verdict (UNTRAINED), whatever the score.
//
// Learning every message once is how it is meant to be trained. Each learned message's digest
// is kept with its class, so learning it again changes nothing, learning it as the other class
// moves its counts, and unlearning takes them back.
//
// The table is a DBK file (db/bayestokens.db): one record per token (its 8-byte hash; spam
// count, ham count and the day last learned), one per learned message (its 16-byte digest;
// the class) and "!totals". In memory it is an open-addressing hash table, so that a lookup
// costs one probe in most cases even at a million tokens.
//
// Any number of threads may classify while one learns: classification holds the table's lock
// shared, learning holds it alone for the counting only (the message is cut before).
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "checks/MessageTokens.h"
#include "checks/Redis.h"
#include "common/ThreadSafety.h"
#include "mail/ScriptParseMail.h"

namespace checks {

struct BayesFilterSettings {
    // Measured on a split of public mail: a strength of 4 keeps tokens seen in one or two
    // messages from outvoting the common ones, and leaving out tokens within 0.2 of 0.5 keeps
    // the combining from being drowned by weak evidence.
    double strength = 4.0;  // Robinson's s: how many messages' worth of belief the prior has
    double prior = 0.5;     // Robinson's x: a token's probability before it is seen
    double min_dev = 0.2;   // tokens closer than this to 0.5 are left out
    int max_tokens = 150;
    double spam_cutoff = 0.9;
    double ham_cutoff = 0.2;
    int min_learned = 50;  // per class, before any verdict
    int expire_days = 90;  // tokens seen in one message only and not since
};

enum FilterVerdict : int32_t {
    kFilterSpam = 1,
    kFilterHam = 2,
    kFilterUnsure = 3,
    kFilterUntrained = 4,
};

struct FilterResult {
    double probability = 0.5;
    int verdict = kFilterUntrained;
    size_t tokens = 0;  // of the message
    size_t known = 0;   // of them, in the table
    size_t used = 0;    // of them, combined
    // The combined tokens' text and probability, strongest first, when the token set kept text.
    std::vector<std::pair<std::string, double>> strongest;
};

class CBayesFilter {
public:
    using TimeSource = int64_t (*)();
    static constexpr const char* kTable = "db/bayestokens.db";

    enum class Learned { kLearned, kAlready, kMoved, kUnlearned, kNotLearned, kEmpty };

    struct Stats {
        uint64_t spam_messages = 0, ham_messages = 0, tokens = 0;
    };

    // `path`: the table file; nothing is read until Load. Without a path the filter is a
    // scratch one: it learns and classifies in memory, and Save refuses.
    explicit CBayesFilter(std::string path, TimeSource now = nullptr);
    CBayesFilter() : CBayesFilter(std::string()) {}
    CBayesFilter(const CBayesFilter&) = delete;
    CBayesFilter& operator=(const CBayesFilter&) = delete;

    // Replaces what is held with the file's. A missing file is an empty table (true). False,
    // with the reason, when the file cannot be read or is not a DBK table; what is held stays.
    // A damaged file loads what is readable and says how much was lost in `error`.
    bool Load(std::string* error = nullptr);
    // Writes the whole table atomically; false (reported as a save failure) when it could not.
    [[nodiscard]] bool Save();
    bool Changed() const { return changed_.load(); }
    // Loads the file again when another program (morvane-learn) replaced it since this object
    // last loaded or saved it. True when it did; `error` as for Load.
    bool ReloadIfReplaced(std::string* error = nullptr);
    const std::string& Path() const { return path_; }

    // With Redis on, what any kernel learns goes there (token counts, the learned messages'
    // digests, the totals), and every kernel classifies with its own table plus those: learning
    // on one node is seen by all. While Redis is down, learning goes to the local table. Set
    // once, before other threads use the filter.
    void SetShared(CRedis* redis) { shared_ = redis; }
    void SetSettings(const BayesFilterSettings& s);
    BayesFilterSettings Settings() const;

    FilterResult Classify(const CTokenSet& tokens) const;
    // Cuts `message` (as a session holds it) and classifies it.
    FilterResult ClassifyMessage(std::string_view message, bool explain = false) const;

    // kind 1 spam, 2 ham.
    Learned Learn(std::string_view message, int kind);
    Learned Unlearn(std::string_view message);
    // Drops tokens seen in one message only and not learned for expire_days days, and tokens
    // whose counts unlearning brought to nothing. Returns how many went.
    size_t Expire();

    Stats GetStats() const;
    // The class the message was learned as (1 spam, 2 ham), 0 when it was not.
    int LearnedAs(std::string_view message) const;

    // The script class CS_BayesFilter, on a mail a script parsed (its raw text). Score is -1
    // without a mail; Learn and Unlearn answer 1 when the counts changed, 0 when they had
    // nothing to do, -1 without a mail or for a kind other than 1 or 2.
    float ScriptScore(mail::CS_ParseMail* mail);
    int32_t ScriptVerdict(mail::CS_ParseMail* mail);
    int32_t ScriptLearn(mail::CS_ParseMail* mail, int32_t kind);
    int32_t ScriptUnlearn(mail::CS_ParseMail* mail);
    // "spam" or "ham": messages learned; anything else 0.
    int32_t GetLearned(const char* kind);
    int32_t GetTokens();
    int32_t ScriptExpire() { return static_cast<int32_t>(Expire()); }
    int32_t ScriptSave() { return Save() ? 1 : 0; }

    static const char* VerdictName(int verdict);
    // Fisher's combining of token probabilities, exposed for its tests.
    static double Combine(const std::vector<double>& probabilities);
    // The chi-square survival function for an even number of degrees of freedom.
    static double ChiSquareQ(double chi, int degrees);

private:
    struct Slot {
        uint64_t key = 0;  // 0: free
        uint32_t spam = 0, ham = 0;
        uint32_t day = 0;
    };
    // Slots in anonymous memory: zero without being written, and on huge pages where the
    // system allows them, so that lookups in a table of a million tokens do not miss the TLB
    // on every token.
    class SlotArray {
    public:
        SlotArray() = default;
        ~SlotArray() { Free(); }
        SlotArray(const SlotArray&) = delete;
        SlotArray& operator=(const SlotArray&) = delete;
        // `n` zeroed slots in place of what was held; throws std::bad_alloc when out of memory.
        void Reset(size_t n);
        void swap(SlotArray& o) noexcept {
            std::swap(p_, o.p_);
            std::swap(n_, o.n_);
        }
        size_t size() const { return n_; }
        Slot& operator[](size_t i) { return p_[i]; }
        const Slot& operator[](size_t i) const { return p_[i]; }
        Slot* begin() { return p_; }
        Slot* end() { return p_ + n_; }
        const Slot* begin() const { return p_; }
        const Slot* end() const { return p_ + n_; }

    private:
        void Free();
        Slot* p_ = nullptr;
        size_t n_ = 0;
    };
    struct Digest {
        uint64_t a = 0, b = 0;
        bool operator==(const Digest& o) const { return a == o.a && b == o.b; }
    };
    struct DigestHash {
        size_t operator()(const Digest& d) const { return static_cast<size_t>(d.a ^ (d.b * 0x9E3779B97F4A7C15ULL)); }
    };

    static Digest DigestOf(std::string_view message);
    uint32_t Today() const;
    const Slot* Find(uint64_t key) const REQUIRES_SHARED(mu_);
    Slot& FindOrAdd(uint64_t key) REQUIRES(mu_);
    void Grow() REQUIRES(mu_);
    void Count(const std::vector<uint64_t>& hashes, int kind, int delta) REQUIRES(mu_);
    // A token's smoothed spam probability from its counts, with what is the same for every
    // token of a message worked out once.
    struct Weigher {
        double inv_spam = 1, inv_ham = 1, strength = 1, prior = 0.5;
        double operator()(uint32_t spam, uint32_t ham) const;
    };
    Weigher MakeWeigher() const REQUIRES_SHARED(mu_);

    const std::string path_;
    const TimeSource now_;
    // The shared counts of `hashes` (spam, ham per token, then the totals), one round trip;
    // false when Redis is off or failed.
    bool SharedCounts(const std::vector<uint64_t>& hashes, std::vector<uint32_t>* spam, std::vector<uint32_t>* ham,
                      uint64_t* spam_total, uint64_t* ham_total) const;
    // Learning on the shared store: nullopt when it is not answering (the local table learns).
    std::optional<Learned> LearnShared(const std::vector<uint64_t>& hashes, const Digest& d, int kind);
    CRedis* shared_ = nullptr;
    mutable common::SharedMutex mu_;
    SlotArray slots_ GUARDED_BY(mu_);
    size_t used_ GUARDED_BY(mu_) = 0;
    uint64_t spam_messages_ GUARDED_BY(mu_) = 0;
    uint64_t ham_messages_ GUARDED_BY(mu_) = 0;
    std::unordered_map<Digest, uint8_t, DigestHash> learned_ GUARDED_BY(mu_);
    BayesFilterSettings settings_ GUARDED_BY(mu_);
    // The file's identity (modification time in ns and inode) as of the last load or save.
    struct FileStamp {
        int64_t mtime_ns = 0;
        uint64_t inode = 0;
        bool operator==(const FileStamp& o) const { return mtime_ns == o.mtime_ns && inode == o.inode; }
    };
    FileStamp StampOfFile() const;

    common::Mutex save_mu_;
    FileStamp stamp_ GUARDED_BY(save_mu_);
    std::atomic<bool> changed_{false};
};

}  // namespace checks
