#pragma once
// CSpf: the Sender Policy Framework evaluator of RFC 7208. Given the client's address, the
// MAIL FROM address and the HELO name it runs check_host() on the sender's domain (the HELO
// name when MAIL FROM is empty) and answers one of the RFC's seven results. Answers are cached
// in a table keyed by the MD5 of the three inputs.
//
// The RFC's limits hold whatever the configuration says: ten DNS-querying terms (include, a,
// mx, ptr, exists, redirect) in the whole evaluation, two void lookups, ten MX or PTR names per
// term. A record with a syntax error anywhere is PermError before any term is evaluated, so a
// broken record cannot pass a client by its first terms.
//
// Both families: an IPv4 client matches ip4 terms and A records, an IPv6 client ip6 terms and
// AAAA records (an IPv4 address mapped into IPv6 is the IPv4 client).
//
// Any thread may query: each evaluation has its own context, the cache table its own lock,
// and the DNS engine is shared. Nothing is logged.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "checks/DnsMessage.h"
#include "checks/ListTable.h"
#include "common/IpAddress.h"

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
// the fuzz target. True with the answers of a reply that says "found" or "no such name" (no
// answers: a void lookup); false when no usable reply came (time-out, server failure), which
// the evaluator reports as TempError.
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
    // Opens and loads the cache at `table_path` (empty: memory only). `lookup` is not owned and
    // outlives the engine.
    CSpf(const std::string& table_path, SpfLookup* lookup, store::CDB_RAM::TimeSource now = nullptr);

    // The result code for the triple; Neutral when any argument is null. TempError is not
    // cached: the next message asks again.
    int Query(const char* ip, const char* mail_from, const char* helo);
    // The evaluation alone, without the cache.
    int Evaluate(std::string_view ip, std::string_view mail_from, std::string_view helo);

    void SetAge(uint32_t unit, uint32_t amount) { table_.SetAge(unit, amount); }

    // The cache key of a triple: 32 lower-case hex digits. Keys of the evaluator this one
    // replaced are never asked for again and age out of the table.
    static std::string CacheKey(std::string_view ip, std::string_view mail_from, std::string_view helo);

private:
    SpfLookup* lookup_;
};

// The pieces of an evaluation, for tests and the fuzz target.
namespace spf {

inline constexpr int kMaxDnsTerms = 10;
inline constexpr int kMaxVoidLookups = 2;
inline constexpr int kMaxNamesPerTerm = 10;

enum class Kind : uint8_t { All, Include, A, Mx, Ptr, Ip4, Ip6, Exists, Redirect, Exp, Unknown };

struct Term {
    Kind kind = Kind::Unknown;
    int qualifier = kSpfPass;
    std::string pattern;  // the domain pattern (macros unexpanded), or the modifier's value
    int cidr4 = 32;
    int cidr6 = 128;
    common::IpAddress net;  // ip4, ip6
};

struct Record {
    std::vector<Term> terms;  // mechanisms in order, then nothing else
    std::optional<std::string> redirect, exp;
};

// The record's terms after "v=spf1"; false with the reason on any syntax error.
bool ParseRecord(std::string_view text, Record* out, std::string* error);
// `text` is a macro-string (record mode: no c, r or t letters).
bool ValidMacroString(std::string_view text, bool explanation);

enum class ExpandMode { Record, Explanation };

// One evaluation's state. Build with Begin, then CheckHost.
struct Context {
    SpfLookup* lookup = nullptr;
    int dns_terms = 0;
    int void_lookups = 0;
    int queries = 0;  // every DNS question asked, for tests and benchmarks
    std::string ip;   // canonical text
    common::IpAddress client;
    std::string helo;
    std::string sender;
    std::string local_part;
    std::string sender_domain;
    std::string explanation;  // of a Fail, when the failing record has exp=
    std::string error;        // why a PermError or TempError, for logs and tests
    int64_t now = 0;          // the "t" macro
    // The client's names that lead back to it, found once: "ptr" terms and "%{p}" macros share
    // them, so a record full of "%{p}" costs one PTR lookup.
    std::optional<std::vector<std::string>> validated_names;

    bool Ask(std::string_view name, uint16_t qtype, std::vector<DnsAnswer>* answers);
};

// Fills the context from the three inputs; false when the client address is not an address.
bool Begin(Context& ctx, std::string_view ip, std::string_view mail_from, std::string_view helo);
// Expands a macro-string with <d> = `domain`; nullopt on a syntax error.
std::optional<std::string> Expand(Context& ctx, std::string_view text, std::string_view domain, ExpandMode mode);
// The RFC's check_host() for `domain`; with `explain`, a Fail fills ctx.explanation.
int CheckHost(Context& ctx, std::string_view domain, bool explain = true);
// check_host() of the sender domain of a begun context (None when it is not a usable name).
int Check(Context& ctx);

}  // namespace spf
}  // namespace checks
