#pragma once
// The input and output classes scripts import for their own files, buffers, programs and
// network peers: CS_Buffer (a common::String), CS_File, CS_MemoryFile, CS_FileSystem and
// CS_Socket. Every method that takes a byte count reads and writes within the objects it was
// given, whatever count the script passes: a script never reaches memory it does not own.
// Relative paths are under the application directory. Each object belongs to one script run.
#include <cstdint>
#include <string>

#include "common/String.h"
#include "platform/KFile.h"
#include "platform/SocketComm.h"
#include "platform/UdpSocket.h"
#include "script/CS_Array.h"
#include "script/Variable.h"

namespace classes {

// CS_Buffer is common::String; these are its script methods.
namespace buffer {
void Allocate(common::String* b, int32_t size);
int32_t GetLen(common::String* b);
std::string ToString(common::String* b);
// Replaces the content with `length` bytes of `data`, at most the text's own length.
void Write(common::String* b, const char* data, int32_t length);
common::String* GetBuffer(common::String* b);
// 0 outside the content.
char GetAt(common::String* b, int32_t index);
}  // namespace buffer

// The bytes of a script value that must be a CS_Buffer, at most `count`; empty otherwise.
std::string_view BufferBytes(script::Variable buffer, int64_t count);

class CS_File {
public:
    bool Open(const char* path, uint32_t flags);
    void Write(const char* data, uint32_t count);
    void WriteB(script::Variable data, uint32_t count);
    int32_t Read(common::String* buffer);
    int32_t Seek(int32_t offset, int32_t origin);
    void Flush() { file_.Flush(); }
    void Close() { file_.Close(); }

private:
    platform::CKFile file_;
};

class CS_MemoryFile {
public:
    explicit CS_MemoryFile(int32_t grow = 1024);
    void Write(const char* data, int32_t count);
    void WriteB(script::Variable data, int32_t count);
    int32_t Read(common::String* buffer);
    std::string ToString() const { return std::string(data_.data(), data_.size()); }
    // The content as a CS_Buffer (a copy), to pass where a buffer is expected.
    common::String* GetPointer();
    int32_t GetLength() const { return static_cast<int32_t>(data_.size()); }
    int64_t Capacity() const { return capacity_; }
    void Close();
    void Flush() {}

private:
    void Put(std::string_view bytes);

    uint32_t grow_;
    int64_t position_ = 0;
    int64_t capacity_ = 0;
    std::string data_;  // `length` bytes
    common::String view_;
};

class CS_FileSystem {
public:
    int32_t UnLink(const char* path);
    int32_t FileExists(const char* path);
    int32_t DirExists(const char* path);
    int32_t CopyFile(const char* from, const char* to, int32_t overwrite);
    // Renames, or copies and deletes across file systems; 1 when moved. An existing target is
    // replaced only with `overwrite`.
    int32_t MoveFile(const char* from, const char* to, int32_t overwrite);
    // Creates the directory and its parents; 1 when it exists afterwards.
    int32_t CreateDir(const char* path);
    // Every entry of the directory (also "." and ".."), key and value its name. A last path
    // component with * or ? is a name pattern: "logs/*.xml".
    int32_t ReadDir(const char* directory, script::CS_Array* result);
    int32_t FileSize(const char* path);
    // Runs the command through /bin/sh -c in the application directory and waits: its exit
    // status, 128 + the signal that ended it, or -1 when it could not run.
    int32_t Exec(const char* command);
    std::string AppPath();
};

class CS_Socket {
public:
    static constexpr int kUdpDefaultTimeoutMs = 200;
    explicit CS_Socket(int32_t mode = 0);
    int32_t ConnectTo(const char* host, const char* port, const char* local_address);
    int32_t IsOpen();
    int32_t Send(const char* text, int32_t length, int32_t timeout_ms);
    int32_t SendB(script::Variable data, int32_t length, int32_t timeout_ms);
    int32_t Riceve(common::String* buffer, int32_t timeout_ms);
    void Close();

private:
    int32_t SendBytes(std::string_view bytes, int32_t timeout_ms);

    bool udp_;
    platform::CSocketComm tcp_;
    platform::UdpSocket udp_socket_;
    platform::Endpoint destination_;
};

void RegisterIoImportables();

}  // namespace classes
