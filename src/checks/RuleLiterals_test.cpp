#include "checks/RuleLiterals.h"

#include <gtest/gtest.h>

#include "common/Regex.h"

namespace checks {
namespace {

using L = std::vector<std::string>;

TEST(RuleLiterals, FindsWhatEveryMatchHolds) {
    // The longest run of a sequence, or a group it cannot skip; every branch must give one.
    EXPECT_EQ(RequiredLiterals(R"(\b(?:extra|passive)\s+income\b)", 0), L({"income"}));
    EXPECT_EQ(RequiredLiterals(R"(\b(?:order|buy)\s+(?:today|right\s+now)\b)", 0), L({"right", "today"}));
    EXPECT_EQ(RequiredLiterals(R"(no\s+risk|\bwithout\s+(?:any\s+)?risk)", 0), L({"risk", "without"}));
    // Caseless patterns give lower case; a quantifier that allows none drops its character.
    EXPECT_EQ(RequiredLiterals(R"(Home\s*OwnerS?)", common::kRegexCaseless), L({"owner"}));
    EXPECT_EQ(RequiredLiterals(R"(colou?r chart)", 0), L({"r chart"}));
    EXPECT_EQ(RequiredLiterals(R"(ab+cde)", 0), L({"cde"}));
    EXPECT_EQ(RequiredLiterals(R"(\$\$\$ cash)", 0), L({"$$$ cash"}));
    // Optional groups and lookarounds require nothing; classes and dots break runs.
    EXPECT_EQ(RequiredLiterals(R"((?:free\s+)?(?=x)trial)", 0), L({"trial"}));
    EXPECT_EQ(RequiredLiterals(R"([abc]def.ghij)", 0), L({"ghij"}));
    // An escaped "[" in a class is a member, not the start of "[:name:]"; a class cut short by
    // the pattern's end is no class.
    EXPECT_EQ(RequiredLiterals(R"([\[:a]bcd)", 0), L({"bcd"}));
    EXPECT_TRUE(RequiredLiterals(R"(abcd[x\)", 0).empty());
}

TEST(RuleLiterals, GivesUpRatherThanGuess) {
    for (const char* p : {R"(ab|\d+)", R"(a.b)", R"((?i)free)", R"(\x41BCD)", R"((cash)\1)", R"(\Qfree\E)",
                          R"((?<name>free))", "caf\xc3\xa9s", R"(a{,3}bcd)", "", R"(fr(ee)", R"([abc)"})
        EXPECT_TRUE(RequiredLiterals(p, 0).empty()) << p;
    EXPECT_TRUE(RequiredLiterals("free gift", common::kRegexExtended).empty());
}

TEST(RuleLiterals, NeverMissesAMatch) {
    // Every text a pattern matches holds one of its literals (the fuzz target checks the same
    // on arbitrary input).
    const char* patterns[] = {R"(\bfree\s+(?:gift|trial|sample)s?\b)", R"(^\s*dear\s+(?:sir|madam)\b)",
                              R"(\b100\s?%\s+(?:guaranteed|legal)\b)", R"((?:abc)+x{2}dde?f)"};
    const char* texts[] = {"FREE Gifts today", "a free trial", "\nDear Madam,",
                           "100% LEGAL",       "abcabcxxddef", "ABCxxddf"};
    for (const char* p : patterns)
        for (const char* t : texts) {
            const L literals = RequiredLiterals(p, common::kRegexCaseless | common::kRegexMultiline);
            ASSERT_FALSE(literals.empty()) << p;
            if (!common::RegexTest(p, common::kRegexCaseless | common::kRegexMultiline, t)) continue;
            std::string lowered(t);
            for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            bool found = false;
            for (const std::string& l : literals) found = found || lowered.find(l) != std::string::npos;
            EXPECT_TRUE(found) << p << " on " << t;
        }
}

TEST(RuleLiterals, SplitsTopLevelBranchesOnlyWhenItIsSafe) {
    EXPECT_EQ(TopLevelBranches(R"(a(b|c)|[|x]d|e\|f)", 0), L({"a(b|c)", "[|x]d", "e\\|f"}));
    EXPECT_EQ(TopLevelBranches(R"((?<!x)ab|(?=c)cd)", 0), L({"(?<!x)ab", "(?=c)cd"}));
    EXPECT_EQ(TopLevelBranches("abc", 0), L({"abc"}));
    for (const char* whole : {R"((?i)a|b)", R"((a)|\1)", R"(a|)", R"(a|b))", R"((a|b)", R"(a|[b)", R"(\c|x)",
                              R"((?<n>a)|b)", R"((*UTF)a|b)", R"(\Q|\E|c)"})
        EXPECT_EQ(TopLevelBranches(whole, 0), L({whole})) << whole;
    EXPECT_EQ(TopLevelBranches("a|b", common::kRegexExtended), L({"a|b"}));
}

TEST(LiteralScan, FindsEveryRuleWhoseLiteralIsThere) {
    CLiteralScan scan;
    scan.Add(0, {"free", "gift"});
    scan.Add(1, {"fresh"});        // shares its first pair with rule 0's
    scan.Add(2, {"end"});          // at the very end of the text
    scan.Add(3, {"absent", "x"});  // "x" is too short to file
    scan.Add(4, {"textlonger"});   // longer than what is left where its pair occurs
    std::vector<char> found(5, 0);
    scan.Scan("a fresh gift at the end", found);
    EXPECT_EQ(found, std::vector<char>({1, 1, 1, 0, 0}));
    std::vector<char> none(5, 0);
    scan.Scan("te", none);
    scan.Scan("", none);
    EXPECT_EQ(none, std::vector<char>(5, 0));
    EXPECT_TRUE(CLiteralScan().Empty());
}

}  // namespace
}  // namespace checks
