#pragma once
// The cron script host: the instance bound as "$_this" (CS_CRON_INSTANCE) and the host class
// CS_CRON_SCRIPT. A script starts with
//     CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);
// and calls the built-ins, the functions it shares with admin scripts (KernelFunctions),
// WriteLog and RunScript. The kernel's scheduler runs scripts/cron/NAME this way; morvane-script
// runs a file with the same host, bound to the engines of an application directory (--appdir)
// or to none. One host per interpreter, one thread at a time.
#include <memory>
#include <optional>
#include <string>

#include "cron/KernelFunctions.h"
#include "log/LogQueue.h"
#include "script/Interpreter.h"

namespace cron {

// RunScript calls nest at most this deep: a script that runs itself must not exhaust the stack.
inline constexpr int kMaxRunScriptDepth = 8;

// The per-run instance a script receives as $_this.
struct CS_CRON_INSTANCE {
    script::Interpreter* interpreter = nullptr;
    const KernelAccess* kernel = nullptr;  // null: no kernel, the functions answer neutrally
    logging::CLogQueue* log = nullptr;     // where WriteLog goes; null: standard error
    std::string script_name;               // the source of its log items
    int depth = 0;                         // RunScript nesting
    script::Interpreter* root = nullptr;   // the outermost run's interpreter: its abort ends all
    bool throttle = false;                 // yield 1 ms every 1000 hook calls (kernel runs)
    int steps = 0;
    bool line_open = false;  // the last Print did not end its line
};

class CS_CRON_SCRIPT : public KernelFunctions {
public:
    explicit CS_CRON_SCRIPT(CS_CRON_INSTANCE* instance);
    // Queues a log item: the script's file as source, category `type` or "CRON".
    void WriteLog(int32_t level, const char* message, const char* type);
    // Runs scripts/cron/NAME's main on this thread and returns its result; -1 when it cannot.
    int32_t RunScript(const char* name);

private:
    CS_CRON_INSTANCE* instance_;
};

// Registers CS_CRON_SCRIPT into an interpreter.
void RegisterCronClass(script::Interpreter& in);

// An interpreter with the cron host bound: load a file, then run its functions.
class CronScriptHost {
public:
    explicit CronScriptHost(const KernelAccess* kernel = nullptr, logging::CLogQueue* log = nullptr);
    script::Interpreter& interpreter() { return *in_; }
    CS_CRON_INSTANCE& instance() { return instance_; }
    // Yield the processor now and then (runs inside the kernel).
    void Throttle() { instance_.throttle = true; }
    // Nested under another run (RunScript): aborted with it.
    void NestUnder(const CS_CRON_INSTANCE& parent);
    // Preprocesses, registers the script's imports and compiles (running the global code).
    // False with the diagnostics in `error` on failure; `error` says so when the file cannot
    // be read.
    bool Load(const std::string& path, std::string* error);
    // Runs FUNCTION (no parameters). False with diagnostics on failure.
    bool Run(const std::string& function, int* result, std::string* error);
    bool LineOpen() const { return instance_.line_open; }

private:
    static void StepHook(script::Interpreter& in, void* context);

    std::unique_ptr<script::Interpreter> in_;
    CS_CRON_INSTANCE instance_;
    CS_CRON_INSTANCE* this_ = &instance_;
};

}  // namespace cron
