#include "classes/IoClasses.h"

#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>

#include "platform/Paths.h"
#include "script/Bind.h"
#include "script/Imports.h"

namespace classes {

namespace {

// A path a script names, or "" when missing or too long for the file class.
std::string PathArg(const char* path) {
    if (!path || !*path) return std::string();
    return platform::ResolveAppPath(path);
}

// Reads into a script's buffer: at most its capacity - 2 bytes; -1 without a usable buffer.
template <typename ReadFn>
int32_t ReadInto(common::String* buffer, ReadFn read) {
    if (!buffer || buffer->Capacity() < 3) return -1;
    std::string bytes(static_cast<size_t>(buffer->Capacity() - 2), '\0');
    int64_t n = read(bytes.data(), bytes.size());
    if (n < 0) n = 0;
    buffer->SetBinary(bytes.data(), static_cast<int>(n));
    return static_cast<int32_t>(n);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CS_Buffer

namespace buffer {

void Allocate(common::String* b, int32_t size) {
    // A script's buffer stays below 64 MiB: a wrong size must not take the kernel's memory.
    if (size > 0) b->Reserve(std::min(size, 64 << 20) + 1);
}
int32_t GetLen(common::String* b) {
    return b->BinaryLength();
}
std::string ToString(common::String* b) {
    return b->str();
}
void Write(common::String* b, const char* data, int32_t length) {
    if (!data || length <= 0) {
        b->Clear();
        return;
    }
    size_t n = std::min(static_cast<size_t>(length), std::strlen(data));
    b->SetBinary(data, static_cast<int>(n));
}
common::String* GetBuffer(common::String* b) {
    return b;
}
char GetAt(common::String* b, int32_t index) {
    std::string_view bytes = b->Bytes();
    return index >= 0 && static_cast<size_t>(index) < bytes.size() ? bytes[static_cast<size_t>(index)] : '\0';
}

}  // namespace buffer

std::string_view BufferBytes(script::Variable buffer, int64_t count) {
    if (buffer.class_id() != &script::ClassIdOf<common::String>::id || count <= 0) return {};
    auto* b = static_cast<common::String*>(buffer.ToPointer());
    if (!b) return {};
    std::string_view bytes = b->Bytes();
    return bytes.substr(0, static_cast<size_t>(std::min<int64_t>(count, static_cast<int64_t>(bytes.size()))));
}

// ---------------------------------------------------------------------------------------------
// CS_File

bool CS_File::Open(const char* path, uint32_t flags) {
    file_.Close();
    if (!path || std::strlen(path) > platform::CKFile::kMaxPath) return false;
    std::string p = PathArg(path);
    // A directory opens for reading on POSIX, and then every read fails: refuse it here.
    struct stat st {};
    if (p.empty() || (::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) return false;
    return file_.Open(p, flags);
}

void CS_File::Write(const char* data, uint32_t count) {
    if (!file_.IsOpen() || !data || count == 0) return;
    file_.Write(data, std::min<size_t>(count, std::strlen(data)));
}

void CS_File::WriteB(script::Variable data, uint32_t count) {
    std::string_view bytes = BufferBytes(data, count);
    if (file_.IsOpen() && !bytes.empty()) file_.Write(bytes.data(), bytes.size());
}

int32_t CS_File::Read(common::String* buffer) {
    if (!buffer || buffer->Capacity() < 3) return -1;
    if (!file_.IsOpen()) {
        buffer->Clear();
        return 0;
    }
    return ReadInto(buffer, [this](char* to, size_t n) { return file_.Read(to, n); });
}

int32_t CS_File::Seek(int32_t offset, int32_t origin) {
    if (!file_.IsOpen() || origin < 0 || origin > 2) return 0;
    int64_t at = file_.Seek(offset, static_cast<platform::SeekFrom>(origin));
    return at < 0 || at > std::numeric_limits<int32_t>::max() ? 0 : static_cast<int32_t>(at);
}

// ---------------------------------------------------------------------------------------------
// CS_MemoryFile

CS_MemoryFile::CS_MemoryFile(int32_t grow) {
    uint32_t g = static_cast<uint32_t>(grow);
    if (g == 0) g = 1024;
    if (g >= 0xFFFFFF00u) g = 0xFFFFFEFFu;
    grow_ = g;
}

void CS_MemoryFile::Put(std::string_view bytes) {
    if (bytes.empty()) return;
    const int64_t end = position_ + static_cast<int64_t>(bytes.size());
    if (end > std::numeric_limits<int32_t>::max()) return;  // lengths are int for scripts
    while (capacity_ < end) capacity_ += grow_;
    if (static_cast<int64_t>(data_.size()) < end) data_.resize(static_cast<size_t>(end), '\0');
    data_.replace(static_cast<size_t>(position_), bytes.size(), bytes);
    position_ = end;
}

void CS_MemoryFile::Write(const char* data, int32_t count) {
    if (!data || count <= 0) return;
    Put(std::string_view(data, std::min(static_cast<size_t>(count), std::strlen(data))));
}

void CS_MemoryFile::WriteB(script::Variable data, int32_t count) {
    Put(BufferBytes(data, count));
}

int32_t CS_MemoryFile::Read(common::String* buffer) {
    return ReadInto(buffer, [this](char* to, size_t n) -> int64_t {
        if (position_ >= static_cast<int64_t>(data_.size())) return 0;
        size_t count = std::min(n, data_.size() - static_cast<size_t>(position_));
        std::memcpy(to, data_.data() + position_, count);
        position_ += static_cast<int64_t>(count);
        return static_cast<int64_t>(count);
    });
}

common::String* CS_MemoryFile::GetPointer() {
    view_.SetBinary(data_.data(), static_cast<int>(data_.size()));
    return &view_;
}

void CS_MemoryFile::Close() {
    position_ = 0;
    capacity_ = 0;
    data_.clear();
    data_.shrink_to_fit();
    view_.Clear();
}

// ---------------------------------------------------------------------------------------------
// CS_FileSystem

int32_t CS_FileSystem::UnLink(const char* path) {
    std::string p = PathArg(path);
    return !p.empty() && ::unlink(p.c_str()) == 0 ? 1 : 0;
}

int32_t CS_FileSystem::FileExists(const char* path) {
    std::string p = PathArg(path);
    struct stat st {};
    return !p.empty() && ::stat(p.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) ? 1 : 0;
}

int32_t CS_FileSystem::DirExists(const char* path) {
    std::string p = PathArg(path);
    struct stat st {};
    return !p.empty() && ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int32_t CS_FileSystem::CopyFile(const char* from, const char* to, int32_t overwrite) {
    std::string src = PathArg(from), dst = PathArg(to);
    if (src.empty() || dst.empty()) return 0;
    platform::CKFile in;
    if (!in.Open(src, platform::kFileRead | platform::kFileShareDenyWrite | platform::kFileBinary)) return 0;
    if (!overwrite && platform::IsRegularFile(dst)) return 0;
    // Onto itself: truncating the target would empty the source first.
    std::error_code ec;
    if (std::filesystem::equivalent(src, dst, ec)) return 1;
    platform::CKFile out;
    if (!out.Open(dst,
                  platform::kFileWrite | platform::kFileCreate | platform::kFileShareDenyNone | platform::kFileBinary))
        return 0;
    char block[2048];
    for (;;) {
        int64_t n = in.Read(block, sizeof block);
        if (n < 0) return 0;
        if (n == 0) return 1;
        if (!out.Write(block, static_cast<size_t>(n))) return 0;
    }
}

int32_t CS_FileSystem::MoveFile(const char* from, const char* to, int32_t overwrite) {
    std::string src = PathArg(from), dst = PathArg(to);
    if (src.empty() || dst.empty() || !platform::IsRegularFile(src)) return 0;
    if (!overwrite && platform::IsRegularFile(dst)) return 0;
    if (::rename(src.c_str(), dst.c_str()) == 0) return 1;
    if (errno != EXDEV || !CopyFile(from, to, 1)) return 0;
    return ::unlink(src.c_str()) == 0 ? 1 : 0;
}

int32_t CS_FileSystem::CreateDir(const char* path) {
    std::string p = PathArg(path);
    return !p.empty() && platform::MakeDirs(p) ? 1 : 0;
}

int32_t CS_FileSystem::ReadDir(const char* directory, script::CS_Array* result) {
    if (!directory || !*directory || !result) return 0;
    result->Reset();
    std::string dir = PathArg(directory);
    std::string pattern = "*";
    size_t slash = dir.rfind('/');
    if (slash != std::string::npos && dir.find_first_of("*?", slash) != std::string::npos) {
        pattern = dir.substr(slash + 1);
        dir.erase(slash == 0 ? 1 : slash);
    }
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    if (ec) return 0;
    for (const char* dot : {".", ".."})
        if (::fnmatch(pattern.c_str(), dot, 0) == 0) result->Set(dot, dot);
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (ec) return 0;
        std::string name = it->path().filename().string();
        if (::fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0) result->Set(name, name);
    }
    return 1;
}

int32_t CS_FileSystem::FileSize(const char* path) {
    std::string p = PathArg(path);
    int64_t size = p.empty() ? 0 : platform::FileSize(p);
    return size < 0 ? 0 : static_cast<int32_t>(std::min<int64_t>(size, std::numeric_limits<int32_t>::max()));
}

int32_t CS_FileSystem::Exec(const char* command) {
    if (!command || !*command) return -1;
    // Relative paths of the command mean what they mean to the script: under the application
    // directory. Only async-signal-safe calls after fork: the kernel has many threads.
    const std::string dir = platform::AppDir();
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(127);
        ::execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

std::string CS_FileSystem::AppPath() {
    return platform::AppDir();
}

// ---------------------------------------------------------------------------------------------
// CS_Socket

CS_Socket::CS_Socket(int32_t mode) : udp_(mode >= 1) {
    if (udp_) udp_socket_.Open();
}

int32_t CS_Socket::ConnectTo(const char* host, const char* port, const char* local_address) {
    if (!udp_) {
        tcp_.Close();
        if (!host || !*host || !port || !*port) return 0;
        return tcp_.Connect(host, port, local_address ? local_address : "", 10000) ? 1 : 0;
    }
    // A fresh datagram socket for the new destination, so the object stays usable.
    udp_socket_.Close();
    std::string where = host && *host ? host : "0.0.0.0";
    if (where.find(':') != std::string::npos && where.front() != '[') where = "[" + where + "]";  // IPv6
    auto to = platform::ParseEndpoint(where + ":" + (port ? port : "0"), 0);
    destination_ = to ? *to : platform::Endpoint{};
    udp_socket_.Open(!destination_.ip.IsV4());
    return 1;
}

int32_t CS_Socket::IsOpen() {
    return (udp_ ? udp_socket_.IsOpen() : tcp_.HasHandle()) ? 1 : 0;
}

int32_t CS_Socket::SendBytes(std::string_view bytes, int32_t timeout_ms) {
    if (!IsOpen()) return -1;
    if (bytes.empty()) return 0;
    if (!udp_) return std::max(0, tcp_.Send(bytes, timeout_ms > 0 ? timeout_ms : kUdpDefaultTimeoutMs));
    return udp_socket_.SendTo(destination_, bytes, timeout_ms > 0 ? timeout_ms : kUdpDefaultTimeoutMs)
               ? static_cast<int32_t>(bytes.size())
               : 0;
}

int32_t CS_Socket::Send(const char* text, int32_t length, int32_t timeout_ms) {
    if (!IsOpen()) return -1;
    if (!text || length < 1 || static_cast<size_t>(length) > std::strlen(text)) return 0;
    return SendBytes(std::string_view(text, static_cast<size_t>(length)), timeout_ms);
}

int32_t CS_Socket::SendB(script::Variable data, int32_t length, int32_t timeout_ms) {
    if (!IsOpen()) return -1;
    return SendBytes(BufferBytes(data, length), timeout_ms);
}

int32_t CS_Socket::Riceve(common::String* buffer, int32_t timeout_ms) {
    if (!IsOpen() || !buffer || buffer->Capacity() < 3) return -1;
    const int wait = timeout_ms > 0 ? timeout_ms : kUdpDefaultTimeoutMs;
    return ReadInto(buffer, [&](char* to, size_t n) -> int64_t {
        if (!udp_) return tcp_.Recv(to, static_cast<int>(n), wait);
        std::string got;
        if (!udp_socket_.RecvFrom(got, n, wait)) return 0;
        std::memcpy(to, got.data(), got.size());
        return static_cast<int64_t>(got.size());
    });
}

void CS_Socket::Close() {
    tcp_.Close();
    udp_socket_.Close();
}

// ---------------------------------------------------------------------------------------------
// Registration

void RegisterIoImportables() {
    script::ClassIdOf<common::String>::SetName("CS_Buffer");
    script::RegisterImportable("CS_Buffer", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<common::String>>("CS_Buffer");
        c->Method("Allocate", &buffer::Allocate)
            .Method("GetLen", &buffer::GetLen)
            .Method("ToString", &buffer::ToString)
            .Method("Write", &buffer::Write)
            .Method("GetBuffer", &buffer::GetBuffer)
            .Method("GetPointer", &buffer::GetBuffer)
            .Method("GetAt", &buffer::GetAt);
        in.AddExternClass("CS_Buffer", std::move(c));
    });
    script::RegisterImportable("CS_File", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CS_File>>("CS_File");
        c->Method("Open", &CS_File::Open)
            .Method("Write", &CS_File::Write)
            .Method("WriteB", &CS_File::WriteB)
            .Method("Read", &CS_File::Read)
            .Method("Seek", &CS_File::Seek)
            .Method("Flush", &CS_File::Flush)
            .Method("Close", &CS_File::Close);
        in.AddExternClass("CS_File", std::move(c));
    });
    script::RegisterImportable("CS_MemoryFile", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CS_MemoryFile, int32_t>>("CS_MemoryFile", "1024");
        c->Method("Write", &CS_MemoryFile::Write)
            .Method("WriteB", &CS_MemoryFile::WriteB)
            .Method("Read", &CS_MemoryFile::Read)
            .Method("ToString", &CS_MemoryFile::ToString)
            .Method("GetPointer", &CS_MemoryFile::GetPointer)
            .Method("GetLength", &CS_MemoryFile::GetLength)
            .Method("Close", &CS_MemoryFile::Close)
            .Method("Flush", &CS_MemoryFile::Flush);
        in.AddExternClass("CS_MemoryFile", std::move(c));
    });
    script::RegisterImportable("CS_FileSystem", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CS_FileSystem>>("CS_FileSystem");
        c->Method("UnLink", &CS_FileSystem::UnLink)
            .Method("FileExists", &CS_FileSystem::FileExists)
            .Method("DirExists", &CS_FileSystem::DirExists)
            .Method("CopyFile", &CS_FileSystem::CopyFile, ",,1")
            .Method("MoveFile", &CS_FileSystem::MoveFile, ",,0")
            .Method("CreateDir", &CS_FileSystem::CreateDir)
            .Method("ReadDir", &CS_FileSystem::ReadDir)
            .Method("FileSize", &CS_FileSystem::FileSize)
            .Method("Exec", &CS_FileSystem::Exec)
            .Method("AppPath", &CS_FileSystem::AppPath);
        in.AddExternClass("CS_FileSystem", std::move(c));
    });
    script::RegisterImportable("CS_Socket", [](script::Interpreter& in) {
        auto c = std::make_unique<script::ExternClass<CS_Socket, int32_t>>("CS_Socket", "0");
        c->Method("ConnectTo", &CS_Socket::ConnectTo, ",,0")
            .Method("IsOpen", &CS_Socket::IsOpen)
            .Method("Send", &CS_Socket::Send)
            .Method("SendB", &CS_Socket::SendB)
            .Method("Riceve", &CS_Socket::Riceve)
            .Method("Close", &CS_Socket::Close);
        in.AddExternClass("CS_Socket", std::move(c));
    });
}

}  // namespace classes
