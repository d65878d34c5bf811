#pragma once
// Service control backed by systemd: install, start, stop and remove the kernel's unit.
//
// Each operation writes its outcome to the ServiceLog with the kernel's fixed messages; the
// "error code" in a message is errno of a failed file operation, or the exit status of the
// failed systemctl call (127 when systemctl itself could not be run). Nothing sets the
// process's exit code: operators read the ServiceLog, as with the console switches before.
//
// Environment, for tests and unusual hosts:
//   MORVANE_UNIT_DIR   where the unit file is written (default /etc/systemd/system)
//   MORVANE_SYSTEMCTL  the systemctl program to run (default systemctl)
#include <string>

#include "platform/ServiceLog.h"

namespace platform {

inline constexpr const char* kServiceName = "Morvane Antispam Kernel";
inline constexpr const char* kUnitName = "morvane.service";

class ServiceControl {
public:
    ServiceControl(ServiceLog& log, std::string executable, std::string appdir);

    // Writes the unit, reloads systemd and enables the unit at boot. True on success.
    bool Install();
    bool Start();
    bool Stop();
    // Stops the unit, disables it and deletes the unit file.
    bool Remove();

    std::string UnitPath() const;
    // The unit file's text, exposed for tests and for operators who install by hand.
    std::string UnitText() const;

private:
    // Exit status of `systemctl args...`, or 127 when it could not be run.
    int Systemctl(const std::string& verb, const std::string& arg = std::string()) const;
    bool UnitExists() const;

    ServiceLog& log_;
    std::string executable_;
    std::string appdir_;
};

}  // namespace platform
