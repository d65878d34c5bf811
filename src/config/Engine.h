#pragma once
// KernelEngine: what the main loop needs of each engine it drives (cron scheduler, proxy
// core, admin server, web server). Each engine runs one short step per loop turn on the main
// thread, collects its log items in its own queue, and stops when asked. Between turns the
// loop sleeps until an engine's descriptor is readable, a thread raises the kernel's wake, or
// its tick passes.
#include <string>
#include <vector>

#include "log/LogQueue.h"

namespace config {

class KernelEngine : public logging::CLogQueue {
public:
    ~KernelEngine() override = default;
    virtual void Step() = 0;
    // Adds the descriptors whose readiness is work for the next Step (listening sockets).
    virtual void WaitHandles(std::vector<int>* /*out*/) const {}
    // After the loop's wait: which of those descriptors were readable, so that the next Step
    // tries only them. Not called when the loop did not wait: that Step tries them all.
    virtual void HandlesReady(const std::vector<int>& /*ready*/) {}
    // True when the next Step should come at once, not after the loop's tick (work that
    // waits for something no descriptor reports, such as a session coming free).
    virtual bool Pressing() const { return false; }
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
