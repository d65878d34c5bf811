// Runs a script's main() under the cron host and prints its result and the seconds it took (compile included),
// best of N runs. Used by script_vs_lua.sh.
//   morvane_script_run FILE [RUNS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cron/CronScript.h"
#include "platform/KFile.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: morvane_script_run FILE [RUNS]\n");
        return 2;
    }
    int runs = argc > 2 ? std::atoi(argv[2]) : 1;
    std::string text;
    if (!platform::ReadWholeFile(argv[1], text)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    double best = 1e30;
    int result = 0;
    for (int i = 0; i < runs; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        // The cron host, so programs can use the host built-ins as scripts do.
        cron::CronScriptHost host;
        std::string error;
        if (!host.Load(argv[1], &error) || !host.Run("main", &result, &error)) {
            std::fprintf(stderr, "%s", error.c_str());
            return 1;
        }
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    std::printf("%d %.6f\n", result, best);
    return 0;
}
