#include <gtest/gtest.h>

#include <algorithm>

#include "script/TestScript.h"

namespace script {
namespace {

using testing::Load;
using testing::OpNames;
using V = std::vector<std::string>;

// The opcode names of the global code of `text`, without the closing PUSH_CONST 0; END.
V GlobalOps(const std::string& text) {
    auto in = Load(text);
    EXPECT_FALSE(in->HasError()) << in->CollectDiagnostics();
    V ops = OpNames(*in);
    EXPECT_TRUE(testing::JumpsLandOnInstructions(*in));
    if (ops.size() >= 2) ops.resize(ops.size() - 2);
    return ops;
}

TEST(CompilerTest, ConstantsFoldAndPrioritiesHold) {
    EXPECT_EQ(GlobalOps("int x = 1 + 2 * 3;"), (V{"PUSH_CONST", "STORE"}));
    EXPECT_EQ(GlobalOps("int x = 2 * (3 + 4);"), (V{"PUSH_CONST", "STORE"}));
    EXPECT_EQ(GlobalOps("int x = -5; int y = !0;"), (V{"PUSH_CONST", "STORE", "PUSH_CONST", "STORE"}));
    EXPECT_EQ(GlobalOps("int a; int b; int c; int x = a < b && c;"),
              (V{"PUSH_VAR", "PUSH_VAR", "LT", "PUSH_VAR", "AND", "STORE"}));
    EXPECT_EQ(GlobalOps("int a; int x = a & 1 == 1;"), (V{"PUSH_VAR", "PUSH_CONST", "BITAND", "STORE"}))
        << "== binds tighter than &: a & (1 == 1), folded";
    EXPECT_EQ(GlobalOps("int a; int x = a - 1 - 2;"),
              (V{"PUSH_VAR", "PUSH_CONST", "SUB", "PUSH_CONST", "SUB", "STORE"}))
        << "left associative: nothing to fold across a variable";
    auto in = Load("int x = 1 + 2 * 3; int main() { return x; }");
    EXPECT_EQ(in->Run("main"), 7);
}

TEST(CompilerTest, ComparisonsFuseWithBranches) {
    EXPECT_EQ(GlobalOps("int x; if (x == 1) x = 2;"), (V{"PUSH_VAR", "PUSH_CONST", "JNE", "PUSH_CONST", "STORE"}));
    EXPECT_EQ(GlobalOps("int x; while (x < 3) x++;"), (V{"PUSH_VAR", "PUSH_CONST", "JGE", "INC_VAR", "JMP"}));
    EXPECT_EQ(GlobalOps("int x; do x++; while (x <= 3);"), (V{"INC_VAR", "PUSH_VAR", "PUSH_CONST", "JLE"}));
    EXPECT_EQ(GlobalOps("int a[2]; a[1] += 2;"), (V{"PUSH_CONST", "ARRAY_NEW", "PUSH_CONST", "DUP", "ARRAY_LOAD",
                                                    "PUSH_CONST", "ADD", "SWAP", "ARRAY_STORE"}));
}

// Folding starts at jump targets (an else branch, the code after a loop, a loop head) and must
// leave every jump landing on the folded instruction, not inside what was removed.
TEST(CompilerTest, ConstantsFoldAtJumpTargets) {
    const std::string text =
        "int main() {\n"
        "    int s = 0; int i = 0;\n"
        "    while (i < 3) { s = s + 2 * 5; i++; }\n"
        "    do { s = s + 1 + 1; } while (s < 0);\n"
        "    if (s > 100) s = 7 * 6; else s = 8 * 9;\n"
        "    return 2 * 3 + s;\n"
        "}\n";
    auto in = Load(text);
    ASSERT_FALSE(in->HasError()) << in->CollectDiagnostics();
    EXPECT_TRUE(testing::JumpsLandOnInstructions(*in));
    for (const std::string& op : OpNames(*in)) EXPECT_NE(op, "MUL") << "every constant product folds";
    EXPECT_EQ(in->Run("main"), 78);
    // The while loop's exit lands on the do loop's head, the else on its folded constant and
    // the if's end on the folded return value: a fold that moved any of them breaks the run.
    EXPECT_EQ(testing::RunMain("int main() { int s = 1; if (s) s = 2; else s = 3 + 4; return s * 10 + 5 * 1; }"), 25);
    EXPECT_EQ(testing::RunMain("int main() { int s = 0; if (s) s = 2; else s = 3 + 4; return s * 10 + 5 * 1; }"), 75);
}

TEST(CompilerTest, DiagnosticsCarryTheSourceLine) {
    struct Case {
        const char* text;
        const char* want;
    } cases[] = {
        {"int x;\nint y; y = y = 1;\n",
         "int y; y = y = 1;\nCS_Scripting::PR_expression() = unknown token '=' in \"y = 1\" expression\n"},
        {"int x; int x;", "int x; int x;\nNS::add_variable(): name \"x\" already defined\n"},
        {"int f() { return 1; }\nint f;", "int f;\nNS::add_variable(): name \"f\" already defined\n"},
        {"int f(int a) { return a; }\nint g = f(1, 2);",
         "int g = f(1, 2);\nCS_Scripting::PR_args() = too many arguments\n"},
        {"int f(int a) { return a; }\nint g = f();", "int g = f();\nCS_Scripting::PR_args() = too few arguments\n"},
        {"nosuch(1);", "nosuch(1);\nCS_Scripting::PR() = unknown token \"nosuch\"\n"},
        {"int x = y;", "int x = y;\nCS_Scripting::PR_expression() = unknown token \"y\" in \"y\" expression\n"},
        {"break;", "break;\nCS_Scripting::PR() = break statement not within loop\n"},
        {"int x = 1 +;", "int x = 1 +;\nCS_Scripting::PR_expression(): error before \"1 +\"\n"},
        {"int x = (1;", "int x = (1;\nCS_Scripting::RD_A() = some errors with counts of '(' and ')' symbols\n"},
        {"int x = 2 (3);", "int x = 2 (3);\nCS_Scripting::PR_expression() = error before \"(\"\n"},
        {"int x = * 2;",
         "int x = * 2;\nCS_Scripting::PR_expression() = bad unary operator '*' in \"* 2\" expression\n"},
        {"4x;", "4x;\nCS_Scripting::PR() = unknown symbol '4'\n"},
        {"int x; x.y = 1;",
         "int x; x.y = 1;\nCS_Scripting::swizzle() =  unknown dot ... only pointer (class)-> \"x\"\n"},
        {"string s = \"a\\qb\";", "string s = \"a\\qb\";\nCS_Scripting::CV_string() = unsupported string code \\q\n"},
        {"int f(void a) { }", "int f(void a) { }\nCS_Scripting::PR_function(): void argument in \"f\" function\n"},
        {"int f(Widget w) { }",
         "int f(Widget w) { }\nCS_Scripting::getexternclasstype(): can't find \"Widget\" class\n"},
    };
    for (const Case& c : cases) {
        auto in = Load(c.text);
        EXPECT_TRUE(in->HasError()) << c.text;
        // The statement's file and line come first (the test helper preprocesses as "test.cs").
        const std::string text(c.text), want(c.want);
        const size_t at = text.find(want.substr(0, want.find('\n')));
        const std::string line =
            "test.cs:" + std::to_string(std::count(text.begin(), text.begin() + at, '\n') + 1) + ": ";
        EXPECT_EQ(in->CollectDiagnostics(), line + want) << c.text;
        EXPECT_TRUE(in->Program().empty()) << "a failed compile leaves no program";
        EXPECT_EQ(in->Run("main"), 0);
    }
}

TEST(CompilerTest, FunctionsArraysAndScopes) {
    const char* text = R"(
        int total;
        int sum(int v[], int n) {
            int s = 0;
            for (int i = 0; i < n; i++) s += v[i];
            return s;
        }
        int noreturn() { total = 5; }
        int main() {
            int a[4] = { 1, 2, 3, 4 };
            int m[] = { "x": 10, "y": 20 };
            int k = noreturn();
            { int inner = 100; total += inner; }
            return sum(a, 4) + m["y"] + k + total;
        }
    )";
    EXPECT_EQ(testing::RunMain(text), 10 + 20 + 0 + 105);
    EXPECT_EQ(testing::RunMain("int main() { return 0x1F + 'A' + 1.9; }"), 31 + 65 + 1);
    EXPECT_EQ(testing::RunMain("int main() { string s = \"ab\" \"cd\"; if (s == \"abcd\") return 1; return 0; }"), 1);
}

}  // namespace
}  // namespace script
