#pragma once
// Interpreter: one compiled script and the machine that runs it.
//
// A host preprocesses the script file (Preprocess), registers its native bindings, compiles
// the text (LoadByRam, which also runs the script's global code once) and then calls script
// functions by name (Run) as often as it likes; global variables keep their values between
// runs. Diagnostics never escape: each entry point catches them, queues them on this object's
// log queue as level-4 items, sets the error flag and returns its failure value.
//
// One thread at a time uses an interpreter. Only Abort() may be called from another thread.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "log/LogQueue.h"
#include "script/Binding.h"
#include "script/NameSpace.h"
#include "script/Stack.h"
#include "script/Variable.h"

namespace script {

struct ScriptImport {
    int kind;  // 1 class, 2 lib
    std::string name;
};

class Interpreter : public logging::CLogQueue {
public:
    static constexpr int kStackCapacity = 1024;
    // Script calls nest at most this deep: a recursion that saves nothing on the value stack
    // must still end with a diagnostic, not by exhausting the thread's native stack.
    static constexpr int kMaxCallDepth = 800;

    Interpreter();
    ~Interpreter() override;
    Interpreter(const Interpreter&) = delete;
    Interpreter& operator=(const Interpreter&) = delete;

    // --- source ---------------------------------------------------------------------------
    // Reads and preprocesses a script file. nullopt when the file cannot be opened (no
    // diagnostic) or a directive failed (diagnostic queued, error flag set).
    std::optional<std::string> Preprocess(const std::string& path);
    // The same on text already in memory; `path` names it in __FILE__ and locates includes.
    std::optional<std::string> PreprocessText(std::string_view text, const std::string& path);
    const std::vector<ScriptImport>& Imports() const { return imports_; }
    bool Imported(std::string_view class_name) const;
    void Define(const std::string& symbol, const std::string& text) { symbols_[symbol] = text; }

    // --- compile and run --------------------------------------------------------------------
    // Compiles preprocessed text into the global namespace, optimises it and runs the global
    // code once. 1 on success; 0 (empty program, fresh globals) on failure.
    int LoadByRam(std::string_view text);
    // Starts the compiled program afresh without compiling it again: every variable and array
    // back to its state before the global code first ran, every object the scripts constructed
    // destroyed, then the global code runs again. What a script observes is what a new compile
    // would give it. 1 on success; 0 without a compiled program or when the global code failed.
    int Restart();
    // Runs a parameterless function; its result converted to int.
    int Run(std::string_view function);
    // Runs a function with arguments: `types` lists the parameter types ("int,string,..."),
    // `values` points to each value (int*, float*, const char*, or a native object pointer for
    // a parameter of a bound class); nullptr passes void.
    int Run(std::string_view function, const char* types, std::initializer_list<const void*> values);
    bool HasFunction(std::string_view name) const;

    // Ends the current run before its next instruction. Any thread.
    void Abort() { abort_.store(true, std::memory_order_relaxed); }
    bool Aborted() const { return abort_.load(std::memory_order_relaxed); }
    using StepHook = void (*)(Interpreter& in, void* context);
    // Called on every instruction whose next index has bit 3 clear.
    void SetStepHook(StepHook hook, void* context) {
        hook_ = hook;
        hook_context_ = context;
    }

    bool HasError() const { return error_; }
    void ClearError() { error_ = false; }
    // Moves the diagnostics of the namespaces and bindings to this queue and returns their
    // texts, each followed by "\n".
    std::string CollectDiagnostics();

    // --- native bindings --------------------------------------------------------------------
    bool AddExternVariable(const std::string& name, std::unique_ptr<ExternVariableBase> binding);
    bool AddExternFunction(const std::string& name, std::unique_ptr<ExternFunctionBase> binding);
    bool AddExternClass(const std::string& name, std::unique_ptr<ExternClassBase> binding);
    int ExternClassIndex(const std::string& name) const;
    ExternClassBase* ExternClass(int index) const { return classes_[static_cast<size_t>(index)].binding.get(); }
    const std::string& ExternClassName(int index) const { return classes_[static_cast<size_t>(index)].name; }
    // Bindings pop their arguments and push their results here.
    Stack<Variable>& Values() { return values_; }

    // --- inspection ---------------------------------------------------------------------------
    const std::vector<int32_t>& Program() const { return program_; }
    // The declaration of every registered native to standard output.
    void PrintDeclarations() const;
    // One instruction per line: address, opcode name, operands; a "; FILE:LINE" line before
    // the first instruction of each source line.
    std::string Disassemble() const;
    // "FILE:LINE" of the statement the instruction at `pc` was compiled from ("line N" when
    // the text was not preprocessed from a file), or "" when unknown.
    std::string SourceLineOf(size_t pc) const;
    // "FILE:LINE" (or "line N") of offset `at` of `text` as LoadByRam compiles it, or "".
    std::string SourceOfOffset(std::string_view text, size_t at) const;
    // "FILE:LINE" of the last native call made (the one running, while a native runs), or "".
    std::string NativeCallLine() const {
        return native_pc_ >= 0 ? SourceLineOf(static_cast<size_t>(native_pc_)) : std::string();
    }

private:
    friend class Compiler;
    friend class Preprocessor;
    template <typename T>
    struct Extern {
        std::string name;
        std::unique_ptr<T> binding;
    };

    NameSpace* NewNamespace(NameSpace* parent);
    void ResetGlobals();
    // The state Restart returns to, taken after linking, before the global code runs.
    void SaveInitialState();
    void Fail(const std::string& text);
    // Fail for a run-time diagnostic: the entry names the source line of the failing instruction.
    void FailAt(const std::string& text);
    uint32_t SourceFile(const std::string& path);
    // After Optimize: the line table from the compiled words' text offsets and the marks.
    void BuildLineTable(std::string_view text);
    // The peephole optimiser (Optimizer.cpp): its three passes.
    void Optimize();
    std::vector<bool> JumpTargets() const;
    void FoldAndFuse(const std::vector<bool>& target);
    void Compact();
    // Resolves every reference operand once, after compilation, so the machine follows one
    // pointer per operand instead of decoding namespace and index on every instruction.
    void Link();
    void Execute(int32_t address, const NSFunction* current, int depth);
    void CallScript(NSFunction& fn, const NSFunction* current, int depth);
    NSFunction& FunctionAt(int32_t ref);
    const NSFunction* FindGlobalFunction(std::string_view name) const;
    int FinishRun();
    int ExecuteRun(const NSFunction* fn);
    int Refuse(const std::string& message);

    // Preprocessor state.
    std::map<std::string, std::string> symbols_;
    std::vector<ScriptImport> imports_;
    std::string location_;                        // the source line being compiled, for diagnostics
    size_t location_offset_ = std::string::npos;  // its offset in the text being compiled
    // From each offset of the preprocessed text on: the file and line it came from. Made by
    // PreprocessText for the text it returns (`marked_size_` bytes), read by LoadByRam.
    struct SourceMark {
        size_t offset;
        uint32_t file;
        int32_t line;
    };
    std::vector<SourceMark> source_marks_;
    size_t marked_size_ = 0;
    std::vector<std::string> source_files_;
    // While compiling: per program word, the text offset of the statement it belongs to.
    std::vector<uint32_t> word_offsets_;
    // The instruction-to-line table: from `pc` on (until the next entry), the file and line.
    struct LineEntry {
        uint32_t pc;
        uint32_t file;  // index in source_files_, or kNoFile
        int32_t line;
    };
    static constexpr uint32_t kNoFile = UINT32_MAX;
    std::vector<LineEntry> lines_;
    // The instruction a run-time diagnostic came from (the innermost frame's), or -1.
    int64_t fault_pc_ = -1;
    int64_t native_pc_ = -1;  // for the event loops' slow-step line

    // Program and namespaces.
    std::vector<int32_t> program_;
    std::vector<void*> linked_;  // per word: the resolved target of a reference operand
    std::vector<std::unique_ptr<NameSpace>> namespaces_;
    struct InitialState {
        std::vector<Variable> variables;
        std::vector<NSArray> arrays;
        std::vector<std::vector<Variable>> arguments;  // per function
    };
    std::vector<InitialState> initial_;  // per namespace
    NameSpace* global_ = nullptr;
    Stack<Variable> values_{kStackCapacity};

    std::vector<Extern<ExternVariableBase>> variables_;
    std::vector<Extern<ExternFunctionBase>> functions_;
    std::vector<Extern<ExternClassBase>> classes_;
    std::unordered_map<std::string, int> variable_index_, function_index_, class_index_;

    std::atomic<bool> abort_{false};
    StepHook hook_ = nullptr;
    void* hook_context_ = nullptr;
    bool error_ = false;
    int last_result_ = 0;
};

}  // namespace script
