#pragma once
// The text codecs of the scripts' built-ins: Base64, URL encoding, HTML entities, numeric
// character references, tag removal, hex reading and the small text helpers. All pure: bytes in,
// bytes out, any thread. Every "repeat until none is left" rule runs in one linear pass that
// reaches the same end state, so hostile input (e.g. "%2525...") costs linear time.
#include <cstdint>
#include <string>
#include <string_view>

namespace script::codec {

// RFC 4648 alphabet with "=" padding; CR LF after every 76 output characters.
std::string Encode64(std::string_view bytes);
// Skips bytes outside the alphabet; stops at the first "=" or the end.
std::string Decode64(std::string_view text);

// "+" becomes a blank, then every "%HH" is decoded, again and again while decoding forms new
// sequences.
std::string URLDecode(std::string_view text);
// Every byte but letters, digits and "_" as "%HH" (upper-case hex).
std::string URLEncode(std::string_view text);

// Named entities of the table decoded (all pairs but the last, "&amp;").
std::string DecodeHtmlSpecialChar(std::string_view text);
// "&" and the table's bytes encoded as entities (first pair of a byte wins).
std::string EncodeHtmlSpecialChar(std::string_view text);
// Entities decoded, then numeric references "&#NN;"/"&#NNN;" (removed above 255).
std::string DeOfuscate(std::string_view text);
// Tags "<...>" on one line removed, then entities decoded.
std::string HtmlToText(std::string_view text);

// Up to the first 4 hex digits; 0 when there is none.
int32_t HextoInt(std::string_view text);

// Runs of blanks followed by a non-blank become one blank; trailing blanks go.
std::string TrimInternal(std::string_view text);
// The index-th field between separator bytes; empty when there are fewer.
std::string Split(std::string_view text, char separator, int32_t index);

// The entity table: 143 (entity, Windows-1252 byte) pairs, in order.
struct Entity {
    std::string_view text;
    unsigned char byte;
};
extern const Entity kEntities[143];

}  // namespace script::codec
