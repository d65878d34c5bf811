#pragma once
// Test helpers: compile script text, read diagnostics, list opcode names. Test code only.
#include <memory>
#include <string>
#include <vector>

#include "script/Interpreter.h"
#include "script/Opcodes.h"

namespace script::testing {

// A loaded interpreter, or one whose load failed (check HasError and Diagnostics).
inline std::unique_ptr<Interpreter> Load(const std::string& text, Interpreter* use = nullptr) {
    std::unique_ptr<Interpreter> owned;
    Interpreter* in = use;
    if (!in) {
        owned = std::make_unique<Interpreter>();
        in = owned.get();
    }
    auto pre = in->PreprocessText(text, "test.cs");
    if (pre) in->LoadByRam(*pre);
    return owned;
}

// The diagnostics queued so far, each followed by "\n".
inline std::string Diagnostics(Interpreter& in) {
    return in.CollectDiagnostics();
}

// Runs main() of `text`; on a failed load or run returns INT32_MIN and fills `diag`.
inline int RunMain(const std::string& text, std::string* diag = nullptr) {
    auto in = Load(text);
    int r = in->HasError() ? INT32_MIN : in->Run("main");
    if (in->HasError()) {
        if (diag) *diag = in->CollectDiagnostics();
        return INT32_MIN;
    }
    return r;
}

// Opcode names of the program, in order.
inline std::vector<std::string> OpNames(const Interpreter& in) {
    std::vector<std::string> out;
    const auto& p = in.Program();
    for (size_t pc = 0; pc < p.size();) {
        int32_t op = p[pc];
        if (op < 0 || op >= kOpCount) {
            out.push_back("???");
            ++pc;
            continue;
        }
        out.emplace_back(kOpNames[static_cast<size_t>(op)]);
        pc += 1 + static_cast<size_t>(OperandCount(op));
    }
    return out;
}

// A step hook that aborts a run after `*budget` steps (for fuzzing and runaway scripts).
inline void StepBudget(Interpreter& in, void* budget) {
    if (--*static_cast<int*>(budget) < 0) in.Abort();
}

// True when every jump of the program lands on the start of an instruction.
inline bool JumpsLandOnInstructions(const Interpreter& in) {
    const auto& p = in.Program();
    std::vector<bool> start(p.size() + 1, false);
    for (size_t pc = 0; pc < p.size();) {
        start[pc] = true;
        int32_t op = p[pc];
        if (op < 0 || op >= kOpCount) return false;
        pc += 1 + static_cast<size_t>(OperandCount(op));
    }
    for (size_t pc = 0; pc < p.size();) {
        int32_t op = p[pc];
        if (IsJump(op) &&
            (p[pc + 1] < 0 || static_cast<size_t>(p[pc + 1]) >= p.size() || !start[static_cast<size_t>(p[pc + 1])]))
            return false;
        pc += 1 + static_cast<size_t>(OperandCount(op));
    }
    return true;
}

}  // namespace script::testing
