#include "script/Variable.h"

#include <gtest/gtest.h>

#include <functional>

#include "script/Array.h"
#include "script/Stack.h"

namespace script {
namespace {

Variable I(int32_t v) {
    return Variable(v);
}
Variable F(float v) {
    return Variable(v);
}
Variable S(const char* v) {
    return Variable(v);
}

Variable Apply(BinOp op, Variable l, const Variable& r) {
    ApplyBinary(op, l, r);
    return l;
}

std::string ErrorOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ScriptError& e) {
        return e.what();
    }
    return "<no error>";
}

TEST(VariableTest, ArithmeticFollowsTheOperandTypes) {
    struct Case {
        const char* name;
        BinOp op;
        Variable l, r;
        VarType type;
        double want;
    } cases[] = {
        {"7 / 2 is a float", BinOp::Div, I(7), I(2), VarType::Float, 3.5},
        {"7 % 2.9 truncates", BinOp::Mod, I(7), F(2.9f), VarType::Int, 1},
        {"1 + 2.5", BinOp::Add, I(1), F(2.5f), VarType::Float, 3.5},
        {"int product wraps", BinOp::Mul, I(65536), I(65536), VarType::Int, 0},
        {"int sum wraps", BinOp::Add, I(INT32_MAX), I(1), VarType::Int, INT32_MIN},
        {"&& of ints", BinOp::And, I(2), I(3), VarType::Int, 1},
        {"|| of zeros", BinOp::Or, I(0), I(0), VarType::Int, 0},
        {"^ converts floats", BinOp::Xor, F(6.9f), I(3), VarType::Int, 5},
        {"min % -1", BinOp::Mod, I(INT32_MIN), I(-1), VarType::Int, 0},
    };
    for (const Case& c : cases) {
        Variable got = Apply(c.op, c.l, c.r);
        EXPECT_EQ(got.type(), c.type) << c.name;
        double v = got.type() == VarType::Float ? got.float_value() : got.int_value();
        EXPECT_NEAR(v, c.want, 1e-6) << c.name;
    }
    EXPECT_EQ(Apply(BinOp::Add, S("a"), I(1)).string_value(), "a1");
    EXPECT_EQ(Apply(BinOp::Add, F(1.5f), S("x")).string_value(), "1.5x");
    EXPECT_EQ(Apply(BinOp::Add, S("a"), S("b")).string_value(), "ab");
}

TEST(VariableTest, BadOperandsRaiseTheirDiagnostics) {
    EXPECT_EQ(ErrorOf([] { Apply(BinOp::Mul, S("a"), I(1)); }), "CS_Variable::operator*(): bad operands");
    EXPECT_EQ(ErrorOf([] { Apply(BinOp::Sub, S("a"), S("b")); }), "CS_Variable::operator-(): bad operands");
    EXPECT_EQ(ErrorOf([] { Apply(BinOp::BitAnd, F(1), I(1)); }), "CS_Variable::operator&(): bad operands");
    EXPECT_EQ(ErrorOf([] { Apply(BinOp::Add, Variable(), I(1)); }), "CS_Variable::operator+(): bad operands");
    EXPECT_EQ(ErrorOf([] { Apply(BinOp::Mod, I(5), I(0)); }), "CS_Variable::operator%(): division by zero");
    EXPECT_EQ(ErrorOf([] { Apply(BinOp::Mod, I(5), F(0.5f)); }), "CS_Variable::operator%(): division by zero");
}

TEST(VariableTest, ComparisonsAndTheirPairings) {
    EXPECT_TRUE(Equal(Apply(BinOp::Add, F(0.1f), F(0.2f)), F(0.3f)));
    EXPECT_TRUE(Equal(I(1), F(1.0000001f)));
    EXPECT_EQ(ErrorOf([] { Equal(S("1"), I(1)); }), "CS_Variable::operator==(): bad operands");
    EXPECT_EQ(ErrorOf([] { Ordered(BinOp::Lt, Variable(nullptr, nullptr), I(1)); }),
              "CS_Variable::operator<(): bad operands");
    EXPECT_EQ(ErrorOf([] { NotEqual(S("1"), I(1)); }), "CS_Variable::operator!=(): bad operands %s and %s");
    Variable never;
    never.SetType(VarType::String);
    EXPECT_FALSE(Equal(never, S(""))) << "a string never assigned is not equal to an empty literal";
    EXPECT_TRUE(NotEqual(never, S("")));
    EXPECT_TRUE(Ordered(BinOp::Le, S("abc"), S("abd")));
    EXPECT_TRUE(Ordered(BinOp::Ge, S("abd"), S("abc")));
    EXPECT_TRUE(Ordered(BinOp::Lt, S("a"), S("\xE9"))) << "bytes compare unsigned";
    EXPECT_TRUE(Ordered(BinOp::Lt, never, S("a"))) << "an absent text reads as empty";
    int x = 0;
    EXPECT_TRUE(Equal(Variable(&x, nullptr), Variable(&x, nullptr)));
    EXPECT_TRUE(Equal(Variable(nullptr, nullptr), I(0)));
}

TEST(VariableTest, Conversions) {
    EXPECT_EQ(S("0").ToInt(), 1) << "a non-empty string is 1";
    EXPECT_EQ(S("").ToInt(), 0);
    EXPECT_EQ(F(-2.7f).ToInt(), -2);
    EXPECT_EQ(F(1e20f).ToInt(), INT32_MAX) << "saturates instead of undefined behaviour";
    EXPECT_EQ(I(0).ToText(), nullptr);
    EXPECT_EQ(I(0).ToPointer(), nullptr);
    EXPECT_EQ(ErrorOf([] { Variable(nullptr, nullptr).ToInt(); }), "CS_Variable::operator int(): can't convert to int");
    EXPECT_EQ(ErrorOf([] { S("x").ToFloat(); }), "CS_Variable::operator float(): can't convert  to float");
    EXPECT_EQ(ErrorOf([] { I(3).ToText(); }), "CS_Variable::operator const char*(): can't convert to const char*");
    EXPECT_EQ(ErrorOf([] { I(3).ToPointer(); }),
              "CS_Variable::operator const void*(): can't convert %s to const void*");
}

TEST(VariableTest, ArraysAndStack) {
    Stack<Variable> st(8);
    Array a;
    st.push(I(3));
    a.Construct(VarType::Int, st);
    st.push(I(9));
    st.push(I(1));
    a.Store(st);
    st.push(I(3));
    a.Construct(VarType::Int, st);
    st.push(I(1));
    a.Load(st);
    EXPECT_EQ(st.pop().int_value(), 9) << "same size keeps the elements";
    st.push(I(4));
    a.Construct(VarType::Int, st);
    st.push(I(1));
    a.Load(st);
    EXPECT_EQ(st.pop().int_value(), 0) << "another size resets them";
    st.push(I(4));
    EXPECT_EQ(ErrorOf([&] { a.Load(st); }), "Array::pop(): bad array index");
    st.clear();
    st.push(I(0));
    a.Construct(VarType::Int, st);
    st.push(I(5));
    st.push(F(1.0f));
    a.Store(st);
    st.push(I(1));
    a.Load(st);
    EXPECT_EQ(st.pop().int_value(), 5) << "1 and 1.0 are one key";
    st.push(S("missing"));
    EXPECT_EQ(ErrorOf([&] { a.Load(st); }), "CS_Variable::operator==(): bad operands");
    st.clear();
    st.push(I(2));
    EXPECT_EQ(ErrorOf([&] { a.Load(st); }), "Array::push(): uninitialized key");
    st.clear();
    st.push(I(-1));
    EXPECT_EQ(ErrorOf([&] { a.Construct(VarType::Int, st); }), "Array::constructor(): bad array size");

    Stack<Variable> full(1024);
    for (int i = 0; i < 1024; ++i) full.push(I(i));
    EXPECT_EQ(ErrorOf([&] { full.push(I(0)); }), "Stack::push(): stack overflow\n");
    Stack<Variable> empty(4);
    EXPECT_EQ(ErrorOf([&] { empty.pop(); }), "Stack::pop(): stack underflow\n");
    EXPECT_EQ(ErrorOf([&] { empty.top(); }), "Stack::top(): stack underflow\n");
}

}  // namespace
}  // namespace script
