#pragma once
// Variable: one dynamically typed script value (void, int, float, string, pointer), with the
// conversion and operator rules every script relies on. Values are copied by value; ints,
// floats and pointers never touch the heap, and a string's buffer moves instead of copying
// where the value is consumed.
//
// Every rule violation throws ScriptError with the engine's diagnostic text; the engine's
// entry points (preprocess, load, run) catch it. Not thread-safe: a value belongs to the thread
// that runs its interpreter.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/String.h"

namespace script {

// A diagnostic raised inside the engine. The text is the one operators and scripts see.
class ScriptError : public std::runtime_error {
public:
    explicit ScriptError(const std::string& text) : std::runtime_error(text) {}
};
[[noreturn]] void Raise(const std::string& text);
// printf-style, for the diagnostics that carry values.
[[noreturn]] void RaiseF(const char* format, ...) __attribute__((format(printf, 1, 2)));

enum class VarType : uint8_t { Void = 0, Int = 1, Float = 2, String = 3, Pointer = 4 };

// Names used in declarations and messages; nullptr for a value outside the enum.
const char* TypeName(VarType t);
// "void", "int", ... to a type; false for any other text.
bool TypeFromName(std::string_view name, VarType* out);

// The run-time identity of a native class whose objects scripts hold; its name is shown by
// the debug print. One per bound class, alive as long as the process.
struct ClassId {
    const char* name;
};

class Variable {
public:
    Variable() : type_(VarType::Void), p_(nullptr) {}
    explicit Variable(int32_t v) : type_(VarType::Int), p_(nullptr) { i_ = v; }
    explicit Variable(float v) : type_(VarType::Float), p_(nullptr) { f_ = v; }
    explicit Variable(std::string_view text) : type_(VarType::String), p_(nullptr), s_(text), has_text_(true) {}
    explicit Variable(const char* text) : Variable(std::string_view(text ? text : "")) {}
    Variable(void* p, const ClassId* id) : type_(VarType::Pointer), class_id_(id), p_(p) {}

    Variable(const Variable& o) { CopyFrom(o); }
    Variable(Variable&& o) noexcept { MoveFrom(o); }
    Variable& operator=(const Variable& o) {
        if (this != &o) CopyFrom(o);
        return *this;
    }
    Variable& operator=(Variable&& o) noexcept {
        if (this != &o) MoveFrom(o);
        return *this;
    }

    VarType type() const { return type_; }
    const ClassId* class_id() const { return class_id_; }
    bool IsInt() const { return type_ == VarType::Int; }
    // Sets the type and resets the value (0, 0.0, a string that never held text, null).
    void SetType(VarType t);

    // Raw fields, valid for the matching type only.
    int32_t int_value() const { return i_; }
    float float_value() const { return f_; }
    void* pointer_value() const { return p_; }
    const common::String& string_value() const { return s_; }
    common::String& string_value() { return s_; }
    // False for a string that has never held text (declared, not assigned).
    bool has_text() const { return has_text_; }
    // After appending to string_value() in place.
    void MarkHasText() { has_text_ = true; }

    void SetInt(int32_t v) {
        type_ = VarType::Int;
        class_id_ = nullptr;
        i_ = v;
    }
    void SetFloat(float v) {
        type_ = VarType::Float;
        class_id_ = nullptr;
        f_ = v;
    }
    void SetString(std::string_view text);
    void SetPointer(void* p, const ClassId* id) {
        type_ = VarType::Pointer;
        class_id_ = id;
        p_ = p;
    }

    // Conversions, with the diagnostics of the conversion table.
    int32_t ToInt() const;
    float ToFloat() const;
    // The text of a string (an int 0 gives nullptr).
    const char* ToText() const;
    void* ToPointer() const;

    // Debug print to standard output.
    void Print() const;

private:
    void CopyFrom(const Variable& o) {
        type_ = o.type_;
        class_id_ = o.class_id_;
        p_ = o.p_;  // the whole union: int, float or pointer
        if (o.type_ == VarType::String) {
            s_ = o.s_;
            has_text_ = o.has_text_;
        }
    }
    void MoveFrom(Variable& o) {
        type_ = o.type_;
        class_id_ = o.class_id_;
        p_ = o.p_;
        if (o.type_ == VarType::String) {
            s_ = std::move(o.s_);
            has_text_ = o.has_text_;
        }
    }

    VarType type_ = VarType::Void;
    const ClassId* class_id_ = nullptr;
    union {
        int32_t i_;
        float f_;
        void* p_;
    };
    common::String s_;
    bool has_text_ = false;
};

// Operators. Binary ones leave the result in `left` (the VM's stack slot), so string
// concatenation appends in place and scalar arithmetic allocates nothing.
enum class BinOp : uint8_t { Mul, Div, Mod, Add, Sub, Eq, Ne, Le, Ge, Lt, Gt, And, Or, BitAnd, BitOr, Xor };
void ApplyBinary(BinOp op, Variable& left, const Variable& right);
bool Equal(const Variable& a, const Variable& b);     // ==
bool NotEqual(const Variable& a, const Variable& b);  // !=
// <, <=, >, >= by op (Lt, Le, Gt, Ge).
bool Ordered(BinOp op, const Variable& a, const Variable& b);

}  // namespace script
