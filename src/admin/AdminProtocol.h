#pragma once
// The remote-administration wire format. A request is text up to "</morvane>": the command
// number, declared column and row counts, an optional "e" text, the MD5 digest of the shared key,
// and rows of cells; every cell is hex of its bytes XORed with the key's bytes and the key's
// terminating zero, cycling (so the mask repeats every key length + 1 bytes). The response has
// the same cells under a header with the command and an error code. Tags are found by plain text
// search, the first opening and the first closing tag.
//
// The request and response objects are the script classes CAdminRequest and CAdminResponse;
// both belong to one connection's thread.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/String.h"
#include "script/CS_Array.h"

namespace platform {
class CSocketComm;
}
namespace script {
class Interpreter;
}

namespace admin {

inline constexpr std::string_view kEndTag = "</morvane>";
// A request that grows beyond this before its end tag closes the connection.
inline constexpr size_t kMaxRequestBytes = 16u << 20;

std::string EncodeCell(std::string_view value, std::string_view key);
// Pairs of hex digits; a pair that is not hex reads as 0; an odd last digit is dropped.
std::string DecodeCell(std::string_view hex, std::string_view key);
// The text between the first "<tag>" and the first "</tag>" after it; "" when either is missing.
std::string_view TagValue(std::string_view text, std::string_view tag);
// Leading decimal digits (with a sign), saturating; 0 without any.
int32_t LeadingInt(std::string_view text);
// Equal digests, compared in constant time after lower-casing `received`.
bool DigestMatches(std::string_view received, std::string_view expected);

class CServerMorvaneRequest {
public:
    // Parses one complete request. False without a "cmd" tag holding a number. Declared counts
    // larger than what the request carries are held to what it carries: rows stop at the first
    // missing row tag, cells at the first missing cell tag.
    bool Parse(std::string_view request, std::string_view key);
    const std::string& Digest() const { return digest_; }
    const std::string& Extra() const { return e_; }

    int32_t GetCmd() const { return cmd_; }
    int32_t GetRecordCount() const { return declared_rows_; }
    int32_t GetColCount() const { return declared_cols_; }
    void Reset();
    // The next row ("c1", "c2", ...), null after the last.
    script::CS_Array* GetRow();
    size_t RowsCarried() const { return rows_.size(); }

private:
    int32_t cmd_ = 0, declared_cols_ = 0, declared_rows_ = 0;
    std::string e_, digest_;
    std::vector<script::CS_Array> rows_;
    size_t cursor_ = 0;
};

class CServerMorvaneRespose {
public:
    static constexpr int32_t kMaxBinaryCell = 11048576;

    void SetKey(std::string key) { key_ = std::move(key); }
    void SetSocket(platform::CSocketComm* socket) { socket_ = socket; }

    int32_t GetRecordCount() const { return row_; }
    int32_t GetColCount() const { return max_col_; }
    void Reset();
    void Addnew() { ++row_; }
    void SetFieldAt(int32_t column, const char* text);
    void SetFieldBinaryAt(int32_t column, const common::String* data, int32_t length);
    // Why the request was refused, sent with the next Send (in a header tag old clients skip).
    void SetErrorText(const char* text) { reason_ = text ? text : ""; }
    // The response text for `cmd` and `error` (codes 300, 401 and 501: the short error form).
    std::string Build(int32_t cmd, int32_t error) const;
    // Builds, resets the table and writes the text to the socket: 1 when written, 0 without a
    // socket or key or on a socket error.
    int32_t Send(int32_t cmd, int32_t error);

private:
    void Store(int32_t column, std::string_view bytes);

    int32_t row_ = 0, max_col_ = -1;
    std::map<std::pair<int32_t, int32_t>, std::string> cells_;  // (row, column) -> cell text
    std::string key_;
    std::string reason_;
    platform::CSocketComm* socket_ = nullptr;
};

// A response as a client reads it.
struct AdminAnswer {
    int32_t cmd = 0, error = 0;
    int32_t declared_rows = 0, declared_cols = 0;
    std::string reason;                          // why an error was answered; "" from older kernels
    std::vector<std::vector<std::string>> rows;  // decoded cells
};
AdminAnswer ParseAnswer(std::string_view response, std::string_view key);
// A request's text: the command, the key's digest and the rows' cells encoded with the key.
std::string BuildRequest(int32_t cmd, const std::vector<std::vector<std::string>>& rows, std::string_view key);

// Registers CAdminRequest and CAdminResponse into an interpreter.
void RegisterAdminClasses(script::Interpreter& in);

}  // namespace admin
