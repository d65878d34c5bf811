#pragma once
// The cron script host as far as scripts see it: the instance bound as "$_this"
// (CS_CRON_INSTANCE) and the host class CS_CRON_SCRIPT, which carries the generic built-ins and
// Print. A script starts with
//     CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);
// and calls k.Format(...), k.Print(...). morvane-script uses the same host, so a maintenance
// script runs unchanged from the command line. One host per interpreter, one thread at a time.
#include <memory>
#include <optional>
#include <string>

#include "script/Builtins.h"
#include "script/Interpreter.h"

namespace cron {

// The per-run instance a script receives as $_this.
struct CS_CRON_INSTANCE {
    script::Interpreter* interpreter = nullptr;
    bool line_open = false;  // the last Print did not end its line
};

class CS_CRON_SCRIPT : public script::HostBuiltins {
public:
    explicit CS_CRON_SCRIPT(CS_CRON_INSTANCE* instance);
    // Writes the text to standard output as it is.
    void Print(const char* text);

private:
    CS_CRON_INSTANCE* instance_;
};

// An interpreter with the cron host bound: load a file, then run its functions.
class CronScriptHost {
public:
    CronScriptHost();
    script::Interpreter& interpreter() { return *in_; }
    // Preprocesses, registers the script's imports and compiles (running the global code).
    // False with the diagnostics in `error` on failure; `error` says so when the file cannot
    // be read.
    bool Load(const std::string& path, std::string* error);
    // Runs FUNCTION (no parameters). False with diagnostics on failure.
    bool Run(const std::string& function, int* result, std::string* error);
    bool LineOpen() const { return instance_.line_open; }

private:
    std::unique_ptr<script::Interpreter> in_;
    CS_CRON_INSTANCE instance_;
    CS_CRON_INSTANCE* this_ = &instance_;
};

}  // namespace cron
