#pragma once
// AppDirLock: one process at a time works on an application directory. The kernel holds
// "morvane.lock" there for its whole life; morvane-script --appdir takes it too, so a
// maintenance run by hand never saves tables over a running kernel's (or the other way round).
// The lock is an flock on the file, so it goes with the process, however it ends.
#include <string>

namespace platform {

inline constexpr const char* kAppDirLockFile = "morvane.lock";

class AppDirLock {
public:
    AppDirLock() = default;
    ~AppDirLock();
    AppDirLock(const AppDirLock&) = delete;
    AppDirLock& operator=(const AppDirLock&) = delete;

    // Takes the lock of `app_dir` and writes this process's id into the file. False when
    // another process holds it (`holder`: the id it wrote) or the file cannot be opened
    // (`holder`: why).
    bool Acquire(const std::string& app_dir, std::string* holder);
    void Release();

private:
    int fd_ = -1;
};

}  // namespace platform
