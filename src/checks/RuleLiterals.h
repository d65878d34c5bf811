#pragma once
// What text a pattern cannot match without: a set of literal strings of which any match of the
// pattern holds at least one. Rules of the large texts (decoded text, bodies, the raw message)
// look for these with a plain substring search first, and run the regular expression only when
// one is there; most rules find none of their words in most mail, and a substring search is
// many times cheaper than trying a pattern at every position.
//
// The analysis is conservative: it gives up (no literals, so the pattern always runs) on
// anything it does not fully understand: flags set inside the pattern, \Q..\E, escapes of
// character codes, back references, named groups, bytes above 0x7f, extended mode.
#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace checks {

// The literals (lower case when `caseless`, as the text must then be searched lower-cased), at
// least 3 bytes each; empty when the pattern has no such set. `options` are the rule's
// (common::RegexOption).
std::vector<std::string> RequiredLiterals(std::string_view pattern, int options);

// The top-level branches of a pattern ("a|b(c|d)" -> "a", "b(c|d)"): the pattern matches a text
// exactly when one of them does, and a regular expression engine runs a set of simple branches
// far faster than their alternation (each keeps its own fast start). The whole pattern, alone,
// when splitting could change what it means: inline option settings, back references, verbs,
// extended mode.
std::vector<std::string> TopLevelBranches(std::string_view pattern, int options);

// The literals of many rules, found in one pass over a text: a substring search per literal
// would read the text once for each of them. Literals are filed by their first two bytes; the
// pass looks up each pair of the text and compares only the literals filed under it.
class CLiteralScan {
public:
    // Files `literals` (2 bytes or more; shorter ones are ignored) for rule `id`.
    void Add(uint32_t id, const std::vector<std::string>& literals);
    bool Empty() const { return entries_.empty(); }
    // Sets found[id] to 1 for every rule one of whose literals is in `text`; `found` is sized
    // by the caller to hold every id.
    void Scan(std::string_view text, std::vector<char>& found) const;

private:
    struct Entry {
        uint16_t pair;
        uint32_t id;
        std::string literal;
    };
    static uint16_t PairAt(const char* p) {
        return static_cast<uint16_t>(static_cast<unsigned char>(p[0]) << 8 | static_cast<unsigned char>(p[1]));
    }
    // The first three bytes, hashed into 16 bits: most pairs of a text are the start of some
    // literal, far fewer triples are.
    static uint16_t TripleAt(const char* p) {
        const uint32_t t = static_cast<uint32_t>(PairAt(p)) << 8 | static_cast<unsigned char>(p[2]);
        return static_cast<uint16_t>((t * 2654435761u) >> 16);
    }
    std::vector<Entry> entries_;  // sorted by pair
    std::bitset<65536> pairs_;
    std::bitset<65536> triples_;  // of the literals of 3 bytes or more
    std::bitset<65536> short_;    // pairs that are a whole literal
};

}  // namespace checks
