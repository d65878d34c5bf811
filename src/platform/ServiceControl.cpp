#include "platform/ServiceControl.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/KFile.h"

extern char** environ;

namespace platform {

namespace {

std::string EnvOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : std::string(fallback);
}

// systemd splits ExecStart on blanks and treats quotes specially: quote every argument.
std::string QuoteArg(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out.push_back('\\');
        if (c == '%') out.push_back('%');
        out.push_back(c);
    }
    return out + "\"";
}

}  // namespace

ServiceControl::ServiceControl(ServiceLog& log, std::string executable, std::string appdir)
    : log_(log), executable_(std::move(executable)), appdir_(std::move(appdir)) {}

std::string ServiceControl::UnitPath() const {
    return EnvOr("MORVANE_UNIT_DIR", "/etc/systemd/system") + "/" + kUnitName;
}

std::string ServiceControl::UnitText() const {
    std::string t;
    t += "[Unit]\n";
    t += std::string("Description=") + kServiceName + "\n";
    t += "After=network-online.target\nWants=network-online.target\n\n";
    t += "[Service]\nType=simple\n";
    t += "ExecStart=" + QuoteArg(executable_) + " --appdir " + QuoteArg(appdir_) + "\n";
    t += "ExecReload=/bin/kill -HUP $MAINPID\n";
    // Every client takes two descriptors (its own and the MTA's); the usual 1024 is reached
    // at about 500 connections.
    t += "LimitNOFILE=65536\n";
    // Hardening: the kernel needs nothing but its application directory (the service log
    // included); a fault in a parser then cannot reach the rest of the system.
    t += "NoNewPrivileges=yes\nPrivateTmp=yes\nProtectSystem=strict\n";
    const bool in_home = appdir_.rfind("/home/", 0) == 0 || appdir_.rfind("/root/", 0) == 0 || appdir_ == "/root";
    t += std::string("ProtectHome=") + (in_home ? "read-only" : "yes") + "\n";
    t += "ReadWritePaths=" + QuoteArg(appdir_) + "\n";
    t += "UMask=0027\n";
    // The kernel saves its tables on the way out; give it the time it asks for.
    t += "TimeoutStopSec=30\nRestart=on-failure\n\n";
    t += "[Install]\nWantedBy=multi-user.target\n";
    return t;
}

int ServiceControl::Systemctl(const std::string& verb, const std::string& arg) const {
    std::string prog = EnvOr("MORVANE_SYSTEMCTL", "systemctl");
    std::vector<std::string> words{prog, verb};
    if (!arg.empty()) words.push_back(arg);
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, prog.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return 127;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return 127;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ServiceControl::UnitExists() const {
    struct stat st;
    return ::stat(UnitPath().c_str(), &st) == 0;
}

bool ServiceControl::Install() {
    if (!WriteFileAtomic(UnitPath(), UnitText())) {
        log_.Write("Failed to create service %s, error code = %d\n", kServiceName, errno);
        return false;
    }
    int rc = Systemctl("daemon-reload");
    if (rc == 0) rc = Systemctl("enable", kUnitName);
    if (rc != 0) {
        log_.Write("OpenSCManager failed, error code = %d\n", rc);
        return false;
    }
    log_.Write("Service %s installed\n", kServiceName);
    return true;
}

bool ServiceControl::Start() {
    if (!UnitExists()) {
        log_.Write("OpenService failed, error code = %d\n", ENOENT);
        return false;
    }
    int rc = Systemctl("start", kUnitName);
    if (rc != 0) {
        log_.Write(rc == 127 ? "OpenSCManager failed, error code = %d\n" : "StartService failed, error code = %d\n",
                   rc);
        return false;
    }
    log_.Write("Run Service OK !!!\n");
    return true;
}

bool ServiceControl::Stop() {
    if (!UnitExists()) {
        log_.Write("OpenService failed, error code = %d\n", ENOENT);
        return false;
    }
    int rc = Systemctl("stop", kUnitName);
    if (rc != 0) {
        log_.Write(rc == 127 ? "OpenSCManager failed, error code = %d\n" : "ControlService failed, error code = %d\n",
                   rc);
        return false;
    }
    return true;
}

bool ServiceControl::Remove() {
    Stop();
    if (!UnitExists()) {
        log_.Write("OpenService failed, error code = %d\n", ENOENT);
        return false;
    }
    int rc = Systemctl("disable", kUnitName);
    if (rc == 127) {
        log_.Write("OpenSCManager failed, error code = %d\n", rc);
        return false;
    }
    if (::unlink(UnitPath().c_str()) != 0) {
        log_.Write("Failed to delete service %s\n", kServiceName);
        return false;
    }
    Systemctl("daemon-reload");
    log_.Write("Service %s removed\n", kServiceName);
    return true;
}

}  // namespace platform
