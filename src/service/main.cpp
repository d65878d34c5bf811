// morvane: the kernel executable. One switch controls the installed service; without one the
// kernel runs in the foreground, as systemd runs it.
//
//   morvane [--appdir DIR]            run the kernel
//   morvane -i|-I [--appdir DIR]      install the systemd unit and start it
//   morvane -s|-S                     start the service
//   morvane -k|-K                     stop the service
//   morvane -u|-U                     stop and remove the service, delete the service log
//                                     (morvane.log in the application directory)
//   morvane --set-password [--appdir DIR]
//                                     store the superuser's password (web GUI)
//   morvane --check-config [--appdir DIR]
//                                     check morvane.ini without starting anything
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "common/Clock.h"
#include "config/KernelConfig.h"
#include "platform/KFile.h"
#include "platform/PasswordHash.h"
#include "platform/Paths.h"
#include "platform/ServiceControl.h"
#include "platform/ServiceLog.h"
#include "platform/WakeEvent.h"
#include "service/MorvaneAntispamKrn.h"
#include "store/FileINI.h"

namespace {

constexpr int kForceWaitSeconds = 26;

int Usage(FILE* to = stderr) {
    std::fprintf(to,
                 "usage: morvane [-i | -s | -k | -u] [--appdir DIR]\n"
                 "  (no switch)  run the kernel in the foreground\n"
                 "  -i           install the systemd unit and start it\n"
                 "  -s           start the service\n"
                 "  -k           stop the service\n"
                 "  -u           stop and remove the service\n"
                 "  --set-password  store the superuser's password for the web GUI (asked twice\n"
                 "               on a terminal, else one line of standard input)\n"
                 "  --check-config  check morvane.ini and list every problem with its line;\n"
                 "               exit status 1 when there is an error\n"
                 "  --appdir DIR application directory (default: the executable's directory)\n");
    return to == stderr ? 2 : 0;
}

// Plays the service controller for the foreground kernel: SIGTERM/SIGINT stop, SIGHUP reloads.
int RunForeground(platform::ServiceLog& service_log) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1);
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
        } else if (sig == SIGUSR1) {
            control.drain_signal = true;
        } else if ((sig == SIGTERM || sig == SIGINT) && !stopping) {
            service_log.Write("ServiceHandler RICEVE code = %d\n", 1);
            stopping = true;
            stop_asked = common::SteadySeconds();
            control.running = false;
        }
        if (sig > 0) platform::KernelWake().Notify();  // the main loop acts now, not at its tick
        if (stopping && !forced && !control.worker_exited && common::SteadySeconds() - stop_asked > kForceWaitSeconds) {
            service_log.Write("Force CODE = %d\n", 1);
            forced = true;
            // The worker is stuck; end the process without running destructors under it.
            std::fflush(nullptr);
            _exit(1);
        }
    }
    worker.join();
    if (result != 0) service_log.Write("The kernel could not start (status %d); see standard error\n", result);
    return result;
}

int CheckConfig() {
    const std::string path = platform::AppDir() + "/morvane.ini";
    std::string text;
    if (!platform::ReadWholeFile(path, text)) {
        if (platform::FileSize(path) < 0) {
            std::printf("%s: missing; a first start writes it with every default\n", path.c_str());
            return 0;
        }
        std::fprintf(stderr, "morvane: cannot read %s\n", path.c_str());
        return 1;
    }
    int errors = 0, warnings = 0;
    for (const config::ConfigProblem& p : config::CheckConfigText(text)) {
        std::printf("%s:%d: %s: %s\n", path.c_str(), p.line, p.error ? "error" : "warning", p.message.c_str());
        ++(p.error ? errors : warnings);
    }
    std::printf("%s: %d error(s), %d warning(s)\n", path.c_str(), errors, warnings);
    return errors > 0 ? 1 : 0;
}

// One line from standard input, without its line end; echo off on a terminal.
bool ReadSecret(const char* prompt, std::string* out) {
    const bool tty = ::isatty(0);
    termios saved{};
    if (tty) {
        std::fprintf(stderr, "%s", prompt);
        ::tcgetattr(0, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(0, TCSANOW, &quiet);
    }
    out->clear();
    int c;
    bool any = false;
    while ((c = std::getchar()) != EOF && c != '\n') {
        any = true;
        if (out->size() < 1024) out->push_back(static_cast<char>(c));
    }
    if (tty) {
        ::tcsetattr(0, TCSANOW, &saved);
        std::fprintf(stderr, "\n");
    }
    if (!out->empty() && out->back() == '\r') out->pop_back();
    return any || c == '\n';
}

int SetPassword() {
    constexpr size_t kMinLength = 8;
    std::string first, second;
    if (!ReadSecret("New password: ", &first)) {
        std::fprintf(stderr, "morvane: no password given\n");
        return 1;
    }
    if (::isatty(0) && (!ReadSecret("Again: ", &second) || second != first)) {
        std::fprintf(stderr, "morvane: the two passwords differ; nothing stored\n");
        return 1;
    }
    if (first.size() < kMinLength) {
        std::fprintf(stderr, "morvane: a password needs at least %zu characters; nothing stored\n", kMinLength);
        return 1;
    }
    if (first == "kelpo") {
        std::fprintf(stderr, "morvane: that is the shipped default password; nothing stored\n");
        return 1;
    }
    const std::string stored = platform::HashPassword(first);
    if (stored.empty()) {
        std::fprintf(stderr, "morvane: no random source for the password's salt; nothing stored\n");
        return 1;
    }
    const std::string path = platform::AppDir() + "/morvane.ini";
    store::CFileINI ini;
    ini.Load(path);  // a missing file starts empty; the kernel fills in the rest at start
    ini.WriteString("READMIN", "password", stored);
    if (!platform::WriteFileAtomic(path, ini.Serialize(), platform::kPrivateFileMode)) {
        std::fprintf(stderr, "morvane: cannot write %s\n", path.c_str());
        return 1;
    }
    std::printf(
        "Password stored in %s. A running kernel takes it on its next reload (SIGHUP, "
        "systemctl reload morvane) or restart.\n",
        path.c_str());
    return 0;
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
            return Usage(stdout);
        } else if (a == "--set-password" || a == "--check-config") {
            control_switch = a;
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
    if (control_switch == "--check-config") return CheckConfig();
    // Tables, quarantined mail and morvane.ini (the admin key) are the kernel's and its group's
    // only: no file it makes is readable by every local user.
    ::umask(027);
    if (!platform::MakeDirs(platform::AppDir())) {
        std::fprintf(stderr, "morvane: cannot use the application directory %s\n", platform::AppDir().c_str());
        return 1;
    }

    if (control_switch == "--set-password") return SetPassword();

    std::string exe = platform::ExecutablePath();
    // In the application directory, whatever the executable's: an installed kernel lives in
    // /usr/sbin, which it must never write to. The running kernel's lines go to the journal too.
    platform::ServiceLog service_log(platform::AppDir() + "/morvane.log", control_switch.empty());
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
