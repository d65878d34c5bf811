#include <gtest/gtest.h>

#include "platform/EventLoop.h"

#include "platform/TestTempDir.h"

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "script/AbortHandle.h"
#include "script/Binding.h"
#include "script/TestScript.h"

namespace script {
namespace {

using testing::Load;

// Hand-written natives standing in for the binding templates.
class Fn : public ExternFunctionBase {
public:
    using Body = void (*)(Interpreter&);
    Fn(int argc, std::string defaults, Body body) : ExternFunctionBase(argc, std::move(defaults)), body_(body) {}
    void Call(Interpreter& in) override { body_(in); }

private:
    Body body_;
};

struct Counter {
    int value;
};
const ClassId kCounterId{"Counter"};

class CounterClass : public ExternClassBase {
public:
    int AddSlot() override {
        slots_.push_back(nullptr);
        return static_cast<int>(slots_.size()) - 1;
    }
    void Construct(int slot, Interpreter& in) override {
        auto c = std::make_unique<Counter>(Counter{in.Values().pop().ToInt()});
        slots_[static_cast<size_t>(slot)] = c.get();
        owned_.push_back(std::move(c));
    }
    void Destruct(int slot) override {
        Counter* c = slots_[static_cast<size_t>(slot)];
        if (!c) Raise("ExternClass::destructor(): object is NULL");
        for (auto it = owned_.begin(); it != owned_.end(); ++it) {
            if (it->get() == c) {
                for (Counter*& s : slots_)
                    if (s == c) s = nullptr;
                owned_.erase(it);
                return;
            }
        }
        Raise("destructor(): object is not constructed");
    }
    void ResetObjects() override {
        for (Counter*& s : slots_) s = nullptr;
        owned_.clear();
    }
    Variable Wrap(void* object) const override { return Variable(object, &kCounterId); }
    Variable ObjectVariable(int slot) const override { return Wrap(slots_[static_cast<size_t>(slot)]); }
    void Assign(int slot, Interpreter& in) override {
        slots_[static_cast<size_t>(slot)] = static_cast<Counter*>(in.Values().pop().ToPointer());
    }
    void CallMethod(int slot, int method, Interpreter& in) override {
        Counter* c = slots_[static_cast<size_t>(slot)];
        if (!c) Raise("ScriptClass::run(): object is NULL");
        if (method == 0) c->value += in.Values().pop().ToInt();
        in.Values().push(Variable(c->value));
    }
    int ConstructorArgc() const override { return 1; }
    int MethodIndex(const std::string& name) const override { return name == "Add" ? 0 : name == "Get" ? 1 : -1; }
    const ExternFunctionBase* Method(int index) const override { return index == 0 ? &add_ : &get_; }

private:
    std::vector<Counter*> slots_;
    std::vector<std::unique_ptr<Counter>> owned_;
    Fn add_{1, "", nullptr};
    Fn get_{0, "", nullptr};
};

Counter g_host{42};

class ThisVar : public ExternVariableBase {
public:
    Variable Value() const override { return Variable(&g_host, &kCounterId); }
};

std::unique_ptr<Interpreter> WithNatives() {
    auto in = std::make_unique<Interpreter>();
    in->AddExternFunction("twice", std::make_unique<Fn>(1, "", [](Interpreter& i) {
                              i.Values().push(Variable(i.Values().pop().ToInt() * 2));
                          }));
    in->AddExternFunction("join", std::make_unique<Fn>(2, ",\"-\"", [](Interpreter& i) {
                              Variable a = i.Values().pop();
                              Variable b = i.Values().pop();
                              i.Values().push(Variable(std::string(a.ToText()) + b.ToText()));
                          }));
    in->AddExternFunction("sum", std::make_unique<Fn>(1, ",...", [](Interpreter& i) {
                              int n = i.Values().pop().ToInt(), total = 0;
                              for (int k = 0; k < n; ++k) total += i.Values().pop().ToInt();
                              i.Values().push(Variable(total));
                          }));
    in->AddExternFunction("nothing", std::make_unique<Fn>(0, "", [](Interpreter& i) { i.Values().push(Variable(0)); }));
    EXPECT_FALSE(in->AddExternFunction("twice", std::make_unique<Fn>(0, "", nullptr)));
    in->AddExternClass("Counter", std::make_unique<CounterClass>());
    in->AddExternVariable("$_this", std::make_unique<ThisVar>());
    return in;
}

TEST(VMTest, RunConvertsResultsAndLeavesTheStackEmpty) {
    auto in = Load(R"(
        int empty() { }
        int f27() { return 2.7; }
        int zero_text() { return "0"; }
        int ptr() { return $_this; }
        int count;
        int bump() { count++; return count; }
    )");
    auto with = WithNatives();
    Load(R"(
        int empty() { }
        int f27() { return 2.7; }
        int zero_text() { return "0"; }
        int ptr() { return $_this; }
        int count;
        int bump() { count++; return count; }
    )",
         with.get());
    Interpreter& i = *with;
    ASSERT_FALSE(i.HasError()) << i.CollectDiagnostics();
    EXPECT_EQ(i.Run("empty"), 0);
    EXPECT_EQ(i.Values().depth(), 0);
    EXPECT_EQ(i.Run("f27"), 2);
    EXPECT_EQ(i.Run("zero_text"), 1) << "a non-empty string converts to 1";
    EXPECT_EQ(i.Run("bump"), 1);
    EXPECT_EQ(i.Run("bump"), 2) << "globals keep their values between runs";
    EXPECT_FALSE(i.HasError());
    i.Run("ptr");
    EXPECT_TRUE(i.HasError());
    EXPECT_NE(i.CollectDiagnostics().find("CS_Variable::operator int(): can't convert to int"), std::string::npos);
    i.ClearError();
    i.Run("nosuch");
    EXPECT_NE(i.CollectDiagnostics().find("NS::getfunction(): can't find \"nosuch\" function"), std::string::npos);
    EXPECT_EQ(i.Run("bump"), 3) << "a failed run leaves the program usable";
    (void)in;
}

TEST(VMTest, RunWithArguments) {
    auto in = WithNatives();
    Load("int f(int a, float b, string s, Counter c) { return a + b + (s == \"x\") + c.Get(); }", in.get());
    ASSERT_FALSE(in->HasError()) << in->CollectDiagnostics();
    int a = 10;
    float b = 2.5f;
    Counter c{100};
    EXPECT_EQ(in->Run("f", "int, float, string, Counter", {&a, &b, "x", &c}), 113);
    EXPECT_FALSE(in->HasError()) << in->CollectDiagnostics();
    in->Run("f", "int,int,string,Counter", {&a, &a, "x", &c});
    EXPECT_NE(in->CollectDiagnostics().find("CS_Scripting::run() = bad arguments for \"f\" function"),
              std::string::npos);
    in->Run("f", "int,float,string,Counter,int", {&a, &b, "x", &c, &a});
    EXPECT_NE(in->CollectDiagnostics().find("CS_Scripting::run() = too many arguments"), std::string::npos);
    in->Run("f");
    EXPECT_NE(in->CollectDiagnostics().find("you must specify function arguments\"f\""), std::string::npos);
}

TEST(VMTest, DirectRecursionSavesTheActivation) {
    const char* text = R"(
        int fact(int n) { if (n <= 1) return 1; return n * fact(n - 1); }
        int keep(int n) {
            int mine = n * 10;
            if (n > 0) keep(n - 1);
            return mine;
        }
        int forever() { return forever(); }
        int deep(int n) { int a = n; int b = a; return deep(b + 1); }
    )";
    auto in = Load(text);
    EXPECT_EQ(in->Run("fact"), 0) << "needs arguments";
    in->CollectDiagnostics();
    int five = 5, three = 3, zero = 0;
    EXPECT_EQ(in->Run("fact", "int", {&five}), 120);
    EXPECT_EQ(in->Run("keep", "int", {&three}), 30) << "the local survives the inner calls";
    in->Run("forever");
    EXPECT_NE(in->CollectDiagnostics().find("too deep recursion"), std::string::npos)
        << "a recursion that saves nothing still ends";
    in->ClearError();
    in->Run("deep", "int", {&zero});
    EXPECT_TRUE(in->HasError());
    EXPECT_NE(in->CollectDiagnostics().find("Stack::push(): stack overflow\n"), std::string::npos);
}

// Sessions run scripts on fibers, whose stacks are far smaller than a thread's: the deepest
// recursion a script may make must end with its own diagnostic, well inside the stack.
TEST(VMTest, TheRecursionLimitComesBeforeAFibersStackEnds) {
    const char* text = R"(
        int forever() { return forever(); }
        int nested(int n) { return 1 + nested(n + 1) * 2 + nested(n - 1); }
        string strings(string s) { return strings(s + "x") + s; }
    )";
    // A slow step (sanitizers make the deep recursion slow) is not what this checks.
    platform::CEventLoop loop([](int, const std::string& line) {
        if (line.find("ran out of its stack") != std::string::npos) ADD_FAILURE() << line;
    });
    ASSERT_TRUE(loop.Start());
    std::atomic<int> done{0};
    ASSERT_TRUE(loop.Spawn([&] {
        auto in = Load(text);
        int zero = 0;
        const char* s = "a";
        in->Run("forever");
        EXPECT_NE(in->CollectDiagnostics().find("too deep recursion"), std::string::npos);
        in->ClearError();
        in->Run("nested", "int", {&zero});
        EXPECT_TRUE(in->HasError());
        in->CollectDiagnostics();
        in->ClearError();
        in->Run("strings", "string", {s});
        EXPECT_TRUE(in->HasError());
        ++done;
    }));
    EXPECT_TRUE(loop.Stop(10000));
    EXPECT_EQ(done.load(), 1) << "the fiber ran out of its stack";
}

TEST(VMTest, AbortFromTheStepHookEndsTheRun) {
    auto in = Load("int spin() { int i = 0; while (1) i++; return i; }");
    int calls = 0;
    struct Ctx {
        int* calls;
    } ctx{&calls};
    in->SetStepHook(
        [](Interpreter& i, void* c) {
            if (++*static_cast<Ctx*>(c)->calls == 1000) i.Abort();
        },
        &ctx);
    EXPECT_EQ(in->Run("spin"), 0);
    EXPECT_FALSE(in->HasError());
    EXPECT_EQ(calls, 1000);
    EXPECT_EQ(in->Values().depth(), 0);
}

TEST(VMTest, AnAbortHandleReachesOnlyARunningScript) {
    // One thread aborts while the other starts and ends runs and destroys their interpreters:
    // an abort must land on a run (ending it) or on no run, never on a destroyed interpreter.
    script::AbortHandle handle;
    std::atomic<bool> done{false};
    std::atomic<int> aborted{0};
    std::thread killer([&] {
        while (!done)
            if (handle.Abort()) ++aborted;
    });
    for (int round = 0; round < 50; ++round) {
        auto in = Load("int spin() { int i = 0; while (1) i++; return i; }");
        handle.Set(in.get());
        in->Run("spin");  // ends only through the abort
        handle.Clear();
    }
    done = true;
    killer.join();
    EXPECT_GE(aborted.load(), 50);
    EXPECT_FALSE(handle.Abort()) << "nothing runs";
}

TEST(VMTest, StepHookReachesEveryLoop) {
    // Pad the code so the loop lands on addresses with bit 3 set; the hook must still run.
    for (int pad = 0; pad < 12; ++pad) {
        std::string text = "int spin() { int i = 0;";
        for (int k = 0; k < pad; ++k) text += " i = 1;";
        text += " while (1) { } return 0; }";
        auto in = Load(text);
        int calls = 0;
        in->SetStepHook(
            [](Interpreter& i, void* c) {
                if (++*static_cast<int*>(c) > 100) i.Abort();
            },
            &calls);
        in->Run("spin");
        EXPECT_GT(calls, 100) << "padding " << pad;
    }
}

TEST(VMTest, NativeFunctionsAndObjects) {
    auto in = WithNatives();
    Load(R"(
        int calls() { return twice(4) + sum(3, 1, 2, 3) + nothing(); }
        string joined() { return join("a") + join("b", "c"); }
        int objects() {
            Counter c = new Counter(5);
            c.Add(10);
            int v = c->Get();
            delete c;
            return v;
        }
        int borrowed() {
            Counter h = $_this;
            h.Add(1);
            delete h;
            return 0;
        }
        int empty_slot() { Counter none; return none.Get(); }
    )",
         in.get());
    ASSERT_FALSE(in->HasError()) << in->CollectDiagnostics();
    EXPECT_EQ(in->Run("calls"), 8 + 6 + 0);
    EXPECT_EQ(in->Run("objects"), 15);
    in->Run("borrowed");
    EXPECT_NE(in->CollectDiagnostics().find("destructor(): object is not constructed"), std::string::npos);
    EXPECT_EQ(g_host.value, 43) << "the host object was used, never deleted";
    in->Run("empty_slot");
    EXPECT_NE(in->CollectDiagnostics().find("ScriptClass::run(): object is NULL"), std::string::npos);
}

TEST(VMTest, NativeCallArgumentsAreCheckedAtCompileTime) {
    struct Case {
        const char* text;
        const char* want;
    } cases[] = {
        {"int x = twice(1, 2);", "CS_Scripting::PR_args() = it isn't a function with the variable number of arguments"},
        {"int x = twice();", "CS_Scripting::PR_args() = too few arguments"},
        {"int x = Counter;", "unknown token \"Counter\""},
        {"Counter c; c.Nope();",
         "CS_Scripting::PR_class() = function \"Nope\" is not the function of class \"Counter\""},
        {"Counter c = new Widget(1);", "CS_Scripting::PR_class() = bad \"Widget\" class constructor"},
        {"$_this = 1;", "CS_Scripting::PR(): extern variables is readonly"},
        {"int x; delete x;", "CS_Scripting::PR() = bad delete argument"},
    };
    for (const Case& c : cases) {
        auto in = WithNatives();
        Load(c.text, in.get());
        EXPECT_TRUE(in->HasError()) << c.text;
        EXPECT_NE(in->CollectDiagnostics().find(c.want), std::string::npos) << c.text;
    }
}

TEST(VMTest, RuntimeFaultsBecomeDiagnostics) {
    std::string diag;
    EXPECT_EQ(testing::RunMain("int main() { int z = 0; return 5 % z; }", &diag), INT32_MIN);
    EXPECT_NE(diag.find("CS_Variable::operator%(): division by zero"), std::string::npos);
    EXPECT_EQ(testing::RunMain("int main() { int a[2]; return a[2]; }", &diag), INT32_MIN);
    EXPECT_NE(diag.find("Array::pop(): bad array index"), std::string::npos);
    EXPECT_EQ(testing::RunMain("int main() { string s = \"x\"; return s * 2; }", &diag), INT32_MIN);
    EXPECT_NE(diag.find("CS_Variable::operator*(): bad operands"), std::string::npos);
}

// What a policy author needs when a script is disabled: the file and line that failed, across
// included files, block comments and inactive sections that the compiler never sees.
TEST(VMTest, RuntimeDiagnosticsNameTheirSourceLine) {
    platform::TestTempDir dir;
    ASSERT_TRUE(dir.Write("lib.cs",
                          "// helpers\n"
                          "int ratio(int a, int b) {\n"
                          "    return a % b;\n"
                          "}\n"));
    const std::string main_text =
        "#include \"lib.cs\"\n"                  // 1
        "/* several\n"                           // 2
        "   lines */\n"                          // 3
        "#ifdef NOT_DEFINED\n"                   // 4
        "int unused() { return 1; }\n"           // 5
        "#endif\n"                               // 6
        "int main(int d) {\n"                    // 7
        "    int x = 7;\n"                       // 8
        "    if (d == 1) return ratio(x, 0);\n"  // 9
        "    string s = \"x\";\n"                // 10
        "    return s * 2;\n"                    // 11
        "}\n";
    ASSERT_TRUE(dir.Write("main.cs", main_text));
    Interpreter in;
    auto pre = in.Preprocess(dir.File("main.cs"));
    ASSERT_TRUE(pre);
    ASSERT_EQ(in.LoadByRam(*pre), 1) << in.CollectDiagnostics();

    int one = 1, two = 2;
    in.Run("main", "int", {&one});
    std::string diag = in.CollectDiagnostics();
    EXPECT_NE(diag.find(dir.File("lib.cs") + ":3\nCS_Variable::operator%(): division by zero"), std::string::npos)
        << "the callee's line, not the caller's: " << diag;
    in.Run("main", "int", {&two});
    diag = in.CollectDiagnostics();
    EXPECT_NE(diag.find(dir.File("main.cs") + ":11\nCS_Variable::operator*(): bad operands"), std::string::npos)
        << diag;

    // The disassembly shows the same lines.
    const std::string listing = in.Disassemble();
    EXPECT_NE(listing.find("; " + dir.File("lib.cs") + ":3\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("; " + dir.File("main.cs") + ":11\n"), std::string::npos) << listing;

    // A fault in the global code, in text compiled without the preprocessor: numbered by its
    // own lines.
    Interpreter direct;
    EXPECT_EQ(direct.LoadByRam("int a = 1;\nint z = 0;\nint b = a % z;\n"), 0);
    diag = direct.CollectDiagnostics();
    EXPECT_NE(diag.find("line 3\nCS_Variable::operator%(): division by zero"), std::string::npos) << diag;

    // A diagnostic before any instruction ran names no line.
    in.Run("missing");
    diag = in.CollectDiagnostics();
    const std::string last = diag.substr(diag.rfind("bad operands"));
    EXPECT_NE(last.find("can't find \"missing\""), std::string::npos) << diag;
    EXPECT_EQ(last.find(dir.File("")), std::string::npos) << diag;
}

}  // namespace
}  // namespace script

namespace script {
namespace {

// A restarted program is the program as compiled: globals, arrays, objects and the global
// code's effects as a fresh compile gives them, whatever the last run left behind.
TEST(VMTest, RestartGivesAFreshInstanceWithoutCompiling) {
    const char* text = R"(
        int runs = 0;
        string text = "start";
        int list[3];
        int starts;
        Counter c = new Counter(7);
        starts = starts + 1;
        int Mutate() { runs = runs + 5; text = text + "!"; list[1] = 9; c.Add(100); return 0; }
        int State() { return runs * 1000 + list[1] * 100 + starts * 10 + (text == "start"); }
        int Count() { return c->Get(); }
        int Fail() { int z = 0; return 1 % z; }
    )";
    auto fresh = WithNatives();
    Load(text, fresh.get());
    ASSERT_FALSE(fresh->HasError()) << fresh->CollectDiagnostics();
    const int initial = fresh->Run("State");
    EXPECT_EQ(initial, 11);
    EXPECT_EQ(fresh->Run("Count"), 7);

    fresh->Run("Mutate");
    EXPECT_NE(fresh->Run("State"), initial);
    EXPECT_EQ(fresh->Run("Count"), 107);
    const size_t program = fresh->Program().size();
    ASSERT_EQ(fresh->Restart(), 1);
    EXPECT_EQ(fresh->Run("State"), initial) << "globals and arrays as compiled, global code run once more";
    EXPECT_EQ(fresh->Run("Count"), 7) << "objects constructed anew";
    EXPECT_EQ(fresh->Program().size(), program);

    fresh->Run("Fail");
    EXPECT_TRUE(fresh->HasError());
    fresh->CollectDiagnostics();
    ASSERT_EQ(fresh->Restart(), 1);
    EXPECT_FALSE(fresh->HasError()) << "a run-time failure does not outlive the restart";
    EXPECT_EQ(fresh->Run("State"), initial);

    Interpreter empty;
    EXPECT_EQ(empty.Restart(), 0) << "nothing compiled";
}

}  // namespace
}  // namespace script
