#pragma once
// The lexical readers of the preprocessor and the compiler. Each reads from `text` at `pos`,
// first skipping blanks and newlines (except where said), advances `pos` past what it read, and
// raises the engine's diagnostic on bad input. All are pure: no state beyond the cursor.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace script::lex {

inline constexpr size_t kNameMax = 256;
inline constexpr size_t kBlockMax = 1024;

void SkipBlanks(std::string_view text, size_t& pos);
// `text[i]` opens a string or character literal: the index after its closing quote (a
// backslash escapes the next character), or the text's size when it is not closed.
size_t SkipQuoted(std::string_view text, size_t i);
bool AtEnd(std::string_view text, size_t& pos);  // after skipping blanks
bool IsNameStart(char c);
bool IsNameChar(char c);

// A name: a letter or one of "_:$", then letters, digits or "_:$".
std::string ReadName(std::string_view text, size_t& pos, size_t max = kNameMax);
// Without a set: a run of name characters (may be empty). With a set: the longest run of
// bytes from the set.
std::string ReadToken(std::string_view text, size_t& pos, std::string_view set = {}, size_t max = kBlockMax);
// A number: 0x/0X and hex digits; else digits with ".", an exponent and a trailing "f".
// Empty when there is no number at pos.
std::string ReadDigit(std::string_view text, size_t& pos, size_t max = kBlockMax);
// The text up to the `close` that ends the block at depth 0 (consumed, not returned). An
// `open` character (0 for none) raises the depth. Quoted strings and character literals are
// skipped whole; parentheses must balance inside.
std::string ReadBlock(std::string_view text, size_t& pos, char open, char close, size_t max = kBlockMax);
// One statement: up to and including ";" at parenthesis and brace depth 0, or up to and
// including the "}" that closes the first brace block.
std::string ReadStatement(std::string_view text, size_t& pos, size_t max = 1000000);
// The next non-blank byte must be `c`.
void ExpectSymbol(std::string_view text, size_t& pos, char c);
// Peeks at the next non-blank byte (0 at the end); with a set, it must belong to it.
char GetSymbol(std::string_view text, size_t& pos, const char* set = nullptr);
// Rewrites escape sequences of a string literal's body.
std::string ConvertString(std::string_view body);
// Splits at top-level commas (outside parentheses, brackets, braces and quotes).
std::vector<std::string> SplitArgs(std::string_view text);
std::string Trim(std::string_view s);

}  // namespace script::lex
