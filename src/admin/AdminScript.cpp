#include "admin/AdminScript.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "admin/AdminProtocol.h"
#include "classes/SimpleXml.h"
#include "common/Regex.h"
#include "config/KernelConfig.h"
#include "cron/CronScheduler.h"
#include "cron/Crontab.h"
#include "script/Bind.h"
#include "script/Imports.h"
#include "store/FileINI.h"

// Complete types of what the shared functions return.
#include "checks/Bayes.h"
#include "checks/Rules.h"
#include "store/DB_RAM.h"

namespace admin {

namespace {

constexpr const char* kRegistry = "/plugin.cfg";
constexpr const char* kPluginDir = "/scripts/admin/plugin/";

bool Missing(const char* s) {
    return !s || !*s;
}

std::string Key(const char* stem, int i) {
    return std::string(stem) + "_" + std::to_string(i);
}

// The "N|file" values of the antispam script list, by index, as the image holds them.
std::vector<std::string> ScriptEntries(const config::CKernelConfig& c) {
    std::vector<std::string> out;
    for (int i = 0; c.KeyExists("CS_SCRIPT", Key("cs", i)); ++i)
        out.push_back(c.GetString("CS_SCRIPT", Key("cs", i), "").str());
    return out;
}

}  // namespace

std::string PlainName(std::string_view name) {
    return cron::PlainScriptName(name);
}

CS_ADMIN_SCRIPT::CS_ADMIN_SCRIPT(CS_ADMIN_INSTANCE* instance)
    : cron::KernelFunctions(instance ? instance->interpreter : nullptr, instance ? instance->kernel : nullptr, nullptr),
      instance_(instance) {}

void CS_ADMIN_SCRIPT::Exit() {
    KernelFunctions::Exit();
    if (instance_ && instance_->client) instance_->client->close_requested = true;
}

void CS_ADMIN_SCRIPT::WriteLog(int32_t level, const char* message, const char* type) {
    if (!instance_ || !message) return;
    LogScriptLine(instance_->log, instance_->script_name, level, message, type ? type : "ADMIN SCRIPT");
}

std::string CS_ADMIN_SCRIPT::GetClientIP() {
    return instance_ && instance_->client ? instance_->client->ip : std::string();
}

std::string CS_ADMIN_SCRIPT::GetClientReverseDns() {
    return instance_ && instance_->client ? instance_->client->reverse_dns : std::string();
}

int32_t CS_ADMIN_SCRIPT::IsAllowIpAdmin(const char* address) {
    if (Missing(address) || !instance_ || !instance_->client || !instance_->client->is_allowed) return 0;
    return instance_->client->is_allowed(address) ? 1 : 0;
}

int32_t CS_ADMIN_SCRIPT::AddAntispamScript(const char* file, int32_t priority) {
    config::CKernelConfig* c = Kernel() ? Kernel()->config : nullptr;
    if (!c || Missing(file)) return 0;
    std::vector<std::string> entries = ScriptEntries(*c);
    for (const std::string& e : entries) {
        size_t bar = e.find('|');
        if (e == file || (bar != std::string::npos && e.substr(bar + 1) == file)) return 0;
    }
    c->SetImageValue("CS_SCRIPT", Key("cs", static_cast<int>(entries.size())), std::to_string(priority) + "|" + file);
    return 1;
}

int32_t CS_ADMIN_SCRIPT::DeleteAntispamScript(const char* file) {
    config::CKernelConfig* c = Kernel() ? Kernel()->config : nullptr;
    if (!c || Missing(file)) return 0;
    std::vector<std::string> entries = ScriptEntries(*c);
    std::vector<std::string> kept;
    for (size_t i = 0; i < entries.size(); ++i) {
        common::RegexMatch m = common::RegexSearch(R"(^(.+?)\|(.+?)$)", common::kRegexCaseless, entries[i]);
        if (!m.matched()) continue;
        c->DeleteImageValue("CS_SCRIPT", Key("cs", static_cast<int>(i)));
        if (m.text[2] != file) kept.push_back(entries[i]);
    }
    for (size_t i = 0; i < kept.size(); ++i) c->SetImageValue("CS_SCRIPT", Key("cs", static_cast<int>(i)), kept[i]);
    return 1;
}

void CS_ADMIN_SCRIPT::GetPlugInInstalled(script::CS_Array* out) {
    if (!out || !Kernel()) return;
    store::CFileINI reg;
    reg.Load(Kernel()->app_dir + kRegistry);
    for (int i = 0;; ++i) {
        std::string v = reg.GetString("INSTALLED", Key("pi", i), "").str();
        if (v.empty()) break;
        common::RegexMatch m = common::RegexSearch(R"(^(.+?)\|(.+?)$)", common::kRegexCaseless, v);
        if (m.matched()) out->Set(m.text[1], m.text[2]);
    }
}

int32_t CS_ADMIN_SCRIPT::PlugIn(const char* directory, const char* unique_id, bool install) {
    if (Missing(directory) || Missing(unique_id) || !Kernel()) return 0;
    const std::string dir = PlainName(directory);
    if (dir.empty()) return 0;
    const std::string package = Kernel()->app_dir + kPluginDir + dir;
    classes::CSimpleXMLParse info;
    if (!info.LoadFile((package + "/info.xml").c_str(), nullptr, nullptr)) return 0;
    classes::CSimpleXMLItmesChild* entry = nullptr;
    for (int32_t i = 0; i < info.GetCountChild(); ++i)
        if (info.GetChild(i)->GetValue("uniqueID") == unique_id) {
            entry = info.GetChild(i);
            break;
        }
    if (!entry) return 0;
    // The install script stays inside its package: no separators, no "..", no "~".
    const std::string script = PlainName(entry->GetValue("install_unistall_script"));
    if (script.empty()) return 0;
    AdminScriptHost host(Kernel(), instance_->log, instance_->client);
    host.NestUnder(*instance_);
    std::string error;
    const char* fn = install ? "install" : "uninstall";
    if (!host.Load(package + "/" + script, &error) || !host.interpreter().HasFunction(fn)) {
        WriteLog(1, ("Plug-in " + dir + ": " + (error.empty() ? std::string("no function ") + fn : error)).c_str(),
                 nullptr);
        return 0;
    }
    const std::string id = unique_id;
    int result = host.interpreter().Run(fn, "string,string", {package.c_str(), id.c_str()});
    if (host.interpreter().HasError() || result != 0) {
        WriteLog(1, ("Plug-in " + dir + ": " + fn + " failed " + host.interpreter().CollectDiagnostics()).c_str(),
                 nullptr);
        // An install that stopped half-way is undone by the package's own uninstall.
        if (install && host.interpreter().HasFunction("uninstall")) {
            host.interpreter().ClearError();
            host.interpreter().Run("uninstall", "string,string", {package.c_str(), id.c_str()});
        }
        return 0;
    }
    store::CFileINI reg;
    const std::string path = Kernel()->app_dir + kRegistry;
    reg.Load(path);
    const std::string value = id + "|" + dir;
    std::vector<std::string> entries;
    for (int i = 0;; ++i) {
        std::string v = reg.GetString("INSTALLED", Key("pi", i), "").str();
        if (v.empty()) break;
        entries.push_back(v);
        reg.DeleteKey("INSTALLED", Key("pi", i));
    }
    std::vector<std::string> kept;
    for (const std::string& v : entries)
        if (v != value) kept.push_back(v);
    if (install) kept.push_back(value);
    for (size_t i = 0; i < kept.size(); ++i) reg.WriteString("INSTALLED", Key("pi", static_cast<int>(i)), kept[i]);
    return reg.Save(path) ? 1 : 0;
}

int32_t CS_ADMIN_SCRIPT::PlugInInstall(const char* directory, const char* unique_id) {
    return PlugIn(directory, unique_id, true);
}

int32_t CS_ADMIN_SCRIPT::PlugInUninstall(const char* directory, const char* unique_id) {
    return PlugIn(directory, unique_id, false);
}

int32_t CS_ADMIN_SCRIPT::RunScript(const char* name) {
    if (Missing(name) || !instance_ || !Kernel()) return -1;
    std::string plain = PlainName(name);
    if (plain.empty()) return -1;
    if (instance_->depth >= kMaxRunScriptDepth) {
        WriteLog(1, ("RunScript " + plain + ": calls nested more than 8 deep, not run").c_str(), nullptr);
        return -1;
    }
    AdminScriptHost nested(Kernel(), instance_->log, instance_->client);
    nested.NestUnder(*instance_);
    std::string error;
    if (!nested.Load(Kernel()->app_dir + "/scripts/admin/" + plain, &error) ||
        !nested.interpreter().HasFunction("main")) {
        if (!error.empty()) WriteLog(1, ("RunScript " + plain + ": " + error).c_str(), nullptr);
        return -1;
    }
    int result = nested.interpreter().Run("main");
    if (nested.interpreter().HasError()) {
        WriteLog(1, ("RunScript " + plain + ": " + nested.interpreter().CollectDiagnostics()).c_str(), nullptr);
        return -1;
    }
    return result;
}

void RegisterAdminHostClass(script::Interpreter& in) {
    script::ClassIdOf<CS_ADMIN_INSTANCE>::SetName("CS_ADMIN_INSTANCE");
    using S = CS_ADMIN_SCRIPT;
    auto host = std::make_unique<script::ExternClass<S, CS_ADMIN_INSTANCE*>>("CS_ADMIN_SCRIPT");
    script::AddHostBuiltins(*host);
    core::AddDnsFunctions(*host);
    host->Method("Print", &S::Print).Method("WriteLog", &S::WriteLog);
    cron::AddKernelFunctions(*host);
    host->Method("SetOldConfigResponse", &S::SetOldConfigResponse)
        .Method("GetClientIP", &S::GetClientIP)
        .Method("GetClientReverseDns", &S::GetClientReverseDns)
        .Method("IsAllowIpAdmin", &S::IsAllowIpAdmin)
        .Method("PlugInInstall", &S::PlugInInstall)
        .Method("PlugInUninstall", &S::PlugInUninstall)
        .Method("GetPlugInInstalled", &S::GetPlugInInstalled)
        .Method("AddAntispamScript", &S::AddAntispamScript)
        .Method("DeleteAntispamScript", &S::DeleteAntispamScript)
        .Method("RunScript", &S::RunScript);
    in.AddExternClass("CS_ADMIN_SCRIPT", std::move(host));
}

AdminScriptHost::AdminScriptHost(const cron::KernelAccess* kernel, logging::CLogQueue* log, AdminClient* client)
    : in_(std::make_unique<script::Interpreter>()) {
    instance_.interpreter = in_.get();
    instance_.kernel = kernel;
    instance_.log = log;
    instance_.client = client;
    instance_.root = in_.get();
    script::ClassIdOf<CS_ADMIN_INSTANCE>::SetName("CS_ADMIN_INSTANCE");
    in_->AddExternVariable("$_this", std::make_unique<script::ExternVariable<CS_ADMIN_INSTANCE>>(&this_));
    RegisterAdminHostClass(*in_);
    RegisterAdminClasses(*in_);
    in_->SetStepHook(&AdminScriptHost::StepHook, &instance_);
}

void AdminScriptHost::NestUnder(const CS_ADMIN_INSTANCE& parent) {
    instance_.depth = parent.depth + 1;
    instance_.root = parent.root;
}

void AdminScriptHost::StepHook(script::Interpreter& in, void* context) {
    auto* inst = static_cast<CS_ADMIN_INSTANCE*>(context);
    if (inst->root && inst->root != &in && inst->root->Aborted()) in.Abort();
}

bool AdminScriptHost::Load(const std::string& path, std::string* error) {
    size_t slash = path.rfind('/');
    instance_.script_name = slash == std::string::npos ? path : path.substr(slash + 1);
    return script::LoadScriptFile(*in_, path, error);
}

}  // namespace admin
