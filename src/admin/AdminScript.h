#pragma once
// The admin script host: command scripts "scripts/admin/N.cs" are entered at Main(CAdminRequest,
// CAdminResponse); they start with
//     CS_ADMIN_SCRIPT k = new CS_ADMIN_SCRIPT($_this);
// and have everything cron scripts have (cron::KernelFunctions, one table for both hosts) plus
// the client's identity, the allow-list test, cron job maintenance, the antispam script list,
// plug-ins and RunScript. One host per interpreter, one thread at a time.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cron/KernelFunctions.h"
#include "log/LogQueue.h"
#include "script/Interpreter.h"

namespace admin {

inline constexpr int kMaxRunScriptDepth = 8;

// What a run knows of its connection; empty for runs without one (tests, plug-in scripts).
struct AdminClient {
    std::string ip;
    std::string reverse_dns;
    std::function<bool(const std::string&)> is_allowed;  // the server's allow-list test
    bool close_requested = false;                        // Exit was called
};

struct CS_ADMIN_INSTANCE {
    script::Interpreter* interpreter = nullptr;
    const cron::KernelAccess* kernel = nullptr;
    logging::CLogQueue* log = nullptr;
    AdminClient* client = nullptr;
    std::string script_name;
    int depth = 0;
    script::Interpreter* root = nullptr;
};

class CS_ADMIN_SCRIPT : public cron::KernelFunctions {
public:
    explicit CS_ADMIN_SCRIPT(CS_ADMIN_INSTANCE* instance);

    void Exit() override;
    void WriteLog(int32_t level, const char* message, const char* type);
    void SetOldConfigResponse(void* /*response*/) {}
    std::string GetClientIP();
    std::string GetClientReverseDns();
    int32_t IsAllowIpAdmin(const char* address);
    int32_t PlugInInstall(const char* directory, const char* unique_id);
    int32_t PlugInUninstall(const char* directory, const char* unique_id);
    void GetPlugInInstalled(script::CS_Array* out);
    int32_t AddAntispamScript(const char* file, int32_t priority);
    int32_t DeleteAntispamScript(const char* file);
    int32_t RunScript(const char* name);

private:
    int32_t PlugIn(const char* directory, const char* unique_id, bool install);
    CS_ADMIN_INSTANCE* instance_;
};

void RegisterAdminHostClass(script::Interpreter& in);

// An interpreter with the admin host bound.
class AdminScriptHost {
public:
    AdminScriptHost(const cron::KernelAccess* kernel, logging::CLogQueue* log, AdminClient* client);
    script::Interpreter& interpreter() { return *in_; }
    CS_ADMIN_INSTANCE& instance() { return instance_; }
    void NestUnder(const CS_ADMIN_INSTANCE& parent);
    // Loads "scripts/admin/NAME" of the kernel's application directory.
    bool Load(const std::string& path, std::string* error);

private:
    static void StepHook(script::Interpreter& in, void* context);
    std::unique_ptr<script::Interpreter> in_;
    CS_ADMIN_INSTANCE instance_;
    CS_ADMIN_INSTANCE* this_ = &instance_;
};

// Plug-in names from info.xml or a request: every "/", "\", ".." and "~" removed.
std::string PlainName(std::string_view name);

}  // namespace admin
