#pragma once
// The evidence the statistical filter weighs, cut from one message: words of the decoded
// text parts (quoted-printable and base64 undone, HTML turned into text), word pairs
// (orthogonal sparse bigrams: a word with each of the next kPairWindow words, the distance
// part of the token), the header fields that carry evidence as field-prefixed tokens, URL host
// names with their parent domains, and the MIME structure.
//
// A token is its 64-bit hash: the filter never needs the text back, and a hash costs no
// allocation. Each distinct token is kept once per message, in the order first seen, so that
// learning counts a token once per message. The text is kept beside the hash only when asked
// (an operator's "why"), since it costs an allocation per token.
//
// Bounded on any input: the message is read up to kAnalysedBytes, MIME nesting to kMaxDepth,
// kMaxParts parts, kMaxTokens distinct tokens.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace checks {

class CTokenSet {
public:
    // Measured on public mail: as many spam caught with 2000 tokens as with 4000, at half the
    // lookups.
    static constexpr size_t kMaxTokens = 2000;

    explicit CTokenSet(bool keep_text = false) : keep_text_(keep_text) {}

    // `prefix` names the token's kind ("" for body words); a token equal to one already held
    // is dropped, as is everything after kMaxTokens.
    void Add(std::string_view prefix, std::string_view word);
    // A token whose hash (Hash(prefix, word)) the caller computed already.
    void AddHashed(uint64_t hash, std::string_view prefix, std::string_view word);
    // The pair (a, b) at `distance` words apart, from the words' own hashes; the texts are
    // kept only by a set that keeps text.
    void AddPair(uint64_t a, uint64_t b, int distance) { Insert(PairHash(a, b, distance)); }
    void AddPair(uint64_t a, uint64_t b, int distance, std::string_view a_text, std::string_view b_text);
    static uint64_t PairHash(uint64_t a, uint64_t b, int distance);
    void Clear();

    const std::vector<uint64_t>& Hashes() const { return hashes_; }
    // Parallel to Hashes when the set keeps text, else empty.
    const std::vector<std::string>& Texts() const { return texts_; }
    size_t size() const { return hashes_.size(); }
    bool KeepsText() const { return keep_text_; }
    bool Full() const { return hashes_.size() >= kMaxTokens; }

    static uint64_t Hash(std::string_view prefix, std::string_view word);
    // Hash in steps, for a word read byte by byte: Finish(Step(...Step(Seed(prefix), c)...)).
    static uint64_t Seed(std::string_view prefix);
    static uint64_t Step(uint64_t state, unsigned char c) { return (state ^ c) * 0x100000001b3ULL; }
    static uint64_t Finish(uint64_t state);

private:
    bool Insert(uint64_t h);

    bool keep_text_;
    std::vector<uint64_t> hashes_;
    std::vector<std::string> texts_;
    std::vector<uint64_t> slots_;   // open addressing, 0 = free; sized for kMaxTokens
    std::vector<uint32_t> filled_;  // the slots in use, so that Clear touches only them
};

// Cuts `message` (a whole message, header and body, lines ending in CRLF or LF) into `out`,
// which is cleared first.
void TokenizeMessage(std::string_view message, CTokenSet& out);

// The pieces, for tests and for the other checks that want decoded text.
namespace tokens {

inline constexpr int kMaxDepth = 8;
inline constexpr int kMaxParts = 64;
inline constexpr int kPairWindow = 2;
inline constexpr size_t kMinWord = 2;
inline constexpr size_t kMaxWord = 24;

// One header field: its name in lower case, its value unfolded.
struct Field {
    std::string name;
    std::string value;
};
// The header fields of a message or MIME entity (at most 200, values at most 4 KB) and where
// its body starts. Text that does not start with a header field is all body.
std::vector<Field> ReadHeader(std::string_view entity, size_t& body_at);
// The first field of that name, or nullptr.
const Field* FindField(const std::vector<Field>& fields, std::string_view name);
// A parameter of a structured field ("boundary", "charset", "name"), unquoted; "" when missing.
std::string Param(std::string_view value, std::string_view name);
// The value's first word (a MIME type, an encoding), lower case.
std::string FirstWord(std::string_view value);

// Quoted-printable decoded (soft line breaks joined, a bad escape kept as it stands).
std::string DecodeQuotedPrintable(std::string_view text);
// RFC 2047 encoded words ("=?charset?B|Q?...?=") decoded in place; other text unchanged.
std::string DecodeEncodedWords(std::string_view value);
// HTML as the reader sees it: tags and comments gone (block tags leave a blank so words do
// not run together), entities decoded. The href/src targets of tags go to `links`, and the
// markup that hides or shrinks text to `signals` ("hidden", "tiny", "img").
std::string HtmlToText(std::string_view html, std::vector<std::string>* links, std::vector<std::string>* signals);
// The host of a URL ("http://user@Host.Example:80/x" -> "host.example"); "" when there is none.
std::string UrlHost(std::string_view url);

}  // namespace tokens

}  // namespace checks
