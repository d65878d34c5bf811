#include "platform/KFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace platform {

bool CKFile::Open(std::string_view path, uint32_t flags) {
    Close();
    uint32_t access = flags & kFileAccessMask;
    uint32_t share = flags & kFileShareMask;
    if (access == 3 || share >= 0x50 || (flags & kFileText) || path.empty() || path.size() > kMaxPath) {
        errno = EINVAL;
        return false;
    }
    int oflags = O_CLOEXEC;  // a daemon never leaks descriptors into programs scripts run
    oflags |= access == kFileRead ? O_RDONLY : access == kFileWrite ? O_WRONLY : O_RDWR;
    if (flags & kFileCreate) oflags |= (flags & kFileNoTruncate) ? O_CREAT : (O_CREAT | O_TRUNC);
    std::string p(path);
    int fd = ::open(p.c_str(), oflags, kDataFileMode);
    if (fd < 0) return false;
    fd_ = fd;
    path_ = std::move(p);
    return true;
}

int64_t CKFile::Seek(int64_t offset, SeekFrom from) {
    if (fd_ < 0) return -1;
    int whence = from == SeekFrom::Begin ? SEEK_SET : from == SeekFrom::Current ? SEEK_CUR : SEEK_END;
    return ::lseek(fd_, offset, whence);
}

bool CKFile::SetLength(int64_t length) {
    return fd_ >= 0 && ::ftruncate(fd_, length) == 0;
}

int64_t CKFile::GetLength() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
    return st.st_size;
}

int64_t CKFile::GetPosition() const {
    return fd_ < 0 ? -1 : ::lseek(fd_, 0, SEEK_CUR);
}

int64_t CKFile::Read(void* buffer, size_t count) {
    if (fd_ < 0) return -1;
    for (;;) {
        ssize_t n = ::read(fd_, buffer, count);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

bool CKFile::Write(const void* buffer, size_t count) {
    if (fd_ < 0) return false;
    const char* p = static_cast<const char*>(buffer);
    while (count > 0) {
        ssize_t n = ::write(fd_, p, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

static bool LockOp(int fd, short type, int64_t offset, int64_t count) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = count;
    return fd >= 0 && ::fcntl(fd, F_SETLK, &fl) == 0;
}

bool CKFile::LockRange(int64_t offset, int64_t count) {
    return LockOp(fd_, F_WRLCK, offset, count);
}
bool CKFile::UnlockRange(int64_t offset, int64_t count) {
    return LockOp(fd_, F_UNLCK, offset, count);
}

bool CKFile::Sync() {
    return fd_ >= 0 && ::fsync(fd_) == 0;
}

bool CKFile::Close() {
    if (fd_ < 0) return true;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
}

bool AtomicFileWriter::Begin(const std::string& target, unsigned mode) {
    Abandon();
    static std::atomic<unsigned> sequence{0};
    target_ = target;
    // Unique per process and call: two threads saving the same file never share a temporary.
    temp_ = target + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(sequence++);
    failed_ = false;
    saved_errno_ = 0;
    buffer_.clear();
    buffer_.reserve(kBufferSize);
    if (!file_.Open(temp_, kFileWrite | kFileCreate)) {
        temp_.clear();
        return false;
    }
    // The old file's mode does not carry over a rename: set the one wanted, before any byte.
    if (::chmod(temp_.c_str(), static_cast<mode_t>(mode)) != 0) {
        saved_errno_ = errno;
        Abandon();
        errno = saved_errno_;
        return false;
    }
    return true;
}

void AtomicFileWriter::Append(const void* data, size_t size) {
    if (failed_ || !file_.IsOpen()) return;
    if (buffer_.size() + size > kBufferSize && !Flush()) return;
    if (size >= kBufferSize) {
        if (!file_.Write(data, size)) {
            failed_ = true;
            saved_errno_ = errno;
        }
        return;
    }
    buffer_.append(static_cast<const char*>(data), size);
}

bool AtomicFileWriter::Flush() {
    if (failed_ || !file_.IsOpen()) return false;
    if (!buffer_.empty() && !file_.Write(buffer_)) {
        failed_ = true;
        saved_errno_ = errno;
    }
    buffer_.clear();
    return !failed_;
}

bool AtomicFileWriter::PatchAt(int64_t offset, std::string_view data) {
    if (!Flush()) return false;
    int64_t end = file_.GetPosition();
    if (file_.Seek(offset, SeekFrom::Begin) < 0 || !file_.Write(data) || file_.Seek(end, SeekFrom::Begin) < 0) {
        failed_ = true;
        saved_errno_ = errno;
    }
    return !failed_;
}

bool AtomicFileWriter::Commit() {
    if (!Flush() || !file_.Sync()) {
        int e = failed_ ? saved_errno_ : errno;
        Abandon();
        errno = e;
        return false;
    }
    if (!file_.Close() || ::rename(temp_.c_str(), target_.c_str()) != 0) {
        int e = errno;
        Abandon();
        errno = e;
        return false;
    }
    temp_.clear();
    // The rename itself must survive a power cut too: sync the directory entry.
    size_t slash = target_.find_last_of('/');
    std::string dir = slash == std::string::npos ? std::string(".") : target_.substr(0, slash == 0 ? 1 : slash);
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

void AtomicFileWriter::Abandon() {
    file_.Close();
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
    buffer_.clear();
    buffer_.shrink_to_fit();
}

bool WriteFileAtomic(const std::string& path, std::string_view data, unsigned mode) {
    AtomicFileWriter w;
    if (!w.Begin(path, mode)) return false;
    w.Append(data);
    return w.Commit();
}

bool ReadWholeFile(const std::string& path, std::string& out) {
    CKFile f;
    out.clear();
    if (!f.Open(path, kFileRead)) return false;
    char block[65536];
    for (;;) {
        int64_t n = f.Read(block, sizeof block);
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(block, static_cast<size_t>(n));
    }
}

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int64_t FileSize(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return -1;
    return st.st_size;
}

}  // namespace platform

namespace platform {

std::vector<std::string> RemoveStaleTemporaries(const std::string& dir) {
    std::vector<std::string> removed;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return removed;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        const size_t tmp = name.rfind(".tmp");
        if (tmp == std::string::npos || tmp == 0) continue;
        // ".tmp" PID "_" N, digits only.
        const std::string tail = name.substr(tmp + 4);
        const size_t bar = tail.find('_');
        if (bar == std::string::npos || bar == 0 || bar + 1 == tail.size()) continue;
        if (tail.find_first_not_of("0123456789_") != std::string::npos || tail.find('_', bar + 1) != std::string::npos)
            continue;
        const long pid = std::strtol(tail.substr(0, bar).c_str(), nullptr, 10);
        // A save of a process that still runs (a tool beside the kernel) is left to finish.
        if (pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)) continue;
        if (::unlink((dir + "/" + name).c_str()) == 0) removed.push_back(name);
    }
    ::closedir(d);
    return removed;
}

std::string FileStamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::string();
    return std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + "/" +
           std::to_string(st.st_size);
}

}  // namespace platform
