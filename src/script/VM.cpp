// The virtual machine: runs the word program on the value stack.
#include <cstring>
#include <functional>

#include "script/Interpreter.h"
#include "script/Lexer.h"
#include "script/Opcodes.h"

namespace script {

namespace {

constexpr const char* kSource = "CS_Scripting";

// Operand decoding never fails: an index past a table's end wraps, as the format promises.
template <typename T>
T& At(std::vector<T>& table, int32_t index) {
    size_t i = static_cast<size_t>(index & 0xFFFF);
    // Compiled code never names an entry that does not exist: only damaged bytecode does.
    if (i >= table.size()) Raise("CS_Scripting::run(): bad program index");
    return table[i];
}

}  // namespace

void Interpreter::Link() {
    for (auto& ns : namespaces_) {
        for (NSFunction& f : ns->functions) {
            f.frame.clear();
            if (!f.body) continue;
            // Depth-first, parent before children: the order SaveVariables always used.
            std::function<void(NameSpace*)> walk = [&](NameSpace* n) {
                for (NSVariable& v : n->variables) f.frame.push_back(&v.value);
                for (NameSpace* c : n->children()) walk(c);
            };
            walk(f.body);
        }
    }
    // The machine trusts the program's shape from here on: every jump lands on an instruction
    // start inside the program, and the last instruction cannot fall through its end.
    std::vector<bool> start(program_.size() + 1, false);
    size_t last = 0;
    for (size_t pc = 0; pc < program_.size();) {
        int32_t op = program_[pc];
        start[pc] = true;
        last = pc;
        pc += 1 + static_cast<size_t>(op >= 0 && op < kOpCount ? OperandCount(op) : 0);
        if (pc > program_.size()) Raise("CS_Scripting::run(): bad program");
    }
    for (size_t pc = 0; pc < program_.size();) {
        int32_t op = program_[pc];
        if (IsJump(op)) {
            int32_t to = program_[pc + 1];
            if (to < 0 || static_cast<size_t>(to) >= program_.size() || !start[static_cast<size_t>(to)])
                Raise("CS_Scripting::run(): bad program");
        }
        pc += 1 + static_cast<size_t>(op >= 0 && op < kOpCount ? OperandCount(op) : 0);
    }
    if (!program_.empty() && program_[last] != END && program_[last] != JMP) Raise("CS_Scripting::run(): bad program");
    linked_.assign(program_.size(), nullptr);
    auto ns_of = [this](int32_t ref) -> NameSpace& {
        size_t ns = static_cast<size_t>(ref >> 16) & 0xFFFF;
        if (ns >= namespaces_.size()) Raise("CS_Scripting::run(): bad program index");
        return *namespaces_[ns];
    };
    for (size_t pc = 0; pc < program_.size();) {
        int32_t op = program_[pc];
        size_t len = 1 + static_cast<size_t>(op >= 0 && op < kOpCount ? OperandCount(op) : 0);
        if (pc + 1 < program_.size()) {
            int32_t ref = program_[pc + 1];
            switch (op) {
                case PUSH_CONST: linked_[pc + 1] = &At(ns_of(ref).constants, ref); break;
                case PUSH_VAR:
                case STORE:
                case INC_VAR:
                case DEC_VAR: linked_[pc + 1] = &At(ns_of(ref).variables, ref).value; break;
                case CALL: linked_[pc + 1] = &FunctionAt(ref); break;
                default: break;
            }
        }
        pc += len;
    }
}

NSFunction& Interpreter::FunctionAt(int32_t ref) {
    size_t ns = static_cast<size_t>(ref >> 16) & 0xFFFF;
    if (ns >= namespaces_.size()) Raise("CS_Scripting::run(): bad program index");
    return At(namespaces_[ns]->functions, ref);
}

void Interpreter::CallScript(NSFunction& fn, const NSFunction* current, int depth) {
    if (depth + 1 > kMaxCallDepth) Raise("CS_Scripting::run(): too deep recursion of script calls");
    if (&fn != current || !fn.body) {
        Execute(fn.address, &fn, depth + 1);
        return;
    }
    // Direct recursion: the running activation's variables live in the function's namespace,
    // so they are saved on the value stack around the inner call.
    for (NSArgument& a : fn.args) a.slot = values_.pop();
    for (Variable* v : fn.frame) values_.push(*v);
    for (size_t i = fn.args.size(); i-- > 0;) values_.push(std::move(fn.args[i].slot));
    Execute(fn.address, &fn, depth + 1);
    if (Aborted()) return;
    Variable result = values_.pop();
    for (size_t i = fn.frame.size(); i-- > 0;) *fn.frame[i] = values_.pop();
    values_.push(std::move(result));
}

void Interpreter::Execute(int32_t address, const NSFunction* current, int depth) {
    const size_t size = program_.size();
    if (size == 0) Raise("CS_Scripting::run(): empty program");
    if (address < 0 || static_cast<size_t>(address) >= size) {
        char msg[80];
        std::snprintf(msg, sizeof msg, "CS_Scripting::run(): bad address 0x%08x", static_cast<unsigned>(address));
        AddLog(4, msg, kSource, "run", "SCRIPT", 0);
        Raise(" ");
    }
    const int32_t* code = program_.data();
    void* const* link = linked_.data();
    const StepHook hook = hook_;
    void* const hook_context = hook_context_;
    Stack<Variable>& st = values_;
    auto pop_int = [&st]() {
        const Variable& v = st.top();
        int32_t i = v.IsInt() ? v.int_value() : v.ToInt();
        st.drop();
        return i;
    };
    size_t pc = static_cast<size_t>(address);
    auto array_entry = [this](int32_t ref) -> NSArray& {
        size_t ns = static_cast<size_t>(ref >> 16) & 0xFFFF;
        if (ns >= namespaces_.size()) Raise("CS_Scripting::run(): bad program index");
        return At(namespaces_[ns]->arrays, ref);
    };
    auto object = [this](int32_t ref) -> NSExternClass& {
        size_t ns = static_cast<size_t>(ref >> 16) & 0xFFFF;
        if (ns >= namespaces_.size()) Raise("CS_Scripting::run(): bad program index");
        return At(namespaces_[ns]->objects, ref);
    };
    auto binary = [&st](BinOp op) {
        st.need(2);
        Variable& r = st.peek(0);
        Variable& l = st.peek(1);
        ApplyBinary(op, l, r);
        st.drop();
    };
    // Int and float pairs are computed here; everything else goes by the general rules.
    auto arith = [&st](BinOp op, auto int_op, auto float_op) {
        st.need(2);
        Variable& r = st.peek(0);
        Variable& l = st.peek(1);
        if (l.IsInt() && r.IsInt())
            l.SetInt(static_cast<int32_t>(
                int_op(static_cast<uint32_t>(l.int_value()), static_cast<uint32_t>(r.int_value()))));
        else if (l.type() == VarType::Float && r.type() == VarType::Float)
            l.SetFloat(float_op(l.float_value(), r.float_value()));
        else
            ApplyBinary(op, l, r);
        st.drop();
    };
    auto compare_jump = [&st](BinOp op) {
        st.need(2);
        const Variable& r = st.peek(0);
        const Variable& l = st.peek(1);
        bool taken;
        if (l.IsInt() && r.IsInt()) {
            int32_t a = l.int_value(), b = r.int_value();
            switch (op) {
                case BinOp::Eq: taken = a == b; break;
                case BinOp::Ne: taken = a != b; break;
                case BinOp::Le: taken = a <= b; break;
                case BinOp::Ge: taken = a >= b; break;
                case BinOp::Lt: taken = a < b; break;
                default: taken = a > b; break;
            }
        } else if (op == BinOp::Eq) {
            taken = Equal(l, r);
        } else if (op == BinOp::Ne) {
            taken = NotEqual(l, r);
        } else {
            taken = Ordered(op, l, r);
        }
        st.drop();
        st.drop();
        return taken;
    };

    // A diagnostic is raised far below (a value, a native), without the address: the innermost
    // frame notes it on the way out, for the line table.
    try {
        for (;;) {
            if (abort_.load(std::memory_order_relaxed)) return;
            int32_t op = code[pc];
            size_t next = pc + 1;
            switch (op) {
                case PUSH_CONST:
                    st.push(*static_cast<const Variable*>(link[pc + 1]));
                    next = pc + 2;
                    break;
                case PUSH_VAR:
                    st.push(*static_cast<const Variable*>(link[pc + 1]));
                    next = pc + 2;
                    break;
                case PUSH_EXTERN_VAR:
                    st.push(At(variables_, code[pc + 1]).binding->Value());
                    next = pc + 2;
                    break;
                case PUSH_ARRAY_REF:
                    st.push(Variable(array_entry(code[pc + 1]).bound_ref));
                    next = pc + 2;
                    break;
                case ARRAY_LOAD:
                    array_entry(array_entry(code[pc + 1]).bound_ref).array.Load(st);
                    next = pc + 2;
                    break;
                case PUSH_OBJECT: {
                    NSExternClass& o = object(code[pc + 1]);
                    st.push(At(classes_, o.class_index).binding->ObjectVariable(o.slot));
                    next = pc + 2;
                    break;
                }
                case POP: st.drop(); break;
                case STORE: {
                    *static_cast<Variable*>(link[pc + 1]) = std::move(st.top());
                    st.drop();
                    next = pc + 2;
                    break;
                }
                case ARRAY_BIND:
                    array_entry(code[pc + 1]).bound_ref = st.pop().ToInt();
                    next = pc + 2;
                    break;
                case ARRAY_STORE:
                    array_entry(array_entry(code[pc + 1]).bound_ref).array.Store(st);
                    next = pc + 2;
                    break;
                case OBJ_ASSIGN: {
                    NSExternClass& o = object(code[pc + 1]);
                    At(classes_, o.class_index).binding->Assign(o.slot, *this);
                    next = pc + 2;
                    break;
                }
                case DUP: st.push(Variable(st.top())); break;
                case SWAP: {
                    st.need(2);
                    std::swap(st.peek(0), st.peek(1));
                    break;
                }
                case ARRAY_NEW: {
                    NSArray& a = array_entry(code[pc + 1]);
                    array_entry(a.bound_ref).array.Construct(a.element, st);
                    next = pc + 2;
                    break;
                }
                case CALL:
                    CallScript(*static_cast<NSFunction*>(link[pc + 1]), current, depth);
                    if (Aborted()) return;
                    next = pc + 2;
                    break;
                case CALL_EXTERN:
                    native_pc_ = static_cast<int64_t>(pc);
                    At(functions_, code[pc + 1]).binding->Call(*this);
                    next = pc + 2;
                    break;
                case CONSTRUCT: {
                    NSExternClass& o = object(code[pc + 1]);
                    At(classes_, o.class_index).binding->Construct(o.slot, *this);
                    next = pc + 2;
                    break;
                }
                case DESTRUCT: {
                    NSExternClass& o = object(code[pc + 1]);
                    At(classes_, o.class_index).binding->Destruct(o.slot);
                    next = pc + 2;
                    break;
                }
                case CALL_METHOD: {
                    NSExternClass& o = object(code[pc + 1]);
                    native_pc_ = static_cast<int64_t>(pc);
                    At(classes_, o.class_index).binding->CallMethod(o.slot, code[pc + 2], *this);
                    next = pc + 3;
                    break;
                }
                case NOP:
                case NOT: {
                    Variable& v = st.top();
                    v.SetInt(v.ToInt() == 0);
                    break;
                }
                case NEG: ApplyBinary(BinOp::Mul, st.top(), Variable(int32_t{-1})); break;
                case INC: ApplyBinary(BinOp::Add, st.top(), Variable(int32_t{1})); break;
                case DEC: ApplyBinary(BinOp::Sub, st.top(), Variable(int32_t{1})); break;
                case INC_VAR: {
                    Variable& v = *static_cast<Variable*>(link[pc + 1]);
                    if (v.IsInt())
                        v.SetInt(static_cast<int32_t>(static_cast<uint32_t>(v.int_value()) + 1u));
                    else
                        ApplyBinary(BinOp::Add, v, Variable(int32_t{1}));
                    next = pc + 2;
                    break;
                }
                case DEC_VAR: {
                    Variable& v = *static_cast<Variable*>(link[pc + 1]);
                    if (v.IsInt())
                        v.SetInt(static_cast<int32_t>(static_cast<uint32_t>(v.int_value()) - 1u));
                    else
                        ApplyBinary(BinOp::Sub, v, Variable(int32_t{1}));
                    next = pc + 2;
                    break;
                }
                case MUL:
                    arith(
                        BinOp::Mul, [](uint32_t a, uint32_t b) { return a * b; },
                        [](float a, float b) { return a * b; });
                    break;
                case DIV: binary(BinOp::Div); break;
                case MOD: {
                    st.need(2);
                    Variable& r = st.peek(0);
                    Variable& l = st.peek(1);
                    if (l.IsInt() && r.IsInt() && r.int_value() > 0)
                        l.SetInt(l.int_value() % r.int_value());
                    else
                        ApplyBinary(BinOp::Mod, l, r);
                    st.drop();
                    break;
                }
                case ADD:
                    arith(
                        BinOp::Add, [](uint32_t a, uint32_t b) { return a + b; },
                        [](float a, float b) { return a + b; });
                    break;
                case SUB:
                    arith(
                        BinOp::Sub, [](uint32_t a, uint32_t b) { return a - b; },
                        [](float a, float b) { return a - b; });
                    break;
                case EQ: binary(BinOp::Eq); break;
                case NE: binary(BinOp::Ne); break;
                case LE: binary(BinOp::Le); break;
                case GE: binary(BinOp::Ge); break;
                case LT: binary(BinOp::Lt); break;
                case GT: binary(BinOp::Gt); break;
                case AND: binary(BinOp::And); break;
                case OR: binary(BinOp::Or); break;
                case BITAND: binary(BinOp::BitAnd); break;
                case BITOR: binary(BinOp::BitOr); break;
                case XOR: binary(BinOp::Xor); break;
                case JMP: next = static_cast<size_t>(static_cast<uint32_t>(code[pc + 1])); break;
                case JZ:
                    next = pop_int() == 0 ? static_cast<size_t>(static_cast<uint32_t>(code[pc + 1])) : pc + 2;
                    break;
                case JNZ:
                    next = pop_int() != 0 ? static_cast<size_t>(static_cast<uint32_t>(code[pc + 1])) : pc + 2;
                    break;
                case JEQ:
                case JNE:
                case JLE:
                case JGE:
                case JLT:
                case JGT: {
                    static const BinOp kOps[] = {BinOp::Eq, BinOp::Ne, BinOp::Le, BinOp::Ge, BinOp::Lt, BinOp::Gt};
                    next = compare_jump(kOps[op - JEQ]) ? static_cast<size_t>(static_cast<uint32_t>(code[pc + 1]))
                                                        : pc + 2;
                    break;
                }
                case END: return;
                default: {
                    char msg[64];
                    std::snprintf(msg, sizeof msg, "CS_Scripting::run(): unknown code 0x%02x",
                                  static_cast<unsigned>(op));
                    AddLog(4, msg, kSource, "run", "SCRIPT", 0);
                    Raise(" ");
                }
            }
            // Link() checked every jump target and the program's last instruction, so `next`
            // stays inside the program without a test here.
            // Bit 3 of the next index alone would let a loop that lives in such addresses run
            // without ever reaching the hook: every backward jump calls it too.
            if (hook && (!(next & 8) || next <= pc)) hook(*this, hook_context);
            pc = next;
        }
    } catch (const ScriptError&) {
        if (fault_pc_ < 0) fault_pc_ = static_cast<int64_t>(pc);
        throw;
    }
}

bool Interpreter::HasFunction(std::string_view name) const {
    return FindGlobalFunction(name) != nullptr;
}

const NSFunction* Interpreter::FindGlobalFunction(std::string_view name) const {
    NameKind kind;
    int index;
    if (!global_->FindLocal(name, &kind, &index) || kind != NameKind::Function) return nullptr;
    return &global_->functions[static_cast<size_t>(index)];
}

int Interpreter::FinishRun() {
    if (Aborted()) {
        values_.clear();
        return last_result_ = 0;
    }
    int result = values_.pop().ToInt();
    if (values_.depth() != 0) Raise("CS_Scripting::run() = depth of stack is not zero");
    values_.clear();
    return last_result_ = result;
}

// A run entry that stops before executing: the message is queued and the error flag set.
int Interpreter::Refuse(const std::string& message) {
    AddLog(4, message, kSource, "run", "SCRIPT", 0);
    error_ = true;
    return 0;
}

// Runs `fn` with the arguments already on the value stack; a diagnostic is queued and the last
// result returned, as both run entries promise.
int Interpreter::ExecuteRun(const NSFunction* fn) {
    Execute(fn->address, fn, 0);
    return FinishRun();
}

int Interpreter::Run(std::string_view function) {
    abort_ = false;
    fault_pc_ = -1;
    try {
        const NSFunction* fn = FindGlobalFunction(function);
        if (!fn) RaiseF("NS::getfunction(): can't find \"%s\" function", std::string(function).c_str());
        if (!fn->args.empty())
            return Refuse("CS_Scripting::run() = you must specify function arguments\"" + std::string(function) + "\"");
        values_.clear();
        return ExecuteRun(fn);
    } catch (const ScriptError& e) {
        FailAt(e.what());
        values_.clear();
        return last_result_;
    }
}

int Interpreter::Run(std::string_view function, const char* types, std::initializer_list<const void*> values) {
    abort_ = false;
    fault_pc_ = -1;
    try {
        if (!types) Raise("CS_Scripting::run() = args is NULL");
        const NSFunction* fn = FindGlobalFunction(function);
        if (!fn) RaiseF("NS::getfunction(): can't find \"%s\" function", std::string(function).c_str());
        std::string name(function);
        std::vector<std::string> list;
        if (!lex::Trim(types).empty()) {
            for (std::string& t : lex::SplitArgs(types)) {
                t = lex::Trim(t);
                if (t.size() > lex::kBlockMax) Raise("CS_Scripting::RD_block(): buffer overflow");
                list.push_back(t);
            }
        }
        if (list.size() > fn->args.size()) Raise("CS_Scripting::run() = too many arguments");
        auto unknown_type = [&name](size_t i) {
            return "CS_Scripting::run() = unknown type of argument " + std::to_string(i + 1) + " in \"" + name +
                   "\" function";
        };
        std::vector<Variable> args;
        auto value = values.begin();
        for (size_t i = 0; i < list.size(); ++i) {
            const void* ptr = value != values.end() ? *value++ : nullptr;
            if (list[i] != fn->args[i].type)
                return Refuse("CS_Scripting::run() = bad arguments for \"" + name + "\" function");
            VarType t;
            if (TypeFromName(list[i], &t)) {
                if (t == VarType::Void || t == VarType::Pointer) return Refuse(unknown_type(i));
                if (!ptr)
                    args.emplace_back();
                else if (t == VarType::Int)
                    args.emplace_back(*static_cast<const int32_t*>(ptr));
                else if (t == VarType::Float)
                    args.emplace_back(*static_cast<const float*>(ptr));
                else
                    args.emplace_back(static_cast<const char*>(ptr));
            } else {
                int cls = ExternClassIndex(list[i]);
                if (cls < 0) return Refuse(unknown_type(i));
                args.push_back(classes_[static_cast<size_t>(cls)].binding->Wrap(const_cast<void*>(ptr)));
            }
        }
        if (list.size() < fn->args.size())
            return Refuse("CS_Scripting::run() = bad arguments for \"" + name + "\" function");
        values_.clear();
        for (size_t i = args.size(); i-- > 0;) values_.push(std::move(args[i]));
        return ExecuteRun(fn);
    } catch (const ScriptError& e) {
        FailAt(e.what());
        values_.clear();
        return last_result_;
    }
}

}  // namespace script
