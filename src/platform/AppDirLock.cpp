#include "platform/AppDirLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

AppDirLock::~AppDirLock() {
    Release();
}

bool AppDirLock::Acquire(const std::string& app_dir, std::string* holder) {
    Release();
    const std::string path = app_dir + "/" + kAppDirLockFile;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (holder) *holder = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (holder) {
            char buf[32] = {};
            ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
            std::string pid(buf, n > 0 ? static_cast<size_t>(n) : 0);
            while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
            *holder = "process " + (pid.empty() ? std::string("?") : pid);
        }
        ::close(fd);
        return false;
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
        // The id is for people; the lock holds without it.
    }
    fd_ = fd;
    return true;
}

void AppDirLock::Release() {
    if (fd_ < 0) return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

}  // namespace platform
