#pragma once
// DKIM verification (RFC 6376; Ed25519 keys, RFC 8463). For each DKIM-Signature field of a
// message: the signature's tag list is read and checked, the signer's key fetched from DNS
// ("SELECTOR._domainkey.DOMAIN" TXT), the body canonicalised and hashed (up to l= when given),
// the signed header fields canonicalised, and the signature checked with OpenSSL. Every
// signature gets its own result.
//
// The message is what a session holds (CR LF lines, at most the held bytes): a body cut by the
// hold limit is verified only when the signature's l= ends within what was held; otherwise
// the result is a temporary error that says so.
//
// Pure functions of their input and the key lookup: any thread.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace checks::dkim {

struct Tag {
    std::string name;
    std::string value;  // folding white space at its ends removed
};

// A tag list (RFC 6376 3.2): "name=value" separated by ";", white space and folding allowed
// around names, "=" and values. False, with why, when it is malformed or names a tag twice.
bool ParseTagList(std::string_view text, std::vector<Tag>* tags, std::string* why);

enum class Canon { kSimple, kRelaxed };
enum class Algorithm { kRsaSha256, kRsaSha1, kEd25519Sha256 };

struct Signature {
    Algorithm algorithm = Algorithm::kRsaSha256;
    std::string signature;  // b=, decoded
    std::string body_hash;  // bh=, decoded
    Canon header_canon = Canon::kSimple;
    Canon body_canon = Canon::kSimple;
    std::string domain;                // d=, lower case
    std::string selector;              // s=
    std::vector<std::string> headers;  // h=, lower case, in order
    std::string identity;              // i=, "@" + d= when absent
    int64_t length = -1;               // l=, -1 when absent
    int64_t timestamp = -1;            // t=
    int64_t expires = -1;              // x=
};

// The value of a DKIM-Signature field. False, with why, when a required tag is missing or a
// tag is malformed (a PermError).
bool ParseSignature(std::string_view value, Signature* sig, std::string* why);

struct Key {
    std::string type = "rsa";              // k=
    std::vector<std::string> hashes;       // h=, empty: any
    std::string public_key;                // p=, decoded; empty when revoked
    bool testing = false, strict = false;  // t=y, t=s
};

// A key record's TXT text. False, with why, when it is malformed or not DKIM1.
bool ParseKey(std::string_view text, Key* key, std::string* why);

// The header fields of a message, each whole (name, colon, value with its folding), without
// its final CR LF; and where the body starts (the message's end when no blank line ends the
// header).
std::vector<std::string_view> HeaderFields(std::string_view message, size_t* body_at);
// A field's name, without white space before its colon; "" when it has no colon.
std::string_view FieldName(std::string_view field);

// "name:value" of a header field as relaxed canonicalisation makes it (RFC 6376 3.4.2),
// without the final CR LF. `field` is the whole field as it stands (name, colon, value with
// its folding), without its final CR LF.
std::string RelaxedHeader(std::string_view field);

// The body canonicalised (RFC 6376 3.4.3, 3.4.4), a chunk at a time so that a large body is
// never copied whole. Add gives what can be told so far; Finish the rest.
class BodyCanonicalizer {
public:
    explicit BodyCanonicalizer(Canon canon) : canon_(canon) {}
    void Add(std::string_view chunk, std::string* out);
    void Finish(std::string* out);

private:
    Canon canon_;
    std::string line_;        // a line begun in an earlier chunk, not yet ended
    size_t empty_lines_ = 0;  // empty lines held back: they count only if text follows
    bool any_line_ = false;   // a non-empty line was given out
    void EmitLine(std::string_view line, std::string* out);
};

std::string CanonicalBody(std::string_view body, Canon canon);

// SHA-256 of `data` (32 bytes), for signers in tests and benchmarks.
std::string Sha256ForBench(std::string_view data);

enum Result : int32_t {
    kDkimPass = 0,
    kDkimFail = 1,
    kDkimNeutral = 2,
    kDkimPolicy = 3,
    kDkimTempError = 4,
    kDkimPermError = 5,
};
// "pass", "fail", "neutral", "policy", "temperror", "permerror".
const char* ResultName(int result);

struct Verdict {
    int result = kDkimPermError;
    std::string reason;  // why, for all but pass
    std::string domain, selector;
};

// The key record lookup: the TXT text of `name` in `txt`; 0 found, 1 no record (or no such
// name), 2 the lookup failed (a TempError).
using KeyLookup = std::function<int(const std::string& name, std::string* txt)>;

// Every DKIM-Signature of `message` (at most 10), verified. `held_all` false says the message
// was cut at the hold limit. `now` (seconds since 1970) judges x=.
std::vector<Verdict> Verify(std::string_view message, const KeyLookup& lookup, int64_t now, bool held_all = true);

}  // namespace checks::dkim
