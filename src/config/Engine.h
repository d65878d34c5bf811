#pragma once
// KernelEngine: what the main loop needs of each engine it drives (cron scheduler, proxy
// core, admin server, web server). Each engine runs one short step per loop turn on the main
// thread, collects its log items in its own queue, and stops when asked.
#include <string>

#include "log/LogQueue.h"

namespace config {

class KernelEngine : public logging::CLogQueue {
public:
    ~KernelEngine() override = default;
    virtual void Step() = 0;
    // Mode 0 reload: re-read what the engine copied from the configuration.
    virtual void ReloadConfig() {}
    // Stops the engine's threads; the engine is destroyed later.
    virtual void Stop() = 0;
    // Last work after Stop (the core's final save); default none.
    virtual void FinalSave() {}
    // Why the engine cannot do its work as configured (a port it cannot listen on), or "": a
    // kernel that finds one at start stops instead of running without it.
    virtual std::string StartProblem() const { return std::string(); }
};

}  // namespace config
