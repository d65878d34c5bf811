// morvane-script: check, run and disassemble scripts from the shell.
//
//   morvane-script check FILE            compile; print the diagnostics (exit 1 on error)
//   morvane-script run FILE [FUNCTION]   compile, run the global code, then FUNCTION (default
//                                        main); its int result is the last line printed
//   morvane-script disasm FILE           the optimised bytecode
//   morvane-script --appdir DIR run FILE [FUNCTION]
//                                        the same with the kernel's engines built from DIR
//                                        (tables, configuration, DNS; no listener), so a cron
//                                        script does its maintenance by hand; refused while a
//                                        kernel runs on DIR
//   morvane-script --list-natives        the declaration of every native a script can reach
//
// Scripts run with the cron host: CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this); with
// --antispam after the command, with the antispam host instead (CS_ANTISPAM_SCRIPT), without a
// connection, so the session functions answer neutrally: an operator checks an edited policy
// script before the kernel loads it. --admin does the same with the admin host
// (CS_ADMIN_SCRIPT, CAdminRequest, CAdminResponse) for the scripts of scripts/admin/.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "admin/AdminProtocol.h"
#include "admin/AdminScript.h"
#include "admin/PeerConnection.h"
#include "checks/ScriptClasses.h"
#include "config/KernelConfig.h"
#include "core/AntispamScript.h"
#include "core/MorvaneCore.h"
#include "cron/CronScript.h"
#include "mail/ScriptParseMail.h"
#include "platform/AppDirLock.h"
#include "platform/KFile.h"
#include "platform/Paths.h"
#include "script/Imports.h"
#include "web/WebScript.h"

namespace {

int Usage(FILE* to = stderr) {
    std::fprintf(to,
                 "usage: morvane-script check [--antispam] FILE\n"
                 "       morvane-script run [--antispam] FILE [FUNCTION]\n"
                 "       morvane-script disasm [--antispam] FILE\n"
                 "       morvane-script --appdir DIR run FILE [FUNCTION]\n"
                 "       morvane-script --list-natives\n");
    return to == stderr ? 2 : 0;
}

int Fail(const std::string& diagnostics) {
    std::fflush(stdout);
    std::fputs(diagnostics.c_str(), stderr);
    return 1;
}

// An antispam script on a host without a connection.
int Antispam(const std::string& cmd, const std::string& path, const std::string& function) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
    std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    core::CS_PROXY_ANTISPAM_INSTANCE host(nullptr);
    host.Register({common::String("1|" + file)}, dir, false);
    core::AntispamScriptSlot& slot = *host.Scripts()[0];
    if (!slot.compiled) return Fail(slot.error.empty() ? "cannot compile " + path + "\n" : slot.error);
    if (cmd == "check") {
        std::printf("%s: ok\n", path.c_str());
        return 0;
    }
    if (cmd == "disasm") {
        std::fputs(slot.in->Disassemble().c_str(), stdout);
        return 0;
    }
    if (!slot.in->HasFunction(function)) return Fail("no function " + function + " in " + path + "\n");
    int result = host.Event(function.c_str());
    if (!slot.compiled) return Fail(slot.error);
    std::fflush(stdout);
    std::printf("%d\n", result);
    return 0;
}

void PrintLog(logging::CLogQueue& queue, int max_level) {
    std::fflush(stdout);
    for (const logging::LogQueueItem& item : queue.TakeAll()) {
        if (item.level > max_level) continue;
        std::fprintf(stderr, "[%d] %s %s: %s\n", item.level, item.type.c_str(), item.file.c_str(), item.entry.c_str());
    }
}

// A cron script on the engines of an application directory, as the kernel would run it.
int RunOnAppDir(const std::string& dir_arg, const std::string& path, const std::string& function) {
    std::error_code ec;
    const std::string dir = std::filesystem::absolute(dir_arg, ec).lexically_normal().string();
    const std::string ini = dir + "/morvane.ini";
    if (!platform::IsRegularFile(ini)) {
        std::fprintf(stderr, "morvane-script: %s has no morvane.ini: not an application directory\n", dir.c_str());
        return 1;
    }
    platform::AppDirLock lock;
    std::string holder;
    if (!lock.Acquire(dir, &holder)) {
        std::fprintf(stderr,
                     "morvane-script: a kernel runs on %s (%s holds %s); stop it first, or let its cron run the "
                     "script\n",
                     dir.c_str(), holder.c_str(), platform::kAppDirLockFile);
        return 1;
    }
    platform::SetAppDir(dir);
    config::CKernelConfig config(dir);
    config.SetFile(ini);
    config.LoadConfig();
    auto core = std::make_unique<core::CMorvaneCore>(config, dir, nullptr, nullptr, /*listen=*/false);
    PrintLog(*core, 1);
    cron::KernelAccess access{core.get(), &config, dir, nullptr};
    logging::CLogQueue script_log;
    int code = 0;
    {
        cron::CronScriptHost host(&access, &script_log);
        std::string error;
        int result = 0;
        if (!host.Load(path, &error) || !host.Run(function, &result, &error)) {
            PrintLog(script_log, 4);
            code = Fail(error);
        } else {
            PrintLog(script_log, 4);
            std::printf("%s%d\n", host.LineOpen() ? "\n" : "", result);
        }
    }
    // What the script changed in the tables is saved, as the kernel saves at stop.
    core->Stop();
    core->FinalSave();
    PrintLog(*core, 1);
    core.reset();
    return code;
}

}  // namespace

// An admin script on a host without a kernel or a connection.
int Admin(const std::string& cmd, const std::string& path, const std::string& function) {
    admin::AdminScriptHost host(nullptr, nullptr, nullptr);
    std::string error;
    if (!host.Load(path, &error)) return Fail(error);
    if (cmd == "check") {
        std::printf("%s: ok\n", path.c_str());
        return 0;
    }
    if (cmd == "disasm") {
        std::fputs(host.interpreter().Disassemble().c_str(), stdout);
        return 0;
    }
    if (!host.interpreter().HasFunction(function)) return Fail("no function " + function + " in " + path + "\n");
    int result = host.interpreter().Run(function);
    if (host.interpreter().HasError()) return Fail(host.interpreter().CollectDiagnostics());
    std::fflush(stdout);
    std::printf("%d\n", result);
    return 0;
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") return Usage(stdout);
    if (argc < 2) return Usage();
    // Scripts compiled from here on may import every class.
    checks::RegisterChecksImportables();
    mail::RegisterMailImportables();
    admin::RegisterPeerImportables();
    if (std::string(argv[1]) == "--appdir") {
        if (argc < 5 || argc > 6 || std::string(argv[3]) != "run") return Usage();
        return RunOnAppDir(argv[2], argv[4], argc == 6 ? argv[5] : "main");
    }
    std::string cmd = argv[1];
    if (argc >= 3 && (std::string(argv[2]) == "--admin" || std::string(argv[2]) == "--antispam")) {
        if ((cmd == "check" || cmd == "disasm") && argc != 4) return Usage();
        if (cmd == "run" && (argc < 4 || argc > 5)) return Usage();
        if (cmd != "check" && cmd != "disasm" && cmd != "run") return Usage();
        const std::string function = argc == 5 ? argv[4] : "main";
        return std::string(argv[2]) == "--admin" ? Admin(cmd, argv[3], function) : Antispam(cmd, argv[3], function);
    }
    cron::CronScriptHost host;
    if (cmd == "--list-natives") {
        if (argc != 2) return Usage();
        // Every importable class, as a script that imported them all would see them, and every
        // host: cron (this one), antispam, admin (with its request and response) and web (with
        // the session functions).
        script::Interpreter& in = host.interpreter();
        script::RegisterAllImportables(in);
        core::RegisterAntispamClass(in);
        admin::RegisterAdminHostClass(in);
        admin::RegisterAdminClasses(in);
        web::RegisterWebHostClass(in, nullptr);
        in.PrintDeclarations();
        return 0;
    }
    if ((cmd == "check" || cmd == "disasm") && argc != 3) return Usage();
    if (cmd == "run" && (argc < 3 || argc > 4)) return Usage();
    if (cmd != "check" && cmd != "disasm" && cmd != "run") return Usage();
    std::string error;
    if (!host.Load(argv[2], &error)) return Fail(error);
    if (cmd == "check") {
        std::printf("%s: ok\n", argv[2]);
        return 0;
    }
    if (cmd == "disasm") {
        std::fputs(host.interpreter().Disassemble().c_str(), stdout);
        return 0;
    }
    int result = 0;
    if (!host.Run(argc == 4 ? argv[3] : "main", &result, &error)) return Fail(error);
    // The result is the last line, even after output that did not end its line.
    std::printf("%s%d\n", host.LineOpen() ? "\n" : "", result);
    return 0;
}
