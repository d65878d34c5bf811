#pragma once
// CS_MySqlConn and CS_MySqlRecordSet: a MySQL/MariaDB connection for scripts, and record sets
// that run one statement each and hand back its rows as HashArray maps. The client library is
// loaded at run time (dlopen), so the kernel builds and runs without it: first
// DIR/libdll/libmysql.so of the application directory, then the system's client library by
// soname. A connection may live in the persistent-object store and serve several threads: every
// operation of a connection and of its record sets holds the connection's lock.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/String.h"
#include "script/CS_Array.h"

namespace classes {

// The client library's entry points, resolved by name; any may be missing.
struct MySqlApi {
    void* (*init)(void*) = nullptr;
    void (*close)(void*) = nullptr;
    void* (*real_connect)(void*, const char*, const char*, const char*, const char*, unsigned int, const char*,
                          unsigned long) = nullptr;
    int (*query)(void*, const char*) = nullptr;
    void* (*store_result)(void*) = nullptr;
    unsigned long long (*num_rows)(void*) = nullptr;
    unsigned int (*num_fields)(void*) = nullptr;
    char** (*fetch_row)(void*) = nullptr;
    void (*free_result)(void*) = nullptr;
    void* (*fetch_fields)(void*) = nullptr;
    void* (*fetch_field_direct)(void*, unsigned int) = nullptr;
    int (*select_db)(void*, const char*) = nullptr;
    const char* (*error)(void*) = nullptr;
    unsigned long (*real_escape_string)(void*, char*, const char*, unsigned long) = nullptr;
};

// Where the library is looked for, in order: `app_dir`/libdll/libmysql.so, then the sonames of
// the MariaDB and MySQL client libraries. MORVANE_MYSQL_LIBRARY, when set, replaces the list
// (tests point it at a missing file).
std::vector<std::string> MySqlLibraryCandidates(const std::string& app_dir);

class CMorvaneMysqlConn {
public:
    CMorvaneMysqlConn();
    ~CMorvaneMysqlConn();
    CMorvaneMysqlConn(const CMorvaneMysqlConn&) = delete;
    CMorvaneMysqlConn& operator=(const CMorvaneMysqlConn&) = delete;

    int32_t Connect(const char* host, const char* user, const char* password, const char* database, int32_t port);
    void Close();
    int32_t State();
    void Execute(const char* statement);
    // The escaped form of the first `length` bytes of `in` (at most its text) goes to `out`,
    // sized here to 2 × length + 1; the escaped length, 0 without a handle.
    int32_t Escape_String(common::String* out, const char* in, int32_t length);
    std::string GetError();

    bool Loaded() const { return library_ != nullptr; }
    const std::string& LibraryPath() const { return library_path_; }
    std::mutex& Lock() { return mu_; }
    const MySqlApi& Api() const { return api_; }
    void* Handle() const { return handle_; }

private:
    // The client library's calls, which block on its socket: run through RunBlocking.
    int32_t ConnectNow(const char* host, const char* user, const char* password, const char* database, int32_t port);
    void* library_ = nullptr;
    std::string library_path_;
    MySqlApi api_;
    std::mutex mu_;
    void* handle_ = nullptr;
    bool connected_ = false;
};

class CMorvaneMysqlRecordSet {
public:
    ~CMorvaneMysqlRecordSet() { Close(); }
    int32_t Open(const char* statement, CMorvaneMysqlConn* connection);
    void Close();
    int32_t RecordCount();
    // The next row as column name -> value (NULL reads as ""), or null after the last.
    script::CS_Array* FetchRow();

private:
    int32_t OpenNow(const char* statement);
    CMorvaneMysqlConn* conn_ = nullptr;
    void* result_ = nullptr;
    script::CS_Array row_;
};

void RegisterMySqlImportables();

}  // namespace classes
