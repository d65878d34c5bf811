#pragma once
// The client side of remote administration for scripts: MorvaneServerConn connects to a
// kernel's admin port (its own, by default), MorvaneRecordSet sends one request of rows with a
// command number and reads the response rows. A connection may live in the persistent-object
// store ("MorvaneServerConn"); its lock holds for a whole request, so runs that share it take
// turns.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/String.h"
#include "common/ThreadSafety.h"
#include "platform/SocketComm.h"
#include "script/CS_Array.h"

namespace admin {

// The defaults of connections made without a port or key: the kernel's own admin server.
void SetDefaultPeer(int port, const std::string& key);

// Shared through the persistent-object store, so every member is read and written under the
// connection's lock; a request holds it from its first byte sent to its last byte read.
class CS_Morvane_Connection {
public:
    CS_Morvane_Connection() : CS_Morvane_Connection(nullptr, nullptr, nullptr) {}
    CS_Morvane_Connection(const char* host, const char* port, const char* key);
    void SetOptions(const char* host, const char* port, const char* key) EXCLUDES(mu_);
    int32_t Connect() EXCLUDES(mu_);
    int32_t IsConnected();
    void Disconnect() EXCLUDES(mu_);
    void SetTimeOut(int32_t ms) EXCLUDES(mu_);

    common::Mutex& Lock() RETURN_CAPABILITY(mu_) { return mu_; }
    // A copy: another run may change the options meanwhile.
    std::string Key() const EXCLUDES(mu_);
    platform::CSocketComm& SocketLocked() REQUIRES(mu_) { return socket_; }
    const std::string& KeyLocked() const REQUIRES(mu_) { return key_; }
    int TimeOutLocked() const REQUIRES(mu_) { return timeout_ms_; }

private:
    mutable common::Mutex mu_;
    platform::CSocketComm socket_;  // its calls under mu_; HasHandle is atomic
    std::string host_ GUARDED_BY(mu_), port_ GUARDED_BY(mu_), key_ GUARDED_BY(mu_);
    int timeout_ms_ GUARDED_BY(mu_) = 100;
};

class CS_Morvane_Recordset {
public:
    // Responses larger than this end the exchange (the rows read so far stay).
    static constexpr size_t kMaxResponseBytes = 64u << 20;

    explicit CS_Morvane_Recordset(CS_Morvane_Connection* connection) : conn_(connection) {}
    void AddNew() { ++rows_; }
    void SetFieldAt(int32_t column, const char* value);
    void SetFieldBinaryAt(int32_t column, const common::String* data, int32_t length);
    bool Query(int32_t command);
    void Reset();
    script::CS_Array* GetRow();
    int32_t GetLastError() const { return error_; }
    int32_t RecordCount() const { return resp_rows_; }
    int32_t ColCount() const { return resp_cols_; }

private:
    CS_Morvane_Connection* conn_;
    int32_t rows_ = 0;
    std::map<std::pair<int32_t, int32_t>, std::string> cells_;
    int32_t resp_cmd_ = 0, resp_cols_ = 0, resp_rows_ = 0, error_ = 0;
    std::vector<script::CS_Array> rows_out_;
    size_t cursor_ = 0;
};

void RegisterPeerImportables();

}  // namespace admin
