#pragma once
// CKFile: one file handle with the open flags scripts and engines pass (read/write modes,
// create and truncate bits). Writes go straight to the kernel (no user-space buffer), so a
// crash of the process loses nothing already written; Sync() is for when the data must reach
// the disk. A CKFile belongs to one thread at a time. Failures come back as false / -1 with
// errno set; nothing throws.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum KFileFlags : uint32_t {
    kFileRead = 0x0,
    kFileWrite = 0x1,
    kFileReadWrite = 0x2,
    kFileAccessMask = 0x3,
    kFileShareMask = 0x70,
    kFileShareDenyWrite = 0x20,
    kFileShareDenyRead = 0x30,
    kFileShareDenyNone = 0x40,
    kFileNoInherit = 0x80,
    kFileCreate = 0x1000,
    kFileNoTruncate = 0x2000,
    kFileText = 0x4000,
    kFileBinary = 0x8000,
};

enum class SeekFrom { Begin = 0, Current = 1, End = 2 };

class CKFile {
public:
    static constexpr size_t kMaxPath = 260;

    CKFile() = default;
    ~CKFile() { Close(); }
    CKFile(const CKFile&) = delete;
    CKFile& operator=(const CKFile&) = delete;

    // Opens `path` with KFileFlags. Refused combinations (access 0x3, share 0x50..0x70, text
    // mode, a path over kMaxPath) fail with EINVAL. Share modes are accepted and not enforced:
    // POSIX has no mandatory sharing.
    bool Open(std::string_view path, uint32_t flags);
    // New position, or -1.
    int64_t Seek(int64_t offset, SeekFrom from);
    bool SetLength(int64_t length);
    int64_t GetLength() const;
    int64_t GetPosition() const;
    // Bytes read (0 at end of file), or -1.
    int64_t Read(void* buffer, size_t count);
    // Writes all of `count` bytes; false when any could not be written.
    bool Write(const void* buffer, size_t count);
    bool Write(std::string_view data) { return Write(data.data(), data.size()); }
    bool LockRange(int64_t offset, int64_t count);
    bool UnlockRange(int64_t offset, int64_t count);
    // Nothing is buffered in the process, so this only exists for callers written against a
    // buffered file; it always succeeds on an open file.
    bool Flush() { return fd_ >= 0; }
    // Forces written data to the disk.
    bool Sync();
    bool Close();
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

// AtomicFileWriter: streams a new version of a file that replaces the old one only on Commit.
// Data goes to a temporary file in the same directory through a buffer; Commit syncs it,
// renames it over the target and syncs the directory. Destroyed without a successful Commit,
// it removes the temporary file and the old file stays as it was.
// Modes of the files the kernel writes: tables, quarantined mail and logs are readable by its
// group (monitoring, backups); what holds a secret (morvane.ini: the admin key, the password
// hash) by the kernel's user only.
inline constexpr unsigned kDataFileMode = 0640;
inline constexpr unsigned kPrivateFileMode = 0600;

class AtomicFileWriter {
public:
    static constexpr size_t kBufferSize = 1 << 20;

    AtomicFileWriter() = default;
    ~AtomicFileWriter() { Abandon(); }
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    // Creates the temporary file with `mode` (it becomes the target's mode); false (errno set)
    // when it cannot. Files the kernel keeps are its own and its group's (kPrivateFileMode for
    // secrets).
    bool Begin(const std::string& target, unsigned mode = kDataFileMode);
    // Buffered; a failure is remembered and reported by Flush and Commit.
    void Append(const void* data, size_t size);
    void Append(std::string_view data) { Append(data.data(), data.size()); }
    // Writes the buffer out without syncing; lets a caller release its locks before the slow
    // part of Commit. False when any write so far failed.
    bool Flush();
    // Overwrites bytes already written at `offset` (e.g. a header count known only at the end).
    bool PatchAt(int64_t offset, std::string_view data);
    bool Commit();
    void Abandon();

private:
    CKFile file_;
    std::string target_;
    std::string temp_;
    std::string buffer_;
    bool failed_ = false;
    int saved_errno_ = 0;
};

// Writes `data` to `path` so that readers see the old file or the new one, never a part: a
// temporary file in the same directory, synced, then renamed over `path`. On failure the old
// file is untouched, the temporary file removed, and errno tells why.
bool WriteFileAtomic(const std::string& path, std::string_view data, unsigned mode = kDataFileMode);
// Removes the temporaries of saves that never finished ("NAME.tmpPID_N", as AtomicFileWriter
// names them) in `dir`, unless the process that wrote one still runs. The names removed.
std::vector<std::string> RemoveStaleTemporaries(const std::string& dir);

// Whole file into `out`; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& out);

// True for an existing regular file (not a directory, device or pipe).
bool IsRegularFile(const std::string& path);

// Size in bytes, or -1 when the file does not exist.
int64_t FileSize(const std::string& path);

// The file's modification time and size, "" when it cannot be read: what tells that a file was
// changed since it was read.
std::string FileStamp(const std::string& path);

}  // namespace platform
