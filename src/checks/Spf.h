#pragma once
// CSpf: the Sender Policy Framework evaluator. Given the client's IPv4 address, the MAIL FROM
// address and the HELO name it fetches the sender domain's "v=spf1" record through the DNS
// engine, expands its macros and walks its terms, splicing included records into the text
// being walked, and answers one of seven codes. Answers are cached in a table keyed by the MD5
// of the three inputs.
//
// This evaluator is the system's own, not RFC 7208's: an all-term does not end the walk (the
// last one seen decides when nothing matches), included and redirected records are spliced
// into the walked text, the lookup limit is configured (`spf_max_recursion`), a bare "all" is
// not an all-term. A domain that publishes more than one "v=spf1" record gets PermError, so
// that a second record can never turn a Fail into a Pass.
//
// Any thread may query: each evaluation has its own context, the cache table its own lock,
// and the DNS engine is shared. Nothing is logged; DNS failures make lookups find nothing.
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "checks/DnsMessage.h"
#include "checks/ListTable.h"

namespace checks {

class CDns;

enum SpfResult : int32_t {
    kSpfPass = 0,
    kSpfSoftFail = 1,
    kSpfFail = 2,
    kSpfNeutral = 3,
    kSpfNone = 4,
    kSpfTempError = 5,
    kSpfPermError = 6,
};

// "Pass" ... "PermError"; "" for any other code.
const char* SpfResultString(int code);

// Where the evaluator's lookups go: the DNS engine in the kernel, canned answers in tests and
// the fuzz target. True with the answers.
class SpfLookup {
public:
    virtual ~SpfLookup() = default;
    virtual bool Query(std::string_view name, uint16_t qtype, std::vector<DnsAnswer>* answers) = 0;
};

// Answers through the DNS engine (its cache, its servers, its time-out).
class SpfDnsLookup : public SpfLookup {
public:
    explicit SpfDnsLookup(CDns* dns) : dns_(dns) {}
    bool Query(std::string_view name, uint16_t qtype, std::vector<DnsAnswer>* answers) override;

private:
    CDns* dns_;
};

class CSpf : public CListTable {
public:
    static constexpr int32_t kInitialLookupLimit = 20;
    // A configured limit above this is taken as this: every lookup may splice a record into
    // the walked text, and the limit is what keeps that text bounded.
    static constexpr int32_t kMaxLookupLimit = 1000;

    // Opens and loads the cache at `table_path` (empty: memory only). `lookup` is not owned and
    // outlives the engine.
    CSpf(const std::string& table_path, SpfLookup* lookup, store::CDB_RAM::TimeSource now = nullptr);

    // The result code for the triple; 3 when any argument is null.
    int Query(const char* ip, const char* mail_from, const char* helo);
    // The evaluation alone, without the cache.
    int Evaluate(std::string_view ip, std::string_view mail_from, std::string_view helo);

    void SetLookupLimit(int32_t limit);
    int32_t LookupLimit() const { return limit_.load(); }
    void SetAge(uint32_t unit, uint32_t amount) { table_.SetAge(unit, amount); }

    // The cache key of a triple: 32 lower-case hex digits.
    static std::string CacheKey(std::string_view ip, std::string_view mail_from, std::string_view helo);

private:
    SpfLookup* lookup_;
    std::atomic<int32_t> limit_{kInitialLookupLimit};
};

// The pieces of an evaluation, for tests and the fuzz target.
namespace spf {

// Strict dotted quad: four decimal parts, each at most 255, nothing else.
bool ParseAddress(std::string_view text, uint8_t out[4]);
// The first `bits` (0..32) bits of `a` and `b` are equal.
bool PrefixMatch(const uint8_t a[4], const uint8_t b[4], int bits);

enum class ExpandMode { Record, Explanation };

// One evaluation's state. Build with Begin; then Expand and Walk.
struct Context {
    SpfLookup* lookup = nullptr;
    int32_t limit = CSpf::kInitialLookupLimit;
    int32_t lookups = 0;
    std::string ip;
    uint8_t ip_bytes[4] = {0, 0, 0, 0};
    std::string helo;
    std::string sender;
    std::string local_part;
    std::string sender_domain;
    std::string domain;  // the current domain
    std::vector<std::string> included;
    std::string explanation;
    int64_t now = 0;                // the "t" macro
    bool multiple_records = false;  // the last FetchRecord found more than one record

    // One DNS question counted against the limit; none is asked once the limit is reached.
    bool Ask(std::string_view name, uint16_t qtype, std::vector<DnsAnswer>* answers);
    std::string FetchRecord(std::string_view domain_name);
    std::string LookupA(std::string_view name);
    std::string LookupMX(std::string_view name);
    std::string LookupPTR(std::string_view text);
};

// Fills the context from the three inputs; false when the client address is not a dotted quad.
bool Begin(Context& ctx, std::string_view ip, std::string_view mail_from, std::string_view helo);
std::string Expand(Context& ctx, std::string_view text, std::string_view domain, ExpandMode mode);
// The current domain's record, expanded; false when the domain publishes more than one.
bool ExpandedRecord(Context& ctx, std::string* record);
// The whole evaluation of a begun context: its domain's record, walked.
int Check(Context& ctx);
int Walk(Context& ctx, std::string record);

}  // namespace spf
}  // namespace checks
