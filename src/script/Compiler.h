#pragma once
// Compiler: turns preprocessed script text into the interpreter's word program and namespace
// tree in one pass, straight from the text. Statements are recognised by their first word;
// conditions, bodies and argument lists are cut out with the lexical readers and compiled
// recursively; expressions go through an operator-precedence stack. Raises ScriptError.
#include <string>
#include <string_view>
#include <vector>

#include "script/Interpreter.h"

namespace script {

class Compiler {
public:
    // `text` must outlive the compiler: locations point into it.
    Compiler(Interpreter& in, std::string_view text) : in_(in), full_(text) {}
    // Compiles the whole text into `ns` (the global namespace).
    void CompileAll(NameSpace* ns);

private:
    struct Lookup;

    // Statements.
    void Statements(std::string_view t, NameSpace* ns);
    void Statement(std::string_view t, size_t& pos, NameSpace* ns);
    void Declaration(std::string_view t, size_t& pos, NameSpace* ns, VarType type, const std::string& type_name);
    void VariableItem(std::string_view item, NameSpace* ns, VarType type);
    void ArrayItem(std::string_view item, NameSpace* ns, VarType type);
    void Function(std::string_view t, size_t& pos, NameSpace* ns, const std::string& name, const std::string& ret);
    void If(std::string_view t, size_t& pos, NameSpace* ns);
    void While(std::string_view t, size_t& pos, NameSpace* ns);
    void Do(std::string_view t, size_t& pos, NameSpace* ns);
    void For(std::string_view t, size_t& pos, NameSpace* ns);
    void BreakContinue(std::string_view t, size_t& pos, NameSpace* ns, bool is_break);
    void Return(std::string_view t, size_t& pos, NameSpace* ns);
    void Delete(std::string_view t, size_t& pos, NameSpace* ns);
    void NameStatement(std::string_view t, size_t& pos, NameSpace* ns, size_t word_start);
    void VariableAssignment(std::string_view rest, NameSpace* ns, int32_t ref, const std::string& name);
    void ArrayAssignment(std::string_view rest, NameSpace* ns, int32_t ref);
    void ObjectDeclaration(std::string_view stmt, NameSpace* ns, int class_index, const std::string& class_name);
    void ObjectStatement(std::string_view rest, NameSpace* ns, int32_t ref, int class_index, const std::string& name);

    // Expressions and calls.
    void Expression(std::string_view e, NameSpace* ns);
    void Operand(std::string_view e, size_t& pos, NameSpace* ns);
    bool Literal(std::string_view e, size_t& pos, NameSpace* ns);
    void FunctionCall(std::string_view args, NameSpace* ns, const std::string& name, const Lookup* script);
    void MethodCall(std::string_view e, size_t& pos, NameSpace* ns, const Lookup& object);
    void Arguments(std::string_view args, NameSpace* ns, int argc, const std::string& defaults, bool script_fn);
    void Construct(std::string_view after_new, NameSpace* ns, int32_t ref, int class_index, const std::string& cls);

    // Helpers.
    bool Find(NameSpace* ns, const std::string& name, Lookup* out) const;
    int32_t Constant(NameSpace* ns, const Variable& v);
    int32_t Here() const { return static_cast<int32_t>(prog().size()); }
    std::vector<int32_t>& prog() const { return in_.program_; }
    // Every word remembers the statement it came from, for the line table.
    void Word(int32_t w) {
        prog().push_back(w);
        in_.word_offsets_.push_back(statement_at_);
    }
    void Emit(int32_t op) { Word(op); }
    void Emit(int32_t op, int32_t a) {
        Word(op);
        Word(a);
    }
    void Emit(int32_t op, int32_t a, int32_t b) {
        Word(op);
        Word(a);
        Word(b);
    }
    // Emits a jump and returns the position of its operand, to patch later.
    int32_t EmitJump(int32_t op) {
        Emit(op, 0);
        return Here() - 1;
    }
    void Patch(int32_t operand_pos, int32_t target) { prog()[static_cast<size_t>(operand_pos)] = target; }
    NameSpace* Child(NameSpace* ns, bool loop);
    void SetLocation(const char* at);

    Interpreter& in_;
    std::string_view full_;
    uint32_t statement_at_ = 0;  // offset in full_ of the statement being compiled
    int depth_ = 0;              // nesting of statements and expressions, bounded
};

}  // namespace script
