#pragma once
// DMARC (RFC 7489): the From domain's policy record, looked up at "_dmarc." of the domain and
// then of its organisational domain (the Public Suffix List's public suffix and one label
// more), and the alignment of the SPF and DKIM results with the From domain.
//
// The list is the system's own file (Debian's publicsuffix package), read once; without it
// the organisational domain is the last two labels, which is right for most names and is
// logged once.
//
// Pure functions of their input and the TXT lookup: any thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace checks::dmarc {

inline constexpr const char* kDefaultSuffixList = "/usr/share/publicsuffix/public_suffix_list.dat";

class PublicSuffixList {
public:
    // The rules of a list file's text (comments, blank lines and text after a rule's first
    // white space ignored; names lower-cased).
    void Parse(std::string_view text);
    bool Load(const std::string& path);
    bool Empty() const { return rules_.empty() && wildcards_.empty(); }

    // The organisational domain of a lower-case name without a final dot: its public suffix
    // and one label more; the name itself when it is a public suffix; with no list, its last
    // two labels.
    std::string OrganizationalDomain(std::string_view domain) const;

    // The list of the system's file, read at the first call (any thread).
    static const PublicSuffixList& System();

private:
    std::unordered_set<std::string> rules_, wildcards_, exceptions_;  // "*.x" kept as "x"
};

enum class Policy : int32_t { kNone = 0, kQuarantine = 1, kReject = 2 };
const char* PolicyName(Policy p);

struct Record {
    Policy p = Policy::kNone;
    Policy sp = Policy::kNone;
    int pct = 100;
    bool strict_dkim = false, strict_spf = false;
};

// A policy record's text: false, with why, when it is not one (no "v=DMARC1" first, a bad tag
// list) or its p= is missing or unknown and no rua= would have it read as p=none.
bool ParseRecord(std::string_view text, Record* record, std::string* why);

enum Result : int32_t { kPass = 0, kFail = 1, kNone = 2, kTempError = 3, kPermError = 4 };
// "pass", "fail", "none", "temperror", "permerror".
const char* ResultName(int result);

// The domains of the From field's addresses, lower-cased, each once. False, with why, when the
// message has no From field, more than one, or an address without a domain.
bool FromDomains(std::string_view message, std::vector<std::string>* domains, std::string* why);

struct Input {
    std::vector<std::string> from_domains;
    bool spf_pass = false;
    std::string spf_domain;                      // MAIL FROM's domain, or the HELO name when MAIL FROM is empty
    std::vector<std::string> dkim_pass_domains;  // d= of every signature that passed
};

struct Verdict {
    int result = kNone;
    Policy policy = Policy::kNone;     // to apply: the record's, after sp= and pct=
    Policy requested = Policy::kNone;  // the record's, after sp=, before pct=
    std::string from_domain;           // the one the verdict is about
    std::string reason;                // why, for all but pass
    // A passing SPF or DKIM result of the From domain (relaxed when there is no record):
    // known whatever the record says, so that a policy can trust an aligned signature.
    bool spf_aligned = false, dkim_aligned = false;
};

// The TXT texts at `name`; 0 found (maybe none), 2 the lookup failed.
using TxtLookup = std::function<int(const std::string& name, std::vector<std::string>* texts)>;

// The verdict for the message. With several From domains each is judged and the strictest
// verdict stands. `roll` (0..99) is compared with pct=: at or above it the policy is applied
// one step milder.
Verdict Evaluate(const Input& input, const TxtLookup& lookup, const PublicSuffixList& psl, int roll);

}  // namespace checks::dmarc
