#include "common/String.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace common {
namespace {

TEST(StringTest, ConstructsFromScalarsLikePrintf) {
    EXPECT_EQ(String(-42), "-42");
    EXPECT_EQ(String('x'), "x");
    EXPECT_EQ(String(1.5f), "1.5");
    EXPECT_EQ(String(static_cast<const char*>(nullptr)), "");
    EXPECT_TRUE(String().IsEmpty());
}

TEST(StringTest, FormatCutsAtItsLimits) {
    std::string big(5000, 'a');
    String s;
    s.Format("%s", big.c_str());
    EXPECT_EQ(s.Length(), String::kFormatLimit);
    s.FormatShort("%s", big.c_str());
    EXPECT_EQ(s.Length(), String::kShortFormatLimit);
    s.Format("%d-%s", 7, "x");
    EXPECT_EQ(s, "7-x") << "Format clears before printing";
}

TEST(StringTest, BinaryContentKeepsZeroBytesUntilTextIsEdited) {
    const char bytes[] = {'a', 'b', '\0', 'c', 'd'};
    String s;
    s.SetBinary(bytes, 5);
    EXPECT_EQ(s.BinaryLength(), 5);
    EXPECT_EQ(s.Length(), 2);
    EXPECT_EQ(s.Bytes().size(), 5u);
    EXPECT_EQ(s.FindBinary("cd"), 3);
    EXPECT_EQ(s.Find("cd"), -1) << "text search stops at the zero byte";
    String copy = s;
    EXPECT_EQ(copy.Bytes(), s.Bytes()) << "a copy keeps every binary byte";
    s.Append("x");
    EXPECT_EQ(s, "abx");
    EXPECT_EQ(s.BinaryLength(), 0);
}

TEST(StringTest, ComparisonAndCaseInsensitiveOrder) {
    EXPECT_EQ(String("MAIL From").CompareNoCase("mail from"), 0);
    EXPECT_EQ(String("abc").CompareNoCase("ABD"), -1);
    EXPECT_EQ(String("abd").CompareNoCase("ABC"), 1);
    EXPECT_EQ(String("ab").CompareNoCase("abc"), -1);
    EXPECT_EQ(String("\xC0").CompareNoCase("\xE0"), -1) << "only ASCII letters fold";
    EXPECT_TRUE(String("a") < String("b"));
    EXPECT_TRUE(String("b") > String("a"));
    EXPECT_NE(String("a"), String("A"));
}

TEST(StringTest, FindReplaceInsert) {
    String s("one two one");
    EXPECT_EQ(s.Find("one", 1), 8);
    EXPECT_EQ(s.Find("one", 100), -1);
    EXPECT_EQ(s.Find("one", -5), 0);
    EXPECT_EQ(s.Replace("one", "1"), 2);
    EXPECT_EQ(s, "1 two 1");
    EXPECT_EQ(s.Replace("", "x"), 0) << "an empty pattern replaces nothing";
    EXPECT_EQ(s.Replace("1", "11"), 2) << "replacement text is not searched again";
    EXPECT_EQ(s, "11 two 11");
    s.Insert(-3, "<");
    s.Insert(1000, ">");
    EXPECT_EQ(s, "<11 two 11>");
}

TEST(StringTest, SubstringsClampTheirBounds) {
    struct Case {
        int start, count;
        const char* want;
    } cases[] = {{0, 3, "hel"}, {-2, 3, "hel"}, {3, 100, "lo"}, {5, 1, ""}, {1, 0, ""}, {1, -1, ""}};
    String s("hello");
    for (const Case& c : cases)
        EXPECT_EQ(s.Mid(c.start, c.count), c.want) << "Mid(" << c.start << ", " << c.count << ")";
    EXPECT_EQ(s.Left(2), "he");
    EXPECT_EQ(s.Right(2), "lo");
    EXPECT_EQ(s.Right(9), "hello");
    EXPECT_EQ(s.Right(0), "");
}

TEST(StringTest, TrimTouchesBlanksOnly) {
    String s("  \tword \r\n  ");
    s.Trim();
    EXPECT_EQ(s, "\tword \r\n");
    String blanks("    ");
    EXPECT_EQ(blanks.TrimLeft(), "");
    String r("ab  ");
    EXPECT_EQ(r.TrimRight(), "ab");
}

TEST(StringTest, SplitNonEmptyLeavesOutEmptyPieces) {
    using V = std::vector<std::string_view>;
    EXPECT_EQ(SplitNonEmpty("a||b|", '|'), (V{"a", "b"}));
    EXPECT_EQ(SplitNonEmpty("  one two ", ' '), (V{"one", "two"}));
    EXPECT_EQ(SplitNonEmpty("", ' '), V{});
}

TEST(StringTest, CaseChangesAreAsciiOnly) {
    String s("MiXeD \xC9");
    EXPECT_EQ(String(s).MakeUpper(), "MIXED \xC9");
    EXPECT_EQ(s.MakeLower(), "mixed \xC9");
    // AsciiLowered works eight bytes at a time: every byte value, at every alignment and tail
    // length, gives what the byte-wise rule gives.
    std::string all;
    for (int round = 0; round < 3; ++round)
        for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    for (size_t from = 0; from < 9; ++from)
        for (size_t cut : {all.size(), all.size() - 3, size_t{7}}) {
            const std::string in = all.substr(from, cut - std::min(cut, from));
            std::string want;
            for (char c : in) want += AsciiLower(c);
            EXPECT_EQ(AsciiLowered(in), want) << from << " " << cut;
        }
}

TEST(StringTest, AppendingZeroBytesEndsTheText) {
    String s("ab");
    s.Append('\0');
    s.Append(std::string_view("cd\0ef", 5));
    EXPECT_EQ(s, "abcd");
    String t = String("x") + "y" + String("z");
    EXPECT_EQ(t, "xyz");
}

TEST(StringTest, HostnamesAreLettersDigitsHyphensAndDots) {
    for (const char* good : {"example.com", "EXAMPLE.com", "a", "x-1.example.org", "example.com.", "123.example"})
        EXPECT_EQ(HostnameError(good), "") << good;
    const std::string label63(63, 'a');
    EXPECT_EQ(HostnameError(label63 + ".com"), "");
    EXPECT_NE(HostnameError(label63 + "a.com"), "");
    std::string long_name;
    while (long_name.size() < 250) long_name += "abcdefghi.";
    long_name += "abcd";
    EXPECT_NE(HostnameError(long_name), "");
    for (const char* bad : {"", "../../../../some/dir/victim", "a/b", "a..b", ".a", "-a.com", "a-.com", "a b.com",
                            "a_b.com", "a\b", "..", ".", "a.com..", "dom\xc3\xa9ne.fr"})
        EXPECT_NE(HostnameError(bad), "") << bad;
    EXPECT_NE(HostnameError(std::string_view("a\0b", 3)), "");
    EXPECT_EQ(HostnameError("a/b"), "the name holds the character '/'");
}

}  // namespace
}  // namespace common
