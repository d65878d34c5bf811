// Script text of arbitrary bytes: preprocessing and compiling end with a program or a
// diagnostic, never a crash or a hang. The global code a compile runs is cut off by a step
// limit.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "script/Interpreter.h"
#include "script/TestScript.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    script::Interpreter in;
    int steps = 20000;
    in.SetStepHook(&script::testing::StepBudget, &steps);
    auto pre = in.PreprocessText(text, "/nonexistent/fuzz.cs");
    if (!pre) {
        if (!in.HasError()) std::abort();  // text never fails to open: a failure has a diagnostic
        return 0;
    }
    if (!in.LoadByRam(*pre)) {
        if (in.CollectDiagnostics().empty()) std::abort();  // a failed compile always says why
        return 0;
    }
    // The optimiser's relocation must leave every jump on an instruction start.
    if (!script::testing::JumpsLandOnInstructions(in)) std::abort();
    in.Disassemble();
    return 0;
}
