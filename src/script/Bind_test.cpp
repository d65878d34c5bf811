#include "script/Bind.h"

#include <gtest/gtest.h>

#include "script/Imports.h"
#include "script/TestScript.h"

namespace script {
namespace {

struct Point {
    Point(int32_t x, float y, const char* tag) : x(x), y(y), tag(tag ? tag : "") {}
    int32_t x;
    float y;
    std::string tag;
    int32_t Sum(int32_t a, int32_t b, int32_t c, int32_t d, int32_t e) { return x + a + b + c + d + e; }
    std::string Tag() const { return tag; }
    Point* Self() { return this; }
    int32_t Same(Point* other) { return other == this; }
    void Move(int32_t dx) { x += dx; }
};

struct Other {};

std::unique_ptr<Interpreter> WithPoint() {
    auto in = std::make_unique<Interpreter>();
    auto cls = std::make_unique<ExternClass<Point, int32_t, float, const char*>>("Point", ",0,\"none\"");
    cls->Method("Sum", &Point::Sum, ",0,0,0,0")
        .Method("Tag", &Point::Tag)
        .Method("Self", &Point::Self)
        .Method("Same", &Point::Same)
        .Method("Move", &Point::Move);
    cls->Method("Tag", &Point::Tag);  // a duplicate is refused with a diagnostic
    in->AddExternClass("Point", std::move(cls));
    ClassIdOf<Other>::SetName("Other");
    in->AddExternFunction("other", std::make_unique<ExternFunction<Other*>>([] {
                              static Other o;
                              return &o;
                          }));
    in->AddExternFunction("native_point", std::make_unique<ExternFunction<Point*>>([] {
                              static Point host(7, 0, "host");
                              return &host;
                          }));
    in->AddExternFunction("half", MakeFunction(+[](float v) { return v / 2; }));
    in->AddExternFunction("first", std::make_unique<ExternFunction<int32_t, const char*>>(
                                       [](const char* s) { return s ? static_cast<int32_t>(s[0]) : -1; }));
    return in;
}

TEST(BindTest, ConversionsDefaultsAndResults) {
    auto in = WithPoint();
    testing::Load(R"(
        int ctor() { Point p = new Point(3); return p.Sum(1) + p.x_missing_is_not_needed_here; }
    )",
                  in.get());
    EXPECT_TRUE(in->HasError()) << "unknown names still fail";
    in = WithPoint();
    testing::Load(R"(
        int sum() { Point p = new Point(3); return p.Sum(1) + p.Sum(1, 2, 3, 4, 5); }
        string tag() { Point p = new Point(1, 2.5); Point q = new Point(1, 2.5, "t"); return p.Tag() + q.Tag(); }
        int half_int() { return half(5) * 10; }
        int nulls() { return first(0) + first("A"); }
        int voids() { Point p = new Point(1); return p.Move(4) + p.Sum(0); }
        int same() { Point p = new Point(1); Point q = p.Self(); return p.Same(q) + p.Same(0); }
    )",
                  in.get());
    ASSERT_FALSE(in->HasError()) << in->CollectDiagnostics();
    EXPECT_EQ(in->Run("sum"), 4 + 18);
    in->Run("tag");
    EXPECT_FALSE(in->HasError());
    EXPECT_EQ(in->Run("half_int"), 25) << "int argument converted to float";
    EXPECT_EQ(in->Run("nulls"), -1 + 65) << "int 0 passes a null text";
    EXPECT_EQ(in->Run("voids"), 0 + 5) << "a void result is int 0";
    EXPECT_EQ(in->Run("same"), 1);
    EXPECT_NE(in->CollectDiagnostics().find("addClassFunction(): \"Tag\" function already defined"), std::string::npos);
}

TEST(BindTest, ObjectsOfAnotherClassAreRefused) {
    auto in = WithPoint();
    testing::Load(R"(
        int wrong_arg() { Point p = new Point(1); return p.Same(other()); }
        int wrong_assign() { Point p = other(); return 0; }
        int not_pointer() { Point p = new Point(1); return p.Same(5); }
    )",
                  in.get());
    ASSERT_FALSE(in->HasError()) << in->CollectDiagnostics();
    in->Run("wrong_arg");
    EXPECT_NE(in->CollectDiagnostics().find("VariableToType: unknown type of pointer\n"), std::string::npos);
    in->Run("wrong_assign");
    EXPECT_NE(in->CollectDiagnostics().find("VariableToType: unknown type of pointer\n"), std::string::npos);
    in->Run("not_pointer");
    EXPECT_NE(in->CollectDiagnostics().find("can't convert %s to const void*"), std::string::npos);
}

TEST(BindTest, OwnershipAndDestructorDiagnostics) {
    auto in = WithPoint();
    testing::Load(R"(
        int own() { Point p = new Point(1); delete p; return 0; }
        int twice() { Point p = new Point(1); delete p; delete p; return 0; }
        int borrowed() { Point q = native_point(); delete q; return 0; }
        int never() { Point p; delete p; return 0; }
    )",
                  in.get());
    EXPECT_EQ(in->Run("own"), 0);
    EXPECT_FALSE(in->HasError());
    in->Run("twice");
    EXPECT_NE(in->CollectDiagnostics().find("ExternClass::destructor(): object is NULL"), std::string::npos);
    in->Run("borrowed");
    EXPECT_NE(in->CollectDiagnostics().find("destructor(): object is not constructed"), std::string::npos)
        << "q was assigned from a native, not constructed: the binding does not own it";
    in->Run("never");
    EXPECT_NE(in->CollectDiagnostics().find("ExternClass::destructor(): object is NULL"), std::string::npos);
}

// A slot the class never handed out (damaged bytecode, a host's mistake) is a diagnostic, not
// another object's slot or a division by an empty table.
TEST(BindTest, SlotsOutOfRangeAreDiagnostics) {
    ExternClass<Point, int32_t, float, const char*> cls("Point", ",0,\"none\"");
    auto error_of = [](auto&& f) -> std::string {
        try {
            f();
        } catch (const ScriptError& e) {
            return e.what();
        }
        return "no error";
    };
    EXPECT_EQ(error_of([&] { cls.ObjectVariable(0); }), "ScriptClass::run(): bad object index") << "no slot yet";
    ASSERT_EQ(cls.AddSlot(), 0);
    EXPECT_EQ(error_of([&] { cls.ObjectVariable(0); }), "no error");
    EXPECT_EQ(error_of([&] { cls.ObjectVariable(1); }), "ScriptClass::run(): bad object index");
    EXPECT_EQ(error_of([&] { cls.ObjectVariable(-1); }), "ScriptClass::run(): bad object index");
}

TEST(BindTest, UtilityClassesNeedTheirImport) {
    Interpreter without;
    auto pre = without.PreprocessText("int f() { HashArray h = new HashArray(); return 1; }", "t.cs");
    RegisterImports(without);
    without.LoadByRam(*pre);
    EXPECT_NE(without.CollectDiagnostics().find("CS_Scripting::PR() = unknown token \"HashArray\""), std::string::npos);

    Interpreter with;
    pre = with.PreprocessText(R"(#import(class, HashArray)
        int f() {
            HashArray h = new HashArray();
            HashArray g = new HashArray();
            h.AddValueI("k", 0);
            g.AddValueS("z", "last");
            g.Merge(h);
            return h.KeyExists("k") + g.GetRecordCount() * 10 + (GetMorvaneVersion() == "3.0.1") * 100;
        })",
                              "t.cs");
    RegisterImports(with);
    ASSERT_TRUE(with.LoadByRam(*pre)) << with.CollectDiagnostics();
    EXPECT_EQ(with.Run("f"), 1 + 20 + 100);
}

TEST(BindTest, EngineBuiltins) {
    std::string diag;
    EXPECT_EQ(testing::RunMain("int main() { return floor(2.7) + sqrt(16) + fabs(-3) + pow(2, 3) + int(\"x\"); }"),
              2 + 4 + 3 + 8 + 1);
    EXPECT_EQ(testing::RunMain("int main() { int s = 0; for (int i = 0; i < 50; i++) s += rand(1); return s; }"), 50)
        << "rand(1) is always 1";
    EXPECT_EQ(testing::RunMain("int main() { return rand(0) + rand(-5) + rand(1.0); }", &diag), 3) << "never faults";
    EXPECT_EQ(testing::RunMain("int main() { return sin(\"x\"); }", &diag), INT32_MIN);
    EXPECT_NE(diag.find("sin(): unknown type of operand\n"), std::string::npos);
    // rand is seeded once: 200 calls of rand(30000) are not all equal.
    EXPECT_EQ(testing::RunMain(R"(int main() {
        int first = rand(30000); int differ = 0;
        for (int i = 0; i < 200; i++) if (rand(30000) != first) differ = 1;
        return differ; })"),
              1);
}

}  // namespace
}  // namespace script
