#include "script/Variable.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace script {

void Raise(const std::string& text) {
    throw ScriptError(text);
}

void RaiseF(const char* format, ...) {
    char buf[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    throw ScriptError(buf);
}

const char* TypeName(VarType t) {
    switch (t) {
        case VarType::Void: return "void";
        case VarType::Int: return "int";
        case VarType::Float: return "float";
        case VarType::String: return "string";
        case VarType::Pointer: return "pointer";
    }
    return nullptr;
}

bool TypeFromName(std::string_view name, VarType* out) {
    static constexpr VarType kAll[] = {VarType::Void, VarType::Int, VarType::Float, VarType::String, VarType::Pointer};
    for (VarType t : kAll) {
        if (name == TypeName(t)) {
            *out = t;
            return true;
        }
    }
    return false;
}

void Variable::SetType(VarType t) {
    switch (t) {
        case VarType::Void: p_ = nullptr; break;
        case VarType::Int: i_ = 0; break;
        case VarType::Float: f_ = 0.0f; break;
        case VarType::String:
            s_.Clear();
            has_text_ = false;
            break;
        case VarType::Pointer: p_ = nullptr; break;
        default: Raise("CS_Variable::setType() unknown type of CS_Variable");
    }
    type_ = t;
    class_id_ = nullptr;
}

void Variable::SetString(std::string_view text) {
    type_ = VarType::String;
    class_id_ = nullptr;
    s_ = text;
    has_text_ = true;
}

int32_t Variable::ToInt() const {
    switch (type_) {
        case VarType::Int: return i_;
        case VarType::Float: {
            // Truncation toward zero; values outside int32 saturate instead of being undefined.
            if (std::isnan(f_)) return 0;
            if (f_ >= 2147483648.0f) return INT32_MAX;
            if (f_ <= -2147483648.0f) return INT32_MIN;
            return static_cast<int32_t>(f_);
        }
        case VarType::String: return s_.Length() != 0 ? 1 : 0;
        default: Raise("CS_Variable::operator int(): can't convert to int");
    }
}

float Variable::ToFloat() const {
    if (type_ == VarType::Int) return static_cast<float>(i_);
    if (type_ == VarType::Float) return f_;
    Raise("CS_Variable::operator float(): can't convert  to float");
}

const char* Variable::ToText() const {
    if (type_ == VarType::Int && i_ == 0) return nullptr;
    if (type_ == VarType::String) return s_.c_str();
    Raise("CS_Variable::operator const char*(): can't convert to const char*");
}

void* Variable::ToPointer() const {
    if (type_ == VarType::Int && i_ == 0) return nullptr;
    if (type_ == VarType::Pointer) return p_;
    Raise("CS_Variable::operator const void*(): can't convert %s to const void*");
}

void Variable::Print() const {
    switch (type_) {
        case VarType::Void: std::printf("void\n"); return;
        case VarType::Int: std::printf("int: %d\n", i_); return;
        case VarType::Float: std::printf("float: %g\n", static_cast<double>(f_)); return;
        case VarType::Pointer:
            if (class_id_)
                std::printf("pointer: %p %s\n", p_, class_id_->name);
            else
                std::printf("pointer: %p\n", p_);
            return;
        case VarType::String: {
            std::string out = "string: \"";
            for (char c : s_.View()) {
                switch (c) {
                    case '\b': out += "\\b"; break;
                    case '\f': out += "\\f"; break;
                    case '\n': out += "\\n"; break;
                    case '\r': out += "\\r"; break;
                    case '\t': out += "\\t"; break;
                    case '"': out += "\\\""; break;
                    case '\v': out += "\\v"; break;
                    case '\a': out += "\\a"; break;
                    case '\\': out += "\\\\"; break;
                    default: out += c;
                }
            }
            out += "\"\n";
            std::fwrite(out.data(), 1, out.size(), stdout);
            return;
        }
    }
    Raise("CS_Variable::print(): unknown type of CS_Variable");
}

namespace {

bool IsNumber(const Variable& v) {
    return v.type() == VarType::Int || v.type() == VarType::Float;
}

int32_t WrapAdd(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
int32_t WrapSub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
int32_t WrapMul(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

int32_t Remainder(int32_t a, int32_t b) {
    if (b == 0) Raise("CS_Variable::operator%(): division by zero");
    if (b == -1) return 0;  // INT32_MIN % -1 traps on x86
    return a % b;
}

// A script string longer than this is a runaway loop, not data: the mail it works on is
// limited far below it.
constexpr size_t kMaxStringLength = 64u << 20;

void CheckLength(size_t a, size_t b) {
    if (a + b > kMaxStringLength) Raise("CS_Variable::operator+(): string too long");
}

void AppendNumberText(common::String& s, const Variable& v) {
    char buf[64];
    if (v.type() == VarType::Int)
        std::snprintf(buf, sizeof buf, "%d", v.int_value());
    else
        std::snprintf(buf, sizeof buf, "%g", static_cast<double>(v.float_value()));
    s.Append(buf);
}

std::string_view TextOf(const Variable& v) {
    return v.string_value().View();
}

}  // namespace

bool Equal(const Variable& a, const Variable& b) {
    VarType ta = a.type(), tb = b.type();
    if (ta == VarType::Int && tb == VarType::Int) return a.int_value() == b.int_value();
    if (IsNumber(a) && IsNumber(b)) return std::fabs(a.ToFloat() - b.ToFloat()) < 1e-6f;
    if (ta == VarType::String && tb == VarType::String) return a.has_text() && b.has_text() && TextOf(a) == TextOf(b);
    if (ta == VarType::Pointer && tb == VarType::Pointer) return a.pointer_value() == b.pointer_value();
    if (ta == VarType::Pointer && tb == VarType::Int)
        return reinterpret_cast<intptr_t>(a.pointer_value()) == static_cast<intptr_t>(b.int_value());
    if (ta == VarType::Int && tb == VarType::Pointer)
        return reinterpret_cast<intptr_t>(b.pointer_value()) == static_cast<intptr_t>(a.int_value());
    Raise("CS_Variable::operator==(): bad operands");
}

bool NotEqual(const Variable& a, const Variable& b) {
    VarType ta = a.type(), tb = b.type();
    bool comparable =
        (IsNumber(a) && IsNumber(b)) || (ta == VarType::String && tb == VarType::String) ||
        ((ta == VarType::Pointer || ta == VarType::Int) && (tb == VarType::Pointer || tb == VarType::Int));
    if (!comparable) Raise("CS_Variable::operator!=(): bad operands %s and %s");
    return !Equal(a, b);
}

bool Ordered(BinOp op, const Variable& a, const Variable& b) {
    int cmp;
    if (a.type() == VarType::Int && b.type() == VarType::Int) {
        cmp = a.int_value() < b.int_value() ? -1 : a.int_value() > b.int_value() ? 1 : 0;
    } else if (IsNumber(a) && IsNumber(b)) {
        float x = a.ToFloat(), y = b.ToFloat();
        cmp = x < y ? -1 : x > y ? 1 : 0;
        if (std::isnan(x) || std::isnan(y)) return false;
    } else if (a.type() == VarType::String && b.type() == VarType::String) {
        std::string_view x = TextOf(a), y = TextOf(b);  // an absent text reads as empty
        int c = std::memcmp(x.data(), y.data(), std::min(x.size(), y.size()));
        cmp = c != 0 ? (c < 0 ? -1 : 1) : (x.size() < y.size() ? -1 : x.size() > y.size() ? 1 : 0);
    } else {
        switch (op) {
            case BinOp::Lt: Raise("CS_Variable::operator<(): bad operands");
            case BinOp::Le: Raise("CS_Variable::operator<=(): bad operands");
            case BinOp::Gt: Raise("CS_Variable::operator>(): bad operands");
            default: Raise("CS_Variable::operator>=(): bad operands");
        }
    }
    switch (op) {
        case BinOp::Lt: return cmp < 0;
        case BinOp::Le: return cmp <= 0;
        case BinOp::Gt: return cmp > 0;
        default: return cmp >= 0;
    }
}

void ApplyBinary(BinOp op, Variable& l, const Variable& r) {
    const bool ints = l.type() == VarType::Int && r.type() == VarType::Int;
    const bool nums = IsNumber(l) && IsNumber(r);
    switch (op) {
        case BinOp::Mul:
            if (ints) return l.SetInt(WrapMul(l.int_value(), r.int_value()));
            if (nums) return l.SetFloat(l.ToFloat() * r.ToFloat());
            Raise("CS_Variable::operator*(): bad operands");
        case BinOp::Sub:
            if (ints) return l.SetInt(WrapSub(l.int_value(), r.int_value()));
            if (nums) return l.SetFloat(l.ToFloat() - r.ToFloat());
            Raise("CS_Variable::operator-(): bad operands");
        case BinOp::Div:
            if (nums) return l.SetFloat(l.ToFloat() / r.ToFloat());
            Raise("CS_Variable::operator/(): bad operands");
        case BinOp::Mod:
            if (nums) return l.SetInt(Remainder(l.ToInt(), r.ToInt()));
            Raise("CS_Variable::operator%(): bad operands");
        case BinOp::Add:
            if (ints) return l.SetInt(WrapAdd(l.int_value(), r.int_value()));
            if (nums) return l.SetFloat(l.ToFloat() + r.ToFloat());
            if (l.type() == VarType::String) {
                if (r.type() == VarType::String) {
                    CheckLength(TextOf(l).size(), TextOf(r).size());
                    l.string_value().Append(TextOf(r));
                    l.MarkHasText();
                    return;
                }
                if (IsNumber(r)) {
                    AppendNumberText(l.string_value(), r);
                    l.MarkHasText();
                    return;
                }
            } else if (IsNumber(l) && r.type() == VarType::String) {
                common::String s;
                AppendNumberText(s, l);
                CheckLength(s.View().size(), TextOf(r).size());
                s.Append(TextOf(r));
                l.SetString(s.View());
                return;
            }
            Raise("CS_Variable::operator+(): bad operands");
        case BinOp::BitAnd:
            if (ints) return l.SetInt(l.int_value() & r.int_value());
            Raise("CS_Variable::operator&(): bad operands");
        case BinOp::BitOr:
            if (ints) return l.SetInt(l.int_value() | r.int_value());
            Raise("CS_Variable::operator|(): bad operands");
        case BinOp::And:
            if (ints) return l.SetInt(l.int_value() != 0 && r.int_value() != 0);
            Raise("CS_Variable::operator&&(): bad operands");
        case BinOp::Or:
            if (ints) return l.SetInt(l.int_value() != 0 || r.int_value() != 0);
            Raise("CS_Variable::operator||(): bad operands");
        case BinOp::Xor: return l.SetInt(l.ToInt() ^ r.ToInt());
        case BinOp::Eq: return l.SetInt(Equal(l, r));
        case BinOp::Ne: return l.SetInt(NotEqual(l, r));
        case BinOp::Le:
        case BinOp::Ge:
        case BinOp::Lt:
        case BinOp::Gt: return l.SetInt(Ordered(op, l, r));
    }
}

}  // namespace script
