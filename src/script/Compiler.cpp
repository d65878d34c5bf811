#include "script/Compiler.h"

#include <cstdlib>
#include <cstring>

#include "script/Lexer.h"
#include "script/Opcodes.h"

namespace script {

namespace {

// Statements and expressions nest at most this deep: deeper text is hostile or broken, and the
// recursive compiler must not run out of native stack on it.
constexpr int kMaxNesting = 200;

struct Nest {
    explicit Nest(int& depth) : depth_(depth) {
        if (++depth_ > kMaxNesting) Raise("CS_Scripting::PR() = statements nested too deep");
    }
    ~Nest() { --depth_; }
    int& depth_;
};

bool BuiltinType(const std::string& word, VarType* t) {
    return TypeFromName(word, t);
}

// The view of a block read by ReadBlock, inside `t` (so locations stay exact).
std::string_view BlockView(std::string_view t, size_t& pos, char open, char close) {
    size_t start = pos;
    lex::ReadBlock(t, pos, open, close, 1u << 30);
    size_t end = pos > start && pos <= t.size() && t[pos - 1] == close ? pos - 1 : pos;
    return t.substr(start, end - start);
}

// The view of one statement read by ReadStatement, inside `t`.
std::string_view StatementView(std::string_view t, size_t& pos) {
    lex::SkipBlanks(t, pos);
    size_t start = pos;
    lex::ReadStatement(t, pos);
    return t.substr(start, pos - start);
}

std::string_view TrimView(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\n')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n')) s.remove_suffix(1);
    return s;
}

// The statement's text without its final ";".
std::string_view WithoutSemicolon(std::string_view s) {
    s = TrimView(s);
    if (!s.empty() && s.back() == ';') s.remove_suffix(1);
    return TrimView(s);
}

struct OpInfo {
    const char* text;
    int prio;
    Op op;
};

constexpr OpInfo kBinaryOps[] = {
    {"&&", 2, AND}, {"||", 2, OR},    {"==", 4, EQ},   {"!=", 4, NE}, {"<=", 4, LE}, {">=", 4, GE},
    {"*", 6, MUL},  {"/", 6, DIV},    {"%", 6, MOD},   {"+", 5, ADD}, {"-", 5, SUB}, {"<", 4, LT},
    {">", 4, GT},   {"&", 3, BITAND}, {"|", 3, BITOR}, {"^", 3, XOR},
};

constexpr std::string_view kOperatorChars = "+-*/%!=<>&|^";

// The arithmetic of a compound assignment ("+=", "-=", "*=", "/=", "%="); NOP for any other text.
Op CompoundOp(std::string_view op) {
    if (op.size() != 2 || op[1] != '=') return NOP;
    switch (op[0]) {
        case '+': return ADD;
        case '-': return SUB;
        case '*': return MUL;
        case '/': return DIV;
        case '%': return MOD;
        default: return NOP;
    }
}

}  // namespace

struct Compiler::Lookup {
    NameKind kind;
    NameSpace* ns;
    int index;
    int32_t ref() const { return MakeRef(ns->id(), index); }
};

void Compiler::SetLocation(const char* at) {
    if (at < full_.data() || at > full_.data() + full_.size()) return;
    size_t off = static_cast<size_t>(at - full_.data());
    statement_at_ = static_cast<uint32_t>(off);
    size_t begin = full_.rfind('\n', off == 0 ? 0 : off - 1);
    begin = (begin == std::string_view::npos || off == 0) ? 0 : begin + 1;
    if (off < full_.size() && full_[off] == '\n') begin = off;
    size_t end = full_.find('\n', off);
    if (end == std::string_view::npos) end = full_.size();
    std::string line(full_.substr(begin, std::min<size_t>(end - begin, 1023)));
    in_.location_ = lex::Trim(line);
    in_.location_offset_ = off;  // named as FILE:LINE only if the compile fails
}

NameSpace* Compiler::Child(NameSpace* ns, bool loop) {
    NameSpace* child = in_.NewNamespace(ns);
    child->loop = loop;
    return child;
}

bool Compiler::Find(NameSpace* ns, const std::string& name, Lookup* out) const {
    std::string key = name;
    NameSpace* at = ns;
    if (key.rfind("::", 0) == 0) {
        key = key.substr(2);
        at = in_.global_;
    }
    for (; at; at = at->parent()) {
        NameKind kind;
        int index;
        if (at->FindLocal(key, &kind, &index)) {
            *out = Lookup{kind, at, index};
            return true;
        }
    }
    return false;
}

int32_t Compiler::Constant(NameSpace* ns, const Variable& v) {
    return MakeRef(ns->id(), ns->AddConstant(v));
}

void Compiler::CompileAll(NameSpace* ns) {
    Statements(full_, ns);
}

void Compiler::Statements(std::string_view t, NameSpace* ns) {
    size_t pos = 0;
    while (!lex::AtEnd(t, pos)) Statement(t, pos, ns);
}

// statement: { ... } | ; | TYPE ... | if | while | do | for | break | continue | return | delete | NAME ...
void Compiler::Statement(std::string_view t, size_t& pos, NameSpace* ns) {
    Nest nest(depth_);
    lex::SkipBlanks(t, pos);
    if (pos >= t.size()) return;
    SetLocation(t.data() + pos);
    char c = t[pos];
    if (c == '{') {
        ++pos;
        std::string_view block = BlockView(t, pos, '{', '}');
        Statements(block, Child(ns, false));
        return;
    }
    if (c == ';') {
        ++pos;
        return;
    }
    if (!lex::IsNameStart(c)) RaiseF("CS_Scripting::PR() = unknown symbol '%c'", c);
    size_t word_start = pos;
    std::string word = lex::ReadName(t, pos, lex::kBlockMax);
    VarType type;
    if (BuiltinType(word, &type)) return Declaration(t, pos, ns, type, word);
    if (word == "if") return If(t, pos, ns);
    if (word == "while") return While(t, pos, ns);
    if (word == "do") return Do(t, pos, ns);
    if (word == "for") return For(t, pos, ns);
    if (word == "break") return BreakContinue(t, pos, ns, true);
    if (word == "continue") return BreakContinue(t, pos, ns, false);
    if (word == "return") return Return(t, pos, ns);
    if (word == "delete") return Delete(t, pos, ns);
    Lookup shadow;
    if (in_.ExternClassIndex(word) >= 0 && !Find(ns, word, &shadow)) {
        // CLASS name(params) { body } defines a function that returns an object of the class.
        size_t probe = pos;
        lex::SkipBlanks(t, probe);
        if (probe < t.size() && lex::IsNameStart(t[probe])) {
            std::string fname = lex::ReadName(t, probe);
            if (lex::GetSymbol(t, probe) == '(') {
                pos = probe;
                return Function(t, pos, ns, fname, word);
            }
        }
    }
    NameStatement(t, pos, ns, word_start);
}

// TYPE name(params) { body } | TYPE name[, name = e, name[n] = {...}];
void Compiler::Declaration(std::string_view t, size_t& pos, NameSpace* ns, VarType type, const std::string& type_name) {
    size_t after_type = pos;
    lex::SkipBlanks(t, pos);
    if (pos < t.size() && lex::IsNameStart(t[pos])) {
        std::string name = lex::ReadName(t, pos);
        if (lex::GetSymbol(t, pos) == '(') return Function(t, pos, ns, name, type_name);
    }
    pos = after_type;
    std::string_view stmt = WithoutSemicolon(StatementView(t, pos));
    if (stmt.empty()) Raise("CS_Scripting::PR_variable() = empty string");
    for (const std::string& item : lex::SplitArgs(stmt)) {
        std::string_view it = TrimView(item);
        if (it.empty()) Raise("CS_Scripting::PR_variable() = empty string");
        size_t p = 0;
        lex::ReadName(it, p);
        lex::SkipBlanks(it, p);
        if (p < it.size() && it[p] == '[')
            ArrayItem(it, ns, type);
        else
            VariableItem(it, ns, type);
    }
}

// name | name = expression
void Compiler::VariableItem(std::string_view item, NameSpace* ns, VarType type) {
    size_t p = 0;
    std::string name = lex::ReadName(item, p);
    int index = ns->AddVariable(name, type);
    lex::SkipBlanks(item, p);
    if (p >= item.size()) return;
    if (item[p] != '=' || (p + 1 < item.size() && item[p + 1] == '='))
        RaiseF("CS_Scripting::PR_variable() = unknown token '%c' after \"%s\"", item[p], name.c_str());
    Expression(item.substr(p + 1), ns);
    Emit(STORE, MakeRef(ns->id(), index));
}

// name[size] | name[] [= { v, ... } | = { key: v, ... }]
void Compiler::ArrayItem(std::string_view item, NameSpace* ns, VarType type) {
    size_t p = 0;
    std::string name = lex::ReadName(item, p);
    lex::ExpectSymbol(item, p, '[');
    std::string_view size = TrimView(BlockView(item, p, '[', ']'));
    int index = ns->AddArray(name, type);
    int32_t ref = MakeRef(ns->id(), index);
    if (size.empty())
        Emit(PUSH_CONST, Constant(ns, Variable(int32_t{0})));
    else
        Expression(size, ns);
    Emit(ARRAY_NEW, ref);
    lex::SkipBlanks(item, p);
    if (p >= item.size()) return;
    if (item[p] != '=') RaiseF("CS_Scripting::PR_variable() = unknown token '%c' after \"%s\"", item[p], name.c_str());
    ++p;
    lex::ExpectSymbol(item, p, '{');
    std::string_view init = BlockView(item, p, '{', '}');
    if (TrimView(init).empty()) return;
    int32_t position = 0;
    for (const std::string& element : lex::SplitArgs(init)) {
        std::string_view e = TrimView(element);
        // "key: value": the first ":" outside quotes that is not part of a "::" name.
        size_t colon = std::string_view::npos;
        for (size_t i = 0; i < e.size(); ++i) {
            if (e[i] == '"' || e[i] == '\'') {
                i = lex::SkipQuoted(e, i) - 1;
                continue;
            }
            if (e[i] == ':' && (i + 1 >= e.size() || e[i + 1] != ':') && (i == 0 || e[i - 1] != ':')) {
                colon = i;
                break;
            }
        }
        if (colon != std::string_view::npos) {
            std::string_view key = TrimView(e.substr(0, colon));
            std::string_view value = TrimView(e.substr(colon + 1));
            if (value.empty())
                RaiseF("CS_Scripting::PR_variable() = bad value for \"%s\" key", std::string(key).c_str());
            Expression(value, ns);
            Expression(key, ns);
        } else {
            if (e.empty()) Raise("CS_Scripting::PR_variable() = empty string");
            Expression(e, ns);
            Emit(PUSH_CONST, Constant(ns, Variable(position++)));
        }
        Emit(ARRAY_STORE, ref);
    }
}

// TYPE name(TYPE a, TYPE b[], CLASS c) { body }
void Compiler::Function(std::string_view t, size_t& pos, NameSpace* ns, const std::string& name,
                        const std::string& ret) {
    lex::ExpectSymbol(t, pos, '(');
    std::string_view params = BlockView(t, pos, '(', ')');
    int32_t skip = EmitJump(JMP);
    int findex = ns->AddFunction(name, ret);
    NameSpace* body = Child(ns, false);
    ns->functions[static_cast<size_t>(findex)].body = body;

    struct Param {
        std::string name, type;
        NameKind kind;
        int index;
    };
    std::vector<Param> list;
    if (!TrimView(params).empty()) {
        for (const std::string& raw : lex::SplitArgs(params)) {
            std::string_view p = TrimView(raw);
            size_t q = 0;
            lex::SkipBlanks(p, q);
            if (q >= p.size() || !lex::IsNameStart(p[q]))
                RaiseF("CS_Scripting::PR_function() = can't read argument type in \"%s\" function", name.c_str());
            std::string type = lex::ReadName(p, q);
            lex::SkipBlanks(p, q);
            if (q >= p.size() || !lex::IsNameStart(p[q]))
                RaiseF("CS_Scripting::PR_function() = can't read argument name in \"%s\" function", name.c_str());
            std::string pname = lex::ReadName(p, q);
            lex::SkipBlanks(p, q);
            bool is_array = q < p.size() && p[q] == '[';
            VarType vt;
            Param param{pname, type, NameKind::Variable, 0};
            if (BuiltinType(type, &vt)) {
                if (vt == VarType::Void)
                    RaiseF("CS_Scripting::PR_function(): void argument in \"%s\" function", name.c_str());
                if (is_array) {
                    param.kind = NameKind::Array;
                    param.index = body->AddArray(pname, vt);
                    param.type = type + "[]";
                } else {
                    param.index = body->AddVariable(pname, vt);
                }
            } else {
                int cls = in_.ExternClassIndex(type);
                if (cls < 0) RaiseF("CS_Scripting::getexternclasstype(): can't find \"%s\" class", type.c_str());
                param.kind = NameKind::Object;
                param.index = body->AddObject(pname, cls, in_.ExternClass(cls)->AddSlot());
            }
            list.push_back(param);
        }
    }
    NSFunction& fn = ns->functions[static_cast<size_t>(findex)];
    fn.address = Here();
    for (const Param& p : list) fn.args.push_back({p.name, p.type, Variable()});
    for (const Param& p : list) {
        int32_t ref = MakeRef(body->id(), p.index);
        Emit(p.kind == NameKind::Variable ? STORE : p.kind == NameKind::Array ? ARRAY_BIND : OBJ_ASSIGN, ref);
    }
    lex::ExpectSymbol(t, pos, '{');
    std::string_view code = BlockView(t, pos, '{', '}');
    Statements(code, body);
    Emit(PUSH_CONST, Constant(body, Variable(int32_t{0})));
    Emit(END);
    Patch(skip, Here());
}

// if (condition) statement [else statement]
void Compiler::If(std::string_view t, size_t& pos, NameSpace* ns) {
    NameSpace* scope = Child(ns, false);
    lex::ExpectSymbol(t, pos, '(');
    Expression(BlockView(t, pos, '(', ')'), scope);
    int32_t to_else = EmitJump(JZ);
    Statement(t, pos, scope);
    size_t save = pos;
    if (lex::ReadToken(t, pos) == "else") {
        int32_t to_end = EmitJump(JMP);
        Patch(to_else, Here());
        Statement(t, pos, scope);
        Patch(to_end, Here());
    } else {
        pos = save;
        Patch(to_else, Here());
    }
}

// while (condition) statement
void Compiler::While(std::string_view t, size_t& pos, NameSpace* ns) {
    NameSpace* loop = Child(ns, true);
    int32_t start = Here();
    lex::ExpectSymbol(t, pos, '(');
    Expression(BlockView(t, pos, '(', ')'), loop);
    int32_t to_end = EmitJump(JZ);
    Statement(t, pos, loop);
    Emit(JMP, start);
    Patch(to_end, Here());
    for (int32_t b : loop->break_list) Patch(b, Here());
    for (int32_t c : loop->continue_list) Patch(c, start);
}

// do statement while (condition);
void Compiler::Do(std::string_view t, size_t& pos, NameSpace* ns) {
    NameSpace* loop = Child(ns, true);
    int32_t start = Here();
    Statement(t, pos, loop);
    size_t at = pos;
    std::string word = lex::ReadToken(t, pos);
    if (word != "while") {
        pos = at;
        RaiseF("CS_Scripting::expectsymbol() = expecting \"%s\" but have \"%s\" token", "while", word.c_str());
    }
    int32_t condition = Here();
    lex::ExpectSymbol(t, pos, '(');
    Expression(BlockView(t, pos, '(', ')'), loop);
    Emit(JNZ, start);
    lex::ExpectSymbol(t, pos, ';');
    for (int32_t b : loop->break_list) Patch(b, Here());
    for (int32_t c : loop->continue_list) Patch(c, condition);
}

// for (initial; condition; step) statement
void Compiler::For(std::string_view t, size_t& pos, NameSpace* ns) {
    NameSpace* loop = Child(ns, true);
    lex::ExpectSymbol(t, pos, '(');
    std::string_view head = BlockView(t, pos, '(', ')');
    // Split the head at its two top-level ";".
    std::vector<std::string_view> parts;
    int depth = 0;
    size_t start = 0;
    for (size_t i = 0; i < head.size(); ++i) {
        char c = head[i];
        if (c == '"' || c == '\'') {
            i = lex::SkipQuoted(head, i) - 1;
            continue;
        }
        if (c == '(') ++depth;
        if (c == ')') --depth;
        if (c == ';' && depth == 0) {
            parts.push_back(head.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(head.substr(start));
    if (parts.size() != 3) Raise("CS_Scripting::PR() = for statement needs (initial; condition; step)");
    // The initial and step parts are statements without their ";".
    std::string init = std::string(TrimView(parts[0]));
    if (!init.empty()) {
        std::string s = init + ";";
        Statements(s, loop);
    }
    int32_t cond = Here();
    int32_t to_end = -1;
    if (!TrimView(parts[1]).empty()) {
        Expression(parts[1], loop);
        to_end = EmitJump(JZ);
    }
    Statement(t, pos, loop);
    int32_t step = Here();
    std::string step_text = std::string(TrimView(parts[2]));
    if (!step_text.empty()) {
        std::string s = step_text + ";";
        Statements(s, loop);
    }
    Emit(JMP, cond);
    if (to_end >= 0) Patch(to_end, Here());
    for (int32_t b : loop->break_list) Patch(b, Here());
    for (int32_t c : loop->continue_list) Patch(c, step);
}

void Compiler::BreakContinue(std::string_view t, size_t& pos, NameSpace* ns, bool is_break) {
    lex::ExpectSymbol(t, pos, ';');
    NameSpace* loop = ns;
    while (loop && !loop->loop) {
        // A function body ends the search: a loop around the definition is not ours.
        NameSpace* parent = loop->parent();
        bool is_body = false;
        if (parent)
            for (const NSFunction& f : parent->functions)
                if (f.body == loop) is_body = true;
        loop = is_body ? nullptr : parent;
    }
    if (!loop) {
        if (is_break) Raise("CS_Scripting::PR() = break statement not within loop");
        Raise("CS_Scripting::PR(): continue statement not within loop");
    }
    int32_t at = EmitJump(JMP);
    (is_break ? loop->break_list : loop->continue_list).push_back(at);
}

void Compiler::Return(std::string_view t, size_t& pos, NameSpace* ns) {
    std::string_view e = WithoutSemicolon(StatementView(t, pos));
    if (e.empty())
        Emit(PUSH_CONST, Constant(ns, Variable(int32_t{0})));
    else
        Expression(e, ns);
    Emit(END);
}

void Compiler::Delete(std::string_view t, size_t& pos, NameSpace* ns) {
    std::string_view e = WithoutSemicolon(StatementView(t, pos));
    Lookup found;
    if (e.empty() || !Find(ns, std::string(e), &found) || found.kind != NameKind::Object)
        Raise("CS_Scripting::PR() = bad delete argument");
    Emit(DESTRUCT, found.ref());
}

// A statement that starts with a name: assignment, call, object declaration or method call.
// NAME = e; NAME++; NAME--; NAME op= e;
void Compiler::VariableAssignment(std::string_view rest, NameSpace* ns, int32_t ref, const std::string& name) {
    if (!rest.empty() && rest[0] == '.')
        RaiseF("CS_Scripting::swizzle() =  unknown dot ... only pointer (class)-> \"%s\"", name.c_str());
    size_t q = 0;
    std::string op = lex::ReadToken(rest, q, kOperatorChars, 16);
    std::string_view e = rest.substr(q);
    if (op == "=") {
        Expression(e, ns);
        Emit(STORE, ref);
    } else if (op == "++" && TrimView(e).empty()) {
        Emit(INC_VAR, ref);
    } else if (op == "--" && TrimView(e).empty()) {
        Emit(DEC_VAR, ref);
    } else if (CompoundOp(op) != NOP) {
        Emit(PUSH_VAR, ref);
        Expression(e, ns);
        Emit(CompoundOp(op));
        Emit(STORE, ref);
    } else {
        RaiseF("CS_Scripting::PR(): unknown operation \"%s\" for varaible", op.c_str());
    }
}

// NAME[i] = e; NAME[i]++; NAME[i] op= e; NAME = other array (a binding);
void Compiler::ArrayAssignment(std::string_view rest, NameSpace* ns, int32_t ref) {
    if (!rest.empty() && rest[0] == '[') {
        size_t q = 1;
        std::string_view index = BlockView(rest, q, '[', ']');
        std::string_view after = rest.substr(q);
        size_t r = 0;
        std::string op = lex::ReadToken(after, r, kOperatorChars, 16);
        std::string_view e = after.substr(r);
        if (op == "=") {
            Expression(e, ns);
            Expression(index, ns);
            Emit(ARRAY_STORE, ref);
        } else if ((op == "++" || op == "--") && TrimView(e).empty()) {
            Expression(index, ns);
            Emit(DUP);
            Emit(ARRAY_LOAD, ref);
            Emit(op == "++" ? INC : DEC);
            Emit(SWAP);
            Emit(ARRAY_STORE, ref);
        } else if (CompoundOp(op) != NOP) {
            Expression(index, ns);
            Emit(DUP);
            Emit(ARRAY_LOAD, ref);
            Expression(e, ns);
            Emit(CompoundOp(op));
            Emit(SWAP);
            Emit(ARRAY_STORE, ref);
        } else {
            RaiseF("CS_Scripting::PR() = unknown operation \"%s\" for array variable", op.c_str());
        }
    } else {
        size_t q = 0;
        std::string op = lex::ReadToken(rest, q, kOperatorChars, 16);
        if (op != "=") RaiseF("CS_Scripting::PR() = unknown operation \"%s\" for array", op.c_str());
        Expression(rest.substr(q), ns);
        Emit(ARRAY_BIND, ref);
    }
}

void Compiler::NameStatement(std::string_view t, size_t& pos, NameSpace* ns, size_t word_start) {
    pos = word_start;
    std::string_view stmt = WithoutSemicolon(StatementView(t, pos));
    size_t p = 0;
    std::string name = lex::ReadName(stmt, p, lex::kBlockMax);
    lex::SkipBlanks(stmt, p);
    std::string_view rest = stmt.substr(p);

    Lookup found;
    bool script_name = Find(ns, name, &found);
    if (script_name && found.kind == NameKind::Variable) return VariableAssignment(rest, ns, found.ref(), name);
    if (script_name && found.kind == NameKind::Array) return ArrayAssignment(rest, ns, found.ref());
    if (script_name && found.kind == NameKind::Object) {
        const NSExternClass& obj = found.ns->objects[static_cast<size_t>(found.index)];
        return ObjectStatement(rest, ns, found.ref(), obj.class_index, name);
    }
    if (script_name && found.kind == NameKind::Function) {
        if (rest.empty() || rest[0] != '(') RaiseF("CS_Scripting::PR() = unknown token \"%s\"", name.c_str());
        Expression(stmt, ns);
        Emit(POP);
        return;
    }
    if (in_.variable_index_.count(name)) Raise("CS_Scripting::PR(): extern variables is readonly");
    int cls = in_.ExternClassIndex(name);
    if (cls >= 0) {
        return ObjectDeclaration(rest, ns, cls, name);
    }
    if (in_.function_index_.count(name)) {
        if (rest.empty() || rest[0] != '(') RaiseF("CS_Scripting::PR() = unknown token \"%s\"", name.c_str());
        Expression(stmt, ns);
        Emit(POP);
        return;
    }
    RaiseF("CS_Scripting::PR() = unknown token \"%s\"", name.c_str());
}

// CLASS name; | CLASS name = new CLASS(args); | CLASS name = expression;
void Compiler::ObjectDeclaration(std::string_view rest, NameSpace* ns, int class_index, const std::string& class_name) {
    if (TrimView(rest).empty()) Raise("CS_Scripting::PR_class() = empty string");
    size_t p = 0;
    std::string name = lex::ReadName(rest, p);
    int index = ns->AddObject(name, class_index, in_.ExternClass(class_index)->AddSlot());
    int32_t ref = MakeRef(ns->id(), index);
    lex::SkipBlanks(rest, p);
    if (p >= rest.size()) return;
    if (rest[p] != '=') RaiseF("CS_Scripting::PR_class() = unknown token '%c' after \"%s\"", rest[p], name.c_str());
    ++p;
    size_t q = p;
    if (lex::ReadToken(rest, q) == "new") {
        size_t r = q;
        std::string cls = lex::ReadName(rest, r);
        if (cls != class_name) RaiseF("CS_Scripting::PR_class() = bad \"%s\" class constructor", cls.c_str());
        return Construct(rest.substr(r), ns, ref, class_index, cls);
    }
    Expression(rest.substr(p), ns);
    Emit(OBJ_ASSIGN, ref);
}

// name = new CLASS(args); | name = expression; | name.method(args); | name->method(args);
void Compiler::ObjectStatement(std::string_view rest, NameSpace* ns, int32_t ref, int class_index,
                               const std::string& name) {
    size_t p = 0;
    lex::SkipBlanks(rest, p);
    if (p < rest.size() && rest[p] == '=' && (p + 1 >= rest.size() || rest[p + 1] != '=')) {
        ++p;
        size_t q = p;
        if (lex::ReadToken(rest, q) == "new") {
            size_t r = q;
            std::string cls = lex::ReadName(rest, r);
            if (cls != in_.ExternClassName(class_index))
                RaiseF("CS_Scripting::PR_class(): bad \"%s\" class constructor", cls.c_str());
            return Construct(rest.substr(r), ns, ref, class_index, cls);
        }
        Expression(rest.substr(p), ns);
        Emit(OBJ_ASSIGN, ref);
        return;
    }
    if (p < rest.size() && (rest[p] == '.' || rest.substr(p, 2) == "->")) {
        // A method call as a statement: compile it as an expression and drop its result.
        Expression(std::string(name) + std::string(rest), ns);
        Emit(POP);
        return;
    }
    RaiseF("CS_Scripting::PR(): unknown operation '%c'", p < rest.size() ? rest[p] : ' ');
}

void Compiler::Construct(std::string_view after_new, NameSpace* ns, int32_t ref, int class_index, const std::string&) {
    size_t p = 0;
    lex::ExpectSymbol(after_new, p, '(');
    std::string_view args = BlockView(after_new, p, '(', ')');
    ExternClassBase* cls = in_.ExternClass(class_index);
    Arguments(args, ns, cls->ConstructorArgc(), cls->ConstructorDefaults(), false);
    Emit(CONSTRUCT, ref);
}

// Compiles call arguments from the last to the first, filling defaults for native calls.
void Compiler::Arguments(std::string_view args, NameSpace* ns, int argc, const std::string& defaults, bool script_fn) {
    std::vector<std::string> given;
    if (!TrimView(args).empty()) given = lex::SplitArgs(args);
    for (const std::string& a : given)
        if (a.size() > lex::kBlockMax) Raise("CS_Scripting::RD_block(): buffer overflow");
    std::vector<std::string> defs;
    bool variadic = false;
    if (!script_fn && !defaults.empty()) {
        defs = lex::SplitArgs(defaults);
        for (std::string& d : defs) d = lex::Trim(d);
        if (!defs.empty() && defs.back() == "...") {
            variadic = true;
            defs.pop_back();
        }
        if (static_cast<int>(defs.size()) > argc) Raise("CS_Scripting::PR_args() = too many default arguments");
    }
    std::vector<std::string> all = given;
    if (static_cast<int>(given.size()) > argc) {
        if (!variadic) {
            if (script_fn) Raise("CS_Scripting::PR_args() = too many arguments");
            Raise("CS_Scripting::PR_args() = it isn't a function with the variable number of arguments");
        }
    } else {
        for (int i = static_cast<int>(given.size()); i < argc; ++i) {
            if (script_fn || static_cast<size_t>(i) >= defs.size())
                Raise("CS_Scripting::PR_args() = too few arguments");
            if (defs[static_cast<size_t>(i)].empty()) {
                if (i == static_cast<int>(given.size())) Raise("CS_Scripting::PR_args() = too few arguments");
                RaiseF("CS_Scripting::PR_args() = can't read %d default argument", i);
            }
            all.push_back(defs[static_cast<size_t>(i)]);
        }
    }
    for (size_t i = all.size(); i-- > 0;) {
        if (TrimView(all[i]).empty()) Raise("CS_Scripting::PR_expression() = error before \",\"");
        Expression(all[i], ns);
    }
}

// ---- expressions ------------------------------------------------------------------------

void Compiler::Expression(std::string_view e, NameSpace* ns) {
    Nest nest(depth_);
    struct Pending {
        int prio;  // 1 = "(" marker
        Op op;
    };
    Stack<Pending> stack(1024);
    auto flush_while = [&](int prio) {
        while (stack.depth() > 0 && stack.top().prio >= prio && stack.top().prio != 1) Emit(stack.pop().op);
    };
    const std::string text = lex::Trim(e);  // as shown in diagnostics
    size_t pos = 0;
    bool expect_operand = true;
    bool any = false;
    while (!lex::AtEnd(e, pos)) {
        char c = e[pos];
        any = true;
        if (expect_operand) {
            if (c == '(') {
                stack.push({1, NOP});
                ++pos;
                continue;
            }
            if (c == '!' && !(pos + 1 < e.size() && e[pos + 1] == '=')) {
                stack.push({7, NOT});
                ++pos;
                continue;
            }
            if (c == '-') {
                stack.push({7, NEG});
                ++pos;
                continue;
            }
            if (c == '+') {
                ++pos;
                continue;
            }
            if (c == '*' || c == '/' || c == '%')
                RaiseF("CS_Scripting::PR_expression() = bad unary operator '%c' in \"%s\" expression", c, text.c_str());
            if (c == ')') Raise("CS_Scripting::PR_expression() = error before \")\"");
            Operand(e, pos, ns);
            expect_operand = false;
            continue;
        }
        if (c == ')') {
            flush_while(2);
            if (stack.depth() == 0) Raise("CS_Scripting::PR_expression() = error before \")\"");
            stack.pop();  // the "(" marker
            ++pos;
            continue;
        }
        if (kOperatorChars.find(c) == std::string_view::npos) {
            if (c == '(') Raise("CS_Scripting::PR_expression() = error before \"(\"");
            std::string token = lex::ReadToken(e, pos);
            if (token.empty())
                RaiseF("CS_Scripting::PR_expression(): unknown token '%c' in \"%s\" expression", c, text.c_str());
            RaiseF("CS_Scripting::PR_expression() = unknown token \"%s\" in \"%s\" expression", token.c_str(),
                   text.c_str());
        }
        const OpInfo* found = nullptr;
        for (const OpInfo& o : kBinaryOps) {
            size_t n = std::strlen(o.text);
            if (e.substr(pos, n) == o.text && (!found || n > std::strlen(found->text))) found = &o;
        }
        if (!found) RaiseF("CS_Scripting::PR_expression() = unknown token '%c' in \"%s\" expression", c, text.c_str());
        pos += std::strlen(found->text);
        flush_while(found->prio);
        stack.push({found->prio, found->op});
        expect_operand = true;
    }
    if (!any) Raise("CS_Scripting::PR_expression() = error before \";\"");
    if (expect_operand) RaiseF("CS_Scripting::PR_expression(): error before \"%s\"", text.c_str());
    while (stack.depth() > 0) {
        Pending p = stack.pop();
        if (p.prio == 1) Raise("CS_Scripting::PR_expression() = error before \"(\"");
        Emit(p.op);
    }
}

// NAME(args): a script function (`script` is its lookup) or a native one.
void Compiler::FunctionCall(std::string_view args, NameSpace* ns, const std::string& name, const Lookup* script) {
    if (script && script->kind == NameKind::Function) {
        const NSFunction& fn = script->ns->functions[static_cast<size_t>(script->index)];
        Arguments(args, ns, static_cast<int>(fn.args.size()), std::string(), true);
        Emit(CALL, script->ref());
        return;
    }
    auto it = in_.function_index_.find(name);
    if (it == in_.function_index_.end()) RaiseF("Interpreter::parse_function(): unknown function \"%s\"", name.c_str());
    const ExternFunctionBase& fn = *in_.functions_[static_cast<size_t>(it->second)].binding;
    Arguments(args, ns, fn.argc(), fn.defaults(), false);
    Emit(CALL_EXTERN, it->second);
}

// object.method(args), with e[pos] at the method's name.
void Compiler::MethodCall(std::string_view e, size_t& pos, NameSpace* ns, const Lookup& object) {
    std::string method = lex::ReadName(e, pos, lex::kBlockMax);
    const NSExternClass& obj = object.ns->objects[static_cast<size_t>(object.index)];
    ExternClassBase* cls = in_.ExternClass(obj.class_index);
    int m = cls->MethodIndex(method);
    if (m < 0)
        RaiseF("CS_Scripting::PR_class() = function \"%s\" is not the function of class \"%s\"", method.c_str(),
               in_.ExternClassName(obj.class_index).c_str());
    lex::ExpectSymbol(e, pos, '(');
    std::string_view args = BlockView(e, pos, '(', ')');
    const ExternFunctionBase* fn = cls->Method(m);
    Arguments(args, ns, fn->argc(), fn->defaults(), false);
    Emit(CALL_METHOD, object.ref(), m);
}

// A number, a character or a string literal (adjacent strings join) at e[pos]; false when
// there is none.
bool Compiler::Literal(std::string_view e, size_t& pos, NameSpace* ns) {
    char c = e[pos];
    if (c >= '0' && c <= '9') {
        std::string num = lex::ReadDigit(e, pos);
        Variable v;
        if (num.size() > 1 && (num[1] == 'x' || num[1] == 'X')) {
            v = Variable(static_cast<int32_t>(std::strtoul(num.c_str() + 2, nullptr, 16)));
        } else if (num.find_first_of(".eE") != std::string::npos) {
            if (!num.empty() && (num.back() == 'f' || num.back() == 'F')) num.pop_back();
            v = Variable(std::strtof(num.c_str(), nullptr));
        } else {
            if (!num.empty() && (num.back() == 'f' || num.back() == 'F')) num.pop_back();
            v = Variable(static_cast<int32_t>(std::strtoul(num.c_str(), nullptr, 10)));
        }
        Emit(PUSH_CONST, Constant(ns, v));
        return true;
    }
    if (c == '\'') {
        size_t end = e.find('\'', pos + 1);
        if (end != std::string_view::npos && e[pos + 1] == '\\' && end == pos + 2) end = e.find('\'', end + 1);
        if (end == std::string_view::npos) RaiseF("CS_Scripting::PR_expression(): error before \"'%c'\"", c);
        std::string body = lex::ConvertString(e.substr(pos + 1, end - pos - 1));
        if (body.size() != 1) RaiseF("CS_Scripting::PR_expression(): error before \"'%c'\"", c);
        Emit(PUSH_CONST, Constant(ns, Variable(static_cast<int32_t>(static_cast<unsigned char>(body[0])))));
        pos = end + 1;
        return true;
    }
    if (c == '"') {
        std::string value;
        while (pos < e.size() && e[pos] == '"') {
            size_t i = pos + 1;
            while (i < e.size() && e[i] != '"') i += e[i] == '\\' ? 2 : 1;
            if (i >= e.size()) Raise("CS_Scripting::PR_expression() = error before \"\"\"");
            value += lex::ConvertString(e.substr(pos + 1, i - pos - 1));
            if (value.size() > lex::kBlockMax) Raise("CS_Scripting::RD_block(): buffer overflow");
            pos = i + 1;
            lex::SkipBlanks(e, pos);
        }
        Emit(PUSH_CONST, Constant(ns, Variable(std::string_view(value))));
        return true;
    }
    return false;
}

void Compiler::Operand(std::string_view e, size_t& pos, NameSpace* ns) {
    if (Literal(e, pos, ns)) return;
    char c = e[pos];
    if (!lex::IsNameStart(c)) {
        RaiseF("CS_Scripting::PR_expression() = error before \"%c\"", c);
    }
    std::string name = lex::ReadName(e, pos, lex::kBlockMax);
    size_t after = pos;
    char next = lex::GetSymbol(e, after);
    Lookup found;
    bool script_name = Find(ns, name, &found);
    if (next == '(') {
        pos = after + 1;
        return FunctionCall(BlockView(e, pos, '(', ')'), ns, name, script_name ? &found : nullptr);
    }
    if (script_name) {
        switch (found.kind) {
            case NameKind::Variable: Emit(PUSH_VAR, found.ref()); return;
            case NameKind::Array:
                if (next == '[') {
                    pos = after + 1;
                    Expression(BlockView(e, pos, '[', ']'), ns);
                    Emit(ARRAY_LOAD, found.ref());
                } else {
                    Emit(PUSH_ARRAY_REF, found.ref());
                }
                return;
            case NameKind::Object: {
                if (next == '.' || e.substr(after, 2) == "->") {
                    pos = after + (next == '.' ? 1 : 2);
                    return MethodCall(e, pos, ns, found);
                }
                Emit(PUSH_OBJECT, found.ref());
                return;
            }
            case NameKind::Function: break;
        }
    }
    auto var = in_.variable_index_.find(name);
    if (var != in_.variable_index_.end()) {
        Emit(PUSH_EXTERN_VAR, var->second);
        return;
    }
    std::string text = lex::Trim(e);
    RaiseF("CS_Scripting::PR_expression() = unknown token \"%s\" in \"%s\" expression", name.c_str(), text.c_str());
}

}  // namespace script
