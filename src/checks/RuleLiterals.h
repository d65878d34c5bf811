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
#include <string>
#include <string_view>
#include <vector>

namespace checks {

// The literals (lower case when `caseless`, as the text must then be searched lower-cased), at
// least 3 bytes each; empty when the pattern has no such set. `options` are the rule's
// (common::RegexOption).
std::vector<std::string> RequiredLiterals(std::string_view pattern, int options);

}  // namespace checks
