#include "cron/CronScript.h"

#include <gtest/gtest.h>

#include "platform/TestTempDir.h"

namespace cron {
namespace {

// Runs `body` as main() of a cron script and returns what it returns as text via k.
struct Outcome {
    int result = 0;
    std::string diag;
    bool ok = false;
};

Outcome Script(const std::string& text, const std::string& function = "main") {
    platform::TestTempDir dir;
    dir.Write("s.cs", "CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);\n" + text);
    CronScriptHost host;
    Outcome r;
    if (!host.Load(dir.File("s.cs"), &r.diag)) return r;
    r.ok = host.Run(function, &r.result, &r.diag);
    return r;
}

// True when the script's main returns 1: each test states its expectations in the script.
void ExpectAll(const char* name, const std::string& checks) {
    Outcome r = Script("int main() { int bad = 0;\n" + checks + "\nreturn bad; }");
    EXPECT_TRUE(r.ok) << name << ": " << r.diag;
    EXPECT_EQ(r.result, 0) << name << ": the first failing check is number " << r.result;
}

TEST(CronScriptTest, FormatFollowsItsSpecifications) {
    ExpectAll("format", R"cs(
        if (k.Format("%d-%s", 7, "x") != "7-x") bad = 1;
        else if (k.Format("%5.2f", 3.14159) != " 3.14") bad = 2;
        else if (k.Format("%x|%c|%%", 255, 65) != "ff|A|%") bad = 3;
        else if (k.Format("a%qb") != "ab") bad = 4;
        else if (k.Format("100%") != "100") bad = 5;)cs");
    Outcome leftover = Script("int main() { string s = k.Format(\"%d\", 1, 2); return 0; }");
    EXPECT_FALSE(leftover.ok);
    EXPECT_NE(leftover.diag.find("CS_Scripting::run() = depth of stack is not zero"), std::string::npos);
    Outcome missing = Script("int main() { string s = k.Format(\"%d %d\", 1); return 0; }");
    EXPECT_NE(missing.diag.find("Stack::pop(): stack underflow\n"), std::string::npos);
    Outcome unknown = Script("int main() { string s = k.Format(\"%q\"); return 0; }");
    EXPECT_TRUE(unknown.ok);
}

TEST(CronScriptTest, TextAndConversionBuiltins) {
    ExpectAll("text", R"cs(
        if (k.SubStr("abc", 1, 10) != "bc") bad = 1;
        else if (k.SubStr("abc", 5, 1) != "") bad = 2;
        else if (k.Split("a,b,,c", ',', 2) != "" || k.Split("a,b,,c", ',', 3) != "c") bad = 3;
        else if (k.TrimInternal("  a   b  ") != " a b") bad = 4;
        else if (k.Trim("  x  ") != "x" || k.TrimLeft(" x ") != "x " || k.TrimRight(" x ") != " x") bad = 5;
        else if (k.Replace("aaa", "a", "ab") != "ababab") bad = 6;
        else if (k.Lc("AbC") != "abc" || k.Uc("aBc") != "ABC") bad = 7;
        else if (k.StrLen("abc") != 3 || k.StrLen(0) != 0) bad = 8;
        else if (k.Chr(321) != 65 || k.Ord('A') != 65 || k.Chr(255) != -1) bad = 9;
        else if (k.CharToInt(" 42x") != 42 || k.CharToFloat("2.5") != 2.5 || k.CharToInt(0) != 0) bad = 10;
        else if (k.IntToChar(-3) != "-3" || k.FloatToChar(0.5) != "0.5") bad = 11;
        else if (k.FloatToInt(-2.7) != -2 || k.IntToFloat(3) != 3.0) bad = 12;
        else if (k.CompareStringNoCase("ABC", "abd") != -1 || k.CompareStringNoCase(0, "x") != 0) bad = 13;
        else if (k.HextoInt("1A2B3") != 6699) bad = 14;)cs");
}

TEST(CronScriptTest, CodecsHashesAndRegex) {
    ExpectAll("codecs", R"cs(
        if (k.Decode64(k.Encode64("hello")) != "hello") bad = 1;
        else if (k.URLDecode("a+b%2Fc") != "a b/c" || k.URLEncode("a b/c") != "a%20b%2Fc") bad = 2;
        else if (k.EncodeHtmlSpecialChar("a<b") != "a&lt;b" || k.DecodeHtmlSpecialChar("&amp;lt;") != "&amp;lt;") bad = 3;
        else if (k.DeOfuscate("&#72;i") != "Hi" || k.HtmlToText("<b>x</b>") != "x") bad = 4;
        else if (k.MD5("abc") != "900150983cd24fb0d6963f7d28e17f72") bad = 5;
        else if (k.REeq("Subject: Hello World", "^subject: (\\w+) (\\w+)", 1) == 0) bad = 6;
        else if (k.$1() != "Hello" || k.$2() != "World" || k.$3() != "") bad = 7;
        else if (k.REeq("x", "y", 0) != 0 || k.$1() != "") bad = 8;
        else if (k.DateTimeFormat("%Y-%m-%d", 86400) != "1970-01-02") bad = 9;
        else if (k.Time() < 1700000000 || k.GetTickCount() < 0) bad = 10;)cs");
    Outcome stream = Script(R"cs(int main() {
        k.MD5StartStream(); k.MD5UpdateStream("a"); k.MD5UpdateStream("bc");
        return k.MD5FinalStream() == k.MD5("abc"); })cs");
    EXPECT_EQ(stream.result, 1) << stream.diag;
}

TEST(CronScriptTest, ExitEndsTheRunAtOnce) {
    Outcome r =
        Script("int total; int main() { total = 1; k.Exit(); total = 2; return 5; }\nint after() { return total; }");
    EXPECT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(r.result, 0);
    Outcome t = Script(
        "int total; int main() { total = 1; k.Exit(); total = 2; return 5; }\nint after() { main(); return total; }",
        "after");
    EXPECT_EQ(t.result, 0);
}

TEST(CronScriptTest, MD5FileReadsInChunks) {
    platform::TestTempDir dir;
    std::string data(10000, 'z');
    ASSERT_TRUE(dir.Write("data.bin", data));
    Outcome r = Script("int main() { return k.MD5File(\"" + dir.File("data.bin") + "\", 7) == k.MD5File(\"" +
                       dir.File("data.bin") + "\", 0) && k.MD5File(\"/nonexistent\", 10) == \"\"; }");
    EXPECT_EQ(r.result, 1) << r.diag;
}

}  // namespace
}  // namespace cron
