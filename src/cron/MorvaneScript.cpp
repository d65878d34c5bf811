// morvane-script: check, run and disassemble scripts from the shell.
//
//   morvane-script check FILE            compile; print the diagnostics (exit 1 on error)
//   morvane-script run FILE [FUNCTION]   compile, run the global code, then FUNCTION (default
//                                        main); its int result is the last line printed
//   morvane-script disasm FILE           the optimised bytecode
//   morvane-script --list-natives        the declaration of every native a script can reach
//
// Scripts run with the cron host: CS_CRON_SCRIPT k = new CS_CRON_SCRIPT($_this);
#include <cstdio>
#include <string>

#include "checks/ScriptClasses.h"
#include "cron/CronScript.h"
#include "mail/ScriptParseMail.h"
#include "script/Imports.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: morvane-script check FILE\n"
                 "       morvane-script run FILE [FUNCTION]\n"
                 "       morvane-script disasm FILE\n"
                 "       morvane-script --list-natives\n");
    return 2;
}

int Fail(const std::string& diagnostics) {
    std::fflush(stdout);
    std::fputs(diagnostics.c_str(), stderr);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string cmd = argv[1];
    checks::RegisterChecksImportables();
    mail::RegisterMailImportables();
    cron::CronScriptHost host;
    if (cmd == "--list-natives") {
        if (argc != 2) return Usage();
        // Every importable class, as a script that imported them all would see them.
        script::RegisterAllImportables(host.interpreter());
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
