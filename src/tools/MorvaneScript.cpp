// morvane-script: check, run and disassemble scripts from the shell.
//
//   morvane-script check FILE            compile; print the diagnostics (exit 1 on error)
//   morvane-script run FILE [FUNCTION]   compile, run the global code, then FUNCTION (default
//                                        main); its int result is the last line printed
//   morvane-script disasm FILE           the optimised bytecode
//   morvane-script --list-natives        the declaration of every native a script can reach
//
// Scripts run with the cron host: CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this); with
// --antispam after the command, with the antispam host instead (CS_ANTISPAM_SCRIPT), without a
// connection, so the session functions answer neutrally: an operator checks an edited policy
// script before the kernel loads it.
#include <cstdio>
#include <string>

#include "checks/ScriptClasses.h"
#include "core/AntispamScript.h"
#include "cron/CronScript.h"
#include "mail/ScriptParseMail.h"
#include "script/Imports.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: morvane-script check [--antispam] FILE\n"
                 "       morvane-script run [--antispam] FILE [FUNCTION]\n"
                 "       morvane-script disasm [--antispam] FILE\n"
                 "       morvane-script --list-natives\n");
    return 2;
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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string cmd = argv[1];
    if (argc >= 3 && std::string(argv[2]) == "--antispam") {
        checks::RegisterChecksImportables();
        mail::RegisterMailImportables();
        if ((cmd == "check" || cmd == "disasm") && argc != 4) return Usage();
        if (cmd == "run" && (argc < 4 || argc > 5)) return Usage();
        if (cmd != "check" && cmd != "disasm" && cmd != "run") return Usage();
        return Antispam(cmd, argv[3], argc == 5 ? argv[4] : "main");
    }
    checks::RegisterChecksImportables();
    mail::RegisterMailImportables();
    cron::CronScriptHost host;
    if (cmd == "--list-natives") {
        if (argc != 2) return Usage();
        // Every importable class, as a script that imported them all would see them.
        script::RegisterAllImportables(host.interpreter());
        core::RegisterAntispamClass(host.interpreter());
        host.interpreter().PrintDeclarations();
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
