#include "cron/CronScript.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "cron/Crontab.h"
#include "script/Bind.h"
#include "script/Imports.h"

// Complete types of what the shared functions return.
#include "checks/Bayes.h"
#include "checks/Rules.h"
#include "store/DB_RAM.h"

namespace cron {

CS_CRON_SCRIPT::CS_CRON_SCRIPT(CS_CRON_INSTANCE* instance)
    : KernelFunctions(instance ? instance->interpreter : nullptr, instance ? instance->kernel : nullptr,
                      instance ? &instance->line_open : nullptr),
      instance_(instance) {}

void CS_CRON_SCRIPT::WriteLog(int32_t level, const char* message, const char* type) {
    if (!instance_ || !message) return;
    LogScriptLine(instance_->log, instance_->script_name, level, message, type ? type : "CRON");
}

int32_t CS_CRON_SCRIPT::RunScript(const char* name) {
    if (!name || !*name || !instance_ || !instance_->kernel) return -1;
    std::string plain = PlainScriptName(name);
    if (plain.empty()) return -1;
    if (instance_->depth >= kMaxRunScriptDepth) {
        WriteLog(1, ("RunScript " + plain + ": calls nested more than 8 deep, not run").c_str(), nullptr);
        return -1;
    }
    CronScriptHost nested(instance_->kernel, instance_->log);
    nested.NestUnder(*instance_);
    std::string error;
    int result = -1;
    bool ok = nested.Load(instance_->kernel->app_dir + "/scripts/cron/" + plain, &error) &&
              nested.interpreter().HasFunction("main") && nested.Run("main", &result, &error);
    if (!error.empty()) WriteLog(1, ("RunScript " + plain + ": " + error).c_str(), nullptr);
    return ok ? result : -1;
}

void RegisterCronClass(script::Interpreter& in) {
    using S = CS_CRON_SCRIPT;
    auto host = std::make_unique<script::ExternClass<S, CS_CRON_INSTANCE*>>("CS_CRON_SCRIPT");
    script::AddHostBuiltins(*host);
    core::AddDnsFunctions(*host);
    host->Method("Print", &S::Print).Method("WriteLog", &S::WriteLog);
    AddKernelFunctions(*host);
    host->Method("RunScript", &S::RunScript);
    in.AddExternClass("CS_CRON_SCRIPT", std::move(host));
}

CronScriptHost::CronScriptHost(const KernelAccess* kernel, logging::CLogQueue* log)
    : in_(std::make_unique<script::Interpreter>()) {
    instance_.interpreter = in_.get();
    instance_.kernel = kernel;
    instance_.log = log;
    instance_.root = in_.get();
    script::ClassIdOf<CS_CRON_INSTANCE>::SetName("CS_CRON_INSTANCE");
    in_->AddExternVariable("$_this", std::make_unique<script::ExternVariable<CS_CRON_INSTANCE>>(&this_));
    RegisterCronClass(*in_);
    in_->SetStepHook(&CronScriptHost::StepHook, &instance_);
}

void CronScriptHost::NestUnder(const CS_CRON_INSTANCE& parent) {
    instance_.depth = parent.depth + 1;
    instance_.root = parent.root;
    instance_.throttle = parent.throttle;
}

void CronScriptHost::StepHook(script::Interpreter& in, void* context) {
    auto* inst = static_cast<CS_CRON_INSTANCE*>(context);
    if (inst->root != &in && inst->root->Aborted()) in.Abort();
    if (inst->throttle && ++inst->steps > 1000) {
        // Long maintenance scripts leave the processor to the sessions now and then.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        inst->steps = 0;
    }
}

bool CronScriptHost::Load(const std::string& path, std::string* error) {
    size_t slash = path.rfind('/');
    instance_.script_name = slash == std::string::npos ? path : path.substr(slash + 1);
    return script::LoadScriptFile(*in_, path, error);
}

bool CronScriptHost::Run(const std::string& function, int* result, std::string* error) {
    in_->ClearError();
    int r = in_->Run(function);
    if (in_->HasError()) {
        if (error) *error = in_->CollectDiagnostics();
        return false;
    }
    if (result) *result = r;
    return true;
}

}  // namespace cron
