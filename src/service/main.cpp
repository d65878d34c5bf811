// morvane: the kernel executable. One switch controls the installed service; without one the
// kernel runs in the foreground, as systemd runs it.
//
//   morvane [--appdir DIR]            run the kernel
//   morvane -i|-I [--appdir DIR]      install the systemd unit and start it
//   morvane -s|-S                     start the service
//   morvane -k|-K                     stop the service
//   morvane -u|-U                     stop and remove the service, delete the service log
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "common/Clock.h"
#include "platform/Paths.h"
#include "platform/ServiceControl.h"
#include "platform/ServiceLog.h"
#include "service/MorvaneAntispamKrn.h"

namespace {

constexpr int kForceWaitSeconds = 26;

int Usage() {
    std::fprintf(stderr,
                 "usage: morvane [-i | -s | -k | -u] [--appdir DIR]\n"
                 "  (no switch)  run the kernel in the foreground\n"
                 "  -i           install the systemd unit and start it\n"
                 "  -s           start the service\n"
                 "  -k           stop the service\n"
                 "  -u           stop and remove the service\n"
                 "  --appdir DIR application directory (default: the executable's directory)\n");
    return 2;
}

// Plays the service controller for the foreground kernel: SIGTERM/SIGINT stop, SIGHUP reloads.
int RunForeground(platform::ServiceLog& service_log) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    // Blocked before any thread exists, so every thread inherits the mask and only this one
    // receives the signals.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a client that hangs up is an error return, not a death

    service::KernelControl control;
    int result = 0;
    std::thread worker([&] {
        service::CMorvaneKernel kernel(control, platform::AppDir());
        result = kernel.Run();
    });

    bool stopping = false;
    int64_t stop_asked = 0;
    bool forced = false;
    while (!control.worker_returned) {
        timespec wait{0, 200 * 1000 * 1000};
        siginfo_t info;
        int sig = sigtimedwait(&set, &info, &wait);
        if (sig == SIGHUP) {
            control.reload_signal = true;
        } else if ((sig == SIGTERM || sig == SIGINT) && !stopping) {
            service_log.Write("ServiceHandler RICEVE code = %d\n", 1);
            stopping = true;
            stop_asked = common::NowSeconds();
            control.running = false;
        }
        if (stopping && !forced && !control.worker_exited && common::NowSeconds() - stop_asked > kForceWaitSeconds) {
            service_log.Write("Force CODE = %d\n", 1);
            forced = true;
            // The worker is stuck; end the process without running destructors under it.
            std::fflush(nullptr);
            _exit(1);
        }
    }
    worker.join();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    std::string app_dir;
    std::string control_switch;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--appdir") {
            if (i + 1 >= argc) return Usage();
            app_dir = argv[++i];
        } else if (a.rfind("--appdir=", 0) == 0) {
            app_dir = a.substr(9);
        } else if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else if (a == "--version") {
            std::printf("morvane %s\n", config::kKernelVersion);
            return 0;
        } else if (i == 1 && a.size() == 2 && a[0] == '-' && std::strchr("iIkKuUsS", a[1])) {
            control_switch = a;
        } else {
            std::fprintf(stderr, "morvane: unknown argument \"%s\"\n", a.c_str());
            return Usage();
        }
    }
    if (!app_dir.empty()) platform::SetAppDir(app_dir);
    if (!platform::MakeDirs(platform::AppDir())) {
        std::fprintf(stderr, "morvane: cannot use the application directory %s\n", platform::AppDir().c_str());
        return 1;
    }

    std::string exe = platform::ExecutablePath();
    platform::ServiceLog service_log(platform::ServiceLog::PathFor(exe));
    platform::ServiceControl control(service_log, exe, platform::AppDir());
    switch (control_switch.empty() ? '\0' : control_switch[1] | 0x20) {
        case 'i':
            if (control.Install()) control.Start();
            return 0;
        case 's': control.Start(); return 0;
        case 'k':
            std::printf("Control of the service is stopping ...\n");
            control.Stop();
            return 0;
        case 'u':
            control.Remove();
            ::unlink(service_log.Path().c_str());
            return 0;
        default: return RunForeground(service_log);
    }
}
