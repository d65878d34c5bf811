#include "cron/CronScript.h"

#include <cstdio>
#include <cstring>

#include "script/Bind.h"
#include "script/Imports.h"

namespace cron {

CS_CRON_SCRIPT::CS_CRON_SCRIPT(CS_CRON_INSTANCE* instance)
    : script::HostBuiltins(instance ? instance->interpreter : nullptr), instance_(instance) {}

void CS_CRON_SCRIPT::Print(const char* text) {
    if (!text || !*text) return;
    size_t n = std::strlen(text);
    std::fwrite(text, 1, n, stdout);
    if (instance_) instance_->line_open = text[n - 1] != '\n';
}

CronScriptHost::CronScriptHost() : in_(std::make_unique<script::Interpreter>()) {
    instance_.interpreter = in_.get();
    script::ClassIdOf<CS_CRON_INSTANCE>::SetName("CS_CRON_INSTANCE");
    in_->AddExternVariable("$_this", std::make_unique<script::ExternVariable<CS_CRON_INSTANCE>>(&this_));
    auto host = std::make_unique<script::ExternClass<CS_CRON_SCRIPT, CS_CRON_INSTANCE*>>("CS_CRON_SCRIPT");
    script::AddHostBuiltins(*host);
    host->Method("Print", &CS_CRON_SCRIPT::Print);
    in_->AddExternClass("CS_CRON_SCRIPT", std::move(host));
}

bool CronScriptHost::Load(const std::string& path, std::string* error) {
    std::optional<std::string> text = in_->Preprocess(path);
    if (!text) {
        if (error) *error = in_->HasError() ? in_->CollectDiagnostics() : "cannot read " + path + "\n";
        return false;
    }
    script::RegisterImports(*in_);
    if (!in_->LoadByRam(*text)) {
        if (error) *error = in_->CollectDiagnostics();
        return false;
    }
    return true;
}

bool CronScriptHost::Run(const std::string& function, int* result, std::string* error) {
    int r = in_->Run(function);
    if (in_->HasError()) {
        if (error) *error = in_->CollectDiagnostics();
        return false;
    }
    if (result) *result = r;
    return true;
}

}  // namespace cron
