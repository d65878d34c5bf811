#pragma once
// DNS messages of the stub resolver: the query it sends and the reader of the answers it gets.
// Pure functions: bytes in, a struct or nullopt out; any thread.
//
// The reader never reads past the message: every field is checked against the remaining
// length, names follow at most kMaxNameJumps compression pointers, and each record's data is
// read inside its RDLENGTH, so a hostile or truncated reply yields a failure, never a stray read.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace checks {

inline constexpr uint16_t kTypeA = 1;
inline constexpr uint16_t kTypeNS = 2;
inline constexpr uint16_t kTypeCNAME = 5;
inline constexpr uint16_t kTypePTR = 12;
inline constexpr uint16_t kTypeMX = 15;
inline constexpr uint16_t kTypeTXT = 16;
inline constexpr uint16_t kTypeAAAA = 28;

// Reply codes (the low four bits of the flags) the checks tell apart.
inline constexpr int kRcodeNoError = 0;
inline constexpr int kRcodeServerFailure = 2;
inline constexpr int kRcodeNameError = 3;

// A UDP reply is read into this many bytes; the rest of a longer datagram is dropped.
inline constexpr size_t kDnsBufferSize = 512;
// A reply with more answers than this fails as a whole.
inline constexpr size_t kMaxAnswers = 51;
// Compression pointers followed while reading one name.
inline constexpr int kMaxNameJumps = 20;
// The query is built in a buffer of this size; longer names cannot be asked.
inline constexpr size_t kQueryBufferSize = 272;

struct DnsAnswer {
    std::string owner;
    uint16_t type = 0;
    uint16_t klass = 0;
    uint32_t ttl = 0;
    uint16_t rdlength = 0;
    // A: the dotted quad. AAAA: the address in its canonical text (RFC 5952). MX: the exchange name. TXT: the character-strings concatenated.
    // Other types: the name the data holds (CNAME, NS, PTR).
    std::string data;
    uint16_t preference = 0;  // MX only
};

struct DnsReply {
    uint16_t id = 0;
    uint16_t flags = 0;
    std::string question;  // the question name, without the final "."
    uint16_t qtype = 0;
    std::vector<DnsAnswer> answers;
};

// The labels a reverse or block-list name starts with: "4.3.2.1" for "1.2.3.4", one label per
// nibble, lowest first, for an IPv6 address (RFC 3596, RFC 5782); a dotted quad inside other
// text is reversed in place, and other text is unchanged.
std::string ReverseAddress(std::string_view ip);
// The name PTR lookups ask for: "4.3.2.1.in-addr.arpa" for "1.2.3.4", nibbles and ".ip6.arpa"
// for an IPv6 address.
std::string ReverseName(std::string_view ip);

// The query message: RD set, one question of class IN. nullopt when the name does not fit the
// query buffer or has an empty or over-long label.
std::optional<std::string> BuildQuery(uint16_t id, std::string_view name, uint16_t qtype);

// Reads a reply. nullopt for an empty or malformed message or one with too many answers.
std::optional<DnsReply> ParseReply(std::string_view message);

// True when `reply` answers the query (same ID, same question name ignoring case and a final
// "."): a datagram from anyone else on the socket must not count as an answer.
bool ReplyMatches(const DnsReply& reply, uint16_t id, std::string_view asked_name);

}  // namespace checks
