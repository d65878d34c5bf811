#include <gtest/gtest.h>

#include "platform/TestTempDir.h"
#include "script/Interpreter.h"

namespace script {
namespace {

struct Result {
    bool ok;
    std::string text;
    std::string diag;
};

Result Pre(Interpreter& in, const std::string& text, const std::string& path = "dir/main.cs") {
    auto out = in.PreprocessText(text, path);
    return {out.has_value(), out.value_or(""), in.CollectDiagnostics()};
}

Result Pre(const std::string& text) {
    Interpreter in;
    return Pre(in, text);
}

TEST(PreprocessorTest, CommentsAndLiterals) {
    EXPECT_EQ(Pre("a // x\nb /* y\nz */ c\r\n\td").text, "a \nb  c\n d");
    EXPECT_EQ(Pre("s = \"// not /* a comment\";").text, "s = \"// not /* a comment\";");
    EXPECT_EQ(Pre("c = '#'; d = '\\'';").text, "c = '#'; d = '\\'';") << "a # in a character literal is text";
}

TEST(PreprocessorTest, SymbolsReplaceWholeWordsOnceOutsideStrings) {
    Result r = Pre("#define N 10\n#define EMPTY\n#define M N\nx = N + NN + \"N\" + EMPTY y + M;\n");
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(r.text, "\n\n\nx = 10 + NN + \"N\" +  y + N;\n");
    r = Pre("#define A 1\n#undef A\nA\n");
    EXPECT_EQ(r.text, "\n\nA\n");
}

TEST(PreprocessorTest, LineAndFileCountOnlyLinesOutsideBlockComments) {
    Result r = Pre("/* one\ntwo */ a = __LINE__;\nb = __LINE__;\nc = __FILE__;\n");
    EXPECT_EQ(r.text, " a = 1;\nb = 2;\nc = \"dir/main.cs:3\";\n");
}

TEST(PreprocessorTest, ConditionalSectionsNest) {
    Result r = Pre("#define X\n#ifdef X\na\n#ifndef X\nb\n#else\nc\n#endif\n#else\nd\n#endif\n");
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(r.text, "\n\na\n\nc\n\n\n") << "inactive lines are dropped whole, newline included";
    EXPECT_EQ(Pre("#ifdef X\na\n").diag, "CS_Scripting::PS() = bad processor options\n");
    EXPECT_EQ(Pre("#else\n").diag, "CS_Scripting::PS() = #else is before #ifdef or #ifndef\n");
    EXPECT_EQ(Pre("#endif\n").diag, "CS_Scripting::PS() = #endif is before #ifdef or #ifndef\n");
    EXPECT_EQ(Pre("#pragma once\n").diag, "CS_Scripting::PS() = unknown prepocessor token \"#pragma\"\n");
    EXPECT_TRUE(Pre("#! shebang line\nx\n").ok);
}

TEST(PreprocessorTest, ImportsAreRecordedOnce) {
    Interpreter in;
    Result r =
        Pre(in, "#import(class, HashArray)\n#import( class , HashArray )\n#import(widget, X)\n#import(lib, Y)\n");
    ASSERT_TRUE(r.ok) << r.diag;
    ASSERT_EQ(in.Imports().size(), 2u);
    EXPECT_EQ(in.Imports()[0].name, "HashArray");
    EXPECT_TRUE(in.Imported("HashArray"));
    EXPECT_EQ(in.Imports()[1].kind, 2);
}

TEST(PreprocessorTest, IncludesFromTheIncludingDirectory) {
    platform::TestTempDir dir;
    ASSERT_TRUE(dir.Write("lib/util.cs", "#define LIMIT 7\nint util() { return LIMIT; }\n"));
    ASSERT_TRUE(dir.Write("lib/self.cs", "#include \"self.cs\"\n"));
    Interpreter in;
    Result r = Pre(in, "#include \"util.cs\"\nx = LIMIT;\n", dir.File("lib/main.cs"));
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(r.text, "\nint util() { return 7; }\n\nx = 7;\n");
    EXPECT_EQ(Pre(in, "#include <missing.cs>\n", dir.File("lib/main.cs")).diag,
              "CS_Scripting::PS() = can't find \"missing.cs\" file\n");
    r = Pre(in, "#include \"self.cs\"\n", dir.File("lib/main.cs"));
    EXPECT_FALSE(r.ok) << "a file that includes itself ends in a diagnostic";
    EXPECT_NE(r.diag.find("nested too deep"), std::string::npos);
}

}  // namespace
}  // namespace script
