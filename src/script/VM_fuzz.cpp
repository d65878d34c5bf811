// Compile, then run every function the script defines with a step limit: runs end with a
// result or a diagnostic, never a crash, and always leave the value stack empty.
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
    if (!pre || !in.LoadByRam(*pre)) return 0;
    for (const char* fn : {"main", "f", "g", "a"}) {
        steps = 20000;
        in.Run(fn);
        if (in.Values().depth() != 0) std::abort();
        int one = 1;
        steps = 20000;
        in.Run(fn, "int", {&one});
        if (in.Values().depth() != 0) std::abort();
    }
    return 0;
}
