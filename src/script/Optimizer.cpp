// The peephole optimiser: constant folding, compare-and-branch fusion, then compaction of the
// freed words with jump relocation.
#include <vector>

#include "script/Interpreter.h"
#include "script/Opcodes.h"

namespace script {

namespace {

BinOp BinaryOf(int32_t op) {
    switch (op) {
        case MUL: return BinOp::Mul;
        case DIV: return BinOp::Div;
        case MOD: return BinOp::Mod;
        case ADD: return BinOp::Add;
        case SUB: return BinOp::Sub;
        case EQ: return BinOp::Eq;
        case NE: return BinOp::Ne;
        case LE: return BinOp::Le;
        case GE: return BinOp::Ge;
        case LT: return BinOp::Lt;
        case GT: return BinOp::Gt;
        case AND: return BinOp::And;
        case OR: return BinOp::Or;
        case BITAND: return BinOp::BitAnd;
        case BITOR: return BinOp::BitOr;
        default: return BinOp::Xor;
    }
}

int32_t FusedJump(int32_t cmp, int32_t branch) {
    static const int32_t kOnZero[] = {JNE, JEQ, JGT, JLT, JGE, JLE};     // EQ NE LE GE LT GT, then JZ
    static const int32_t kOnNonZero[] = {JEQ, JNE, JLE, JGE, JLT, JGT};  // then JNZ
    return (branch == JZ ? kOnZero : kOnNonZero)[cmp - EQ];
}

}  // namespace

void Interpreter::Optimize() {
    if (program_.empty()) Raise("CS_Scripting::OPT() = empty program");
    FoldAndFuse(JumpTargets());
    Compact();
}

// Jump targets and function entries: no fold may reach across one, because code may arrive
// there from elsewhere with a different stack.
std::vector<bool> Interpreter::JumpTargets() const {
    const std::vector<int32_t>& p = program_;
    std::vector<bool> target(p.size() + 1, false);
    for (size_t pc = 0; pc < p.size();) {
        int32_t op = p[pc];
        if (op < 0 || op >= kOpCount) RaiseF("CS_Scripting::OPT() = unknown code 0x%02x", op);
        if (IsJump(op) && pc + 1 < p.size() && p[pc + 1] >= 0 && static_cast<size_t>(p[pc + 1]) <= p.size())
            target[static_cast<size_t>(p[pc + 1])] = true;
        pc += 1 + static_cast<size_t>(OperandCount(op));
    }
    for (auto& ns : namespaces_)
        for (NSFunction& f : ns->functions)
            if (f.address >= 0 && static_cast<size_t>(f.address) <= p.size())
                target[static_cast<size_t>(f.address)] = true;
    return target;
}

// Constant folding and compare-and-branch fusion, in place: what they free becomes NOPs.
void Interpreter::FoldAndFuse(const std::vector<bool>& target) {
    std::vector<int32_t>& p = program_;
    auto space = [this](int32_t ref) -> NameSpace& {
        const size_t n = static_cast<size_t>(ref >> 16) & 0xFFFF;
        if (n >= namespaces_.size()) Raise("CS_Scripting::OPT() = bad constant index");
        return *namespaces_[n];
    };
    auto constant = [&space](int32_t ref) -> Variable& {
        NameSpace& ns = space(ref);
        const size_t i = static_cast<size_t>(ref & 0xFFFF);
        if (i >= ns.constants.size()) Raise("CS_Scripting::OPT() = bad constant index");
        return ns.constants[i];
    };
    auto add_constant = [&space](int32_t like_ref, const Variable& v) {
        NameSpace& ns = space(like_ref);
        return MakeRef(ns.id(), ns.AddConstant(v));
    };

    // Positions of the PUSH_CONST instructions that directly precede the current one, NOPs
    // aside: folding only ever combines these.
    std::vector<size_t> consts;
    size_t last_real = SIZE_MAX;  // the previous instruction that is not a NOP
    for (size_t pc = 0; pc < p.size();) {
        int32_t op = p[pc];
        size_t len = 1 + static_cast<size_t>(OperandCount(op));
        if (target[pc]) consts.clear();
        if (op == NOP) {
            pc += len;
            continue;
        }
        if (op == PUSH_CONST) {
            consts.push_back(pc);
        } else if ((op == NOT || op == NEG || op == INC || op == DEC) && !consts.empty() &&
                   consts.back() == last_real) {
            // PUSH_CONST c; OP  ->  PUSH_CONST op(c); NOP. The operator word is not a target
            // (checked above), so nothing jumps between the two.
            size_t at = consts.back();
            Variable v = constant(p[at + 1]);
            switch (op) {
                case NOT: v = Variable(static_cast<int32_t>(v.ToInt() == 0)); break;
                case NEG: ApplyBinary(BinOp::Mul, v, Variable(int32_t{-1})); break;
                case INC: ApplyBinary(BinOp::Add, v, Variable(int32_t{1})); break;
                case DEC: ApplyBinary(BinOp::Sub, v, Variable(int32_t{1})); break;
                default: RaiseF("CS_Scripting::::OPT() = unknown opcode 0x%02x in unary math optimizator", op);
            }
            p[at + 1] = add_constant(p[at + 1], v);
            p[pc] = NOP;
            last_real = at;
            pc += len;
            continue;
        } else if (op >= MUL && op <= XOR && consts.size() >= 2 && consts.back() == last_real) {
            // PUSH_CONST a; PUSH_CONST b; OP  ->  PUSH_CONST a op b; NOP x3. Neither the second
            // push nor the operator is a jump target.
            size_t b_at = consts.back();
            size_t a_at = consts[consts.size() - 2];
            bool adjacent = true;  // only NOPs between the two pushes
            for (size_t i = a_at + 2; i < b_at; ++i)
                if (p[i] != NOP) adjacent = false;
            if (adjacent) {
                Variable left = constant(p[a_at + 1]);
                ApplyBinary(BinaryOf(op), left, constant(p[b_at + 1]));
                p[a_at + 1] = add_constant(p[a_at + 1], left);
                p[b_at] = p[b_at + 1] = p[pc] = NOP;
                consts.pop_back();
                last_real = a_at;
                pc += len;
                continue;
            }
            consts.clear();
        } else if (op >= EQ && op <= GT) {
            // CMP; JZ/JNZ addr  ->  JXX addr; NOP. The branch word is not a target.
            size_t next = pc + 1;
            while (next < p.size() && p[next] == NOP && !target[next]) ++next;
            if (next + 1 < p.size() && !target[next] && (p[next] == JZ || p[next] == JNZ)) {
                int32_t addr = p[next + 1];
                p[pc] = FusedJump(op, p[next]);
                p[pc + 1] = addr;
                for (size_t i = pc + 2; i <= next + 1; ++i) p[i] = NOP;
                consts.clear();
                last_real = pc;
                pc += 2;
                continue;
            }
            consts.clear();
        } else {
            consts.clear();
        }
        last_real = pc;
        pc += len;
    }
}

// Drops the NOPs, relocating jumps and function entries.
void Interpreter::Compact() {
    std::vector<int32_t>& p = program_;
    std::vector<int32_t> moved(p.size() + 1, 0);  // new address of each old address
    std::vector<int32_t> out;
    out.reserve(p.size());
    // The words' source offsets move with them.
    const bool offsets = word_offsets_.size() == p.size();
    std::vector<uint32_t> out_offsets;
    for (size_t pc = 0; pc < p.size();) {
        int32_t op = p[pc];
        size_t len = 1 + static_cast<size_t>(OperandCount(op));
        for (size_t i = 0; i < len && pc + i < p.size(); ++i) moved[pc + i] = static_cast<int32_t>(out.size());
        if (op != NOP) {
            for (size_t i = 0; i < len && pc + i < p.size(); ++i) {
                out.push_back(p[pc + i]);
                if (offsets) out_offsets.push_back(word_offsets_[pc + i]);
            }
        }
        pc += len;
    }
    moved[p.size()] = static_cast<int32_t>(out.size());
    for (size_t pc = 0; pc < out.size();) {
        int32_t op = out[pc];
        if (op < 0 || op >= kOpCount) RaiseF("CS_Scripting::OPT_function() = unknown code 0x%02x", op);
        if (IsJump(op) && pc + 1 < out.size() && out[pc + 1] >= 0 && static_cast<size_t>(out[pc + 1]) <= p.size())
            out[pc + 1] = moved[static_cast<size_t>(out[pc + 1])];
        pc += 1 + static_cast<size_t>(OperandCount(op));
    }
    for (auto& ns : namespaces_)
        for (NSFunction& f : ns->functions)
            if (f.address >= 0 && static_cast<size_t>(f.address) <= p.size())
                f.address = moved[static_cast<size_t>(f.address)];
    p.swap(out);
    if (offsets) word_offsets_.swap(out_offsets);
}

}  // namespace script
