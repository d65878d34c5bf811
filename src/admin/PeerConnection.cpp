#include "admin/PeerConnection.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "admin/AdminProtocol.h"
#include "common/Clock.h"
#include "common/Md5.h"
#include "script/Bind.h"
#include "script/Imports.h"

namespace admin {

namespace {

common::Mutex g_defaults_mu;
std::string g_default_port GUARDED_BY(g_defaults_mu) = "33";
std::string g_default_key GUARDED_BY(g_defaults_mu);

std::string Or(const char* value, const std::string& fallback) {
    return value && *value ? std::string(value) : fallback;
}

}  // namespace

void SetDefaultPeer(int port, const std::string& key) {
    common::MutexLock lock(g_defaults_mu);
    g_default_port = std::to_string(port);
    g_default_key = key;
}

CS_Morvane_Connection::CS_Morvane_Connection(const char* host, const char* port, const char* key) {
    SetOptions(host, port, key);
}

void CS_Morvane_Connection::SetOptions(const char* host, const char* port, const char* key) {
    std::string default_port, default_key;
    {
        common::MutexLock defaults(g_defaults_mu);
        default_port = g_default_port;
        default_key = g_default_key;
    }
    common::MutexLock lock(mu_);
    host_ = Or(host, "127.0.0.1");
    port_ = Or(port, default_port);
    key_ = Or(key, default_key);
    timeout_ms_ = 100;
}

void CS_Morvane_Connection::SetTimeOut(int32_t ms) {
    common::MutexLock lock(mu_);
    timeout_ms_ = ms > 0 ? ms : 100;
}

std::string CS_Morvane_Connection::Key() const {
    common::MutexLock lock(mu_);
    return key_;
}

int32_t CS_Morvane_Connection::Connect() {
    common::MutexLock lock(mu_);
    if (host_.empty() || port_.empty() || key_.empty()) return 0;
    const bool local = host_ == "localhost" || host_ == "LOCALHOST" || host_ == "127.0.0.1";
    return socket_.Connect(host_, port_, local ? "127.0.0.1" : "", std::max(timeout_ms_ * 10, 1000)) ? 1 : 0;
}

int32_t CS_Morvane_Connection::IsConnected() {
    return socket_.HasHandle() ? 1 : 0;
}

void CS_Morvane_Connection::Disconnect() {
    common::MutexLock lock(mu_);
    socket_.Close();
}

void CS_Morvane_Recordset::SetFieldAt(int32_t column, const char* value) {
    if (column < 1 || !value || !conn_) return;
    const std::string tag = "c" + std::to_string(column);
    cells_[{rows_, column}] = "<" + tag + ">" + EncodeCell(value, conn_->Key()) + "</" + tag + ">";
}

void CS_Morvane_Recordset::SetFieldBinaryAt(int32_t column, const common::String* data, int32_t length) {
    if (column < 1 || !data || length < 1 || !conn_) return;
    std::string_view bytes = data->Bytes();
    bytes = bytes.substr(0, std::min(bytes.size(), static_cast<size_t>(length)));
    const std::string tag = "c" + std::to_string(column);
    cells_[{rows_, column}] = "<" + tag + ">" + EncodeCell(bytes, conn_->Key()) + "</" + tag + ">";
}

void CS_Morvane_Recordset::Reset() {
    rows_ = 0;
    cells_.clear();
    resp_cmd_ = resp_cols_ = resp_rows_ = error_ = 0;
    rows_out_.clear();
    cursor_ = 0;
}

script::CS_Array* CS_Morvane_Recordset::GetRow() {
    return cursor_ < rows_out_.size() ? &rows_out_[cursor_++] : nullptr;
}

bool CS_Morvane_Recordset::Query(int32_t command) {
    rows_out_.clear();
    cursor_ = 0;
    resp_cmd_ = resp_cols_ = resp_rows_ = 0;
    if (!conn_ || !conn_->IsConnected()) {
        error_ = 300;
        return false;
    }
    common::MutexLock lock(conn_->Lock());
    const std::string key = conn_->KeyLocked();
    std::string body = "<b>";
    int32_t cols = 0;
    for (int32_t r = 1; r <= rows_; ++r) {
        body += "<r" + std::to_string(r) + ">";
        int32_t c = 1;
        for (auto it = cells_.find({r, c}); it != cells_.end(); it = cells_.find({r, ++c})) body += it->second;
        cols = c - 1;
        body += "</r" + std::to_string(r) + ">";
    }
    body += "</b>";
    char head[64];
    std::snprintf(head, sizeof head, "<morvane><h><cmd>%04d</cmd>", command);
    std::string request = head + std::string("<kmd5>") + common::Md5Hex(key) + "</kmd5><c>" + std::to_string(cols) +
                          "</c><r>" + std::to_string(rows_) + "</r></h>" + body + "</morvane>";
    rows_ = 0;
    cells_.clear();
    platform::CSocketComm& s = conn_->SocketLocked();
    const int t = conn_->TimeOutLocked();
    if (s.Send(request, 10 * t) != static_cast<int>(request.size())) {
        error_ = 300;
        return false;
    }
    std::string text;
    char buf[4096];
    int64_t deadline = common::SteadyMillis() + 10 * t;
    error_ = 0;
    while (text.find(kEndTag) == std::string::npos && common::SteadyMillis() < deadline &&
           text.size() < kMaxResponseBytes) {
        int n = s.Recv(buf, sizeof buf, t);
        if (n < 0) {
            error_ = 300;
            return false;
        }
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
            deadline = common::SteadyMillis() + 10 * t;
        }
    }
    AdminAnswer a = ParseAnswer(text, key);
    resp_cmd_ = a.cmd;
    resp_cols_ = a.declared_cols;
    resp_rows_ = a.declared_rows;
    error_ = a.error;
    for (const auto& row : a.rows) {
        script::CS_Array cells;
        for (size_t m = 0; m < row.size(); ++m) {
            const std::string key = "c" + std::to_string(m + 1);
            cells.AddValueB(key.c_str(), row[m].data(), static_cast<int32_t>(row[m].size()));
        }
        rows_out_.push_back(std::move(cells));
    }
    return true;
}

void RegisterPeerImportables() {
    script::ClassIdOf<CS_Morvane_Connection>::SetName("MorvaneServerConn");
    script::RegisterImportable("MorvaneServerConn", [](script::Interpreter& in) {
        using C = CS_Morvane_Connection;
        auto c = std::make_unique<script::ExternClass<C, const char*, const char*, const char*>>("MorvaneServerConn",
                                                                                                 "0,0,0");
        c->Method("SetOptions", &C::SetOptions)
            .Method("Connect", &C::Connect)
            .Method("IsConnected", &C::IsConnected)
            .Method("Disconnect", &C::Disconnect)
            .Method("SetTimeOut", &C::SetTimeOut);
        in.AddExternClass("MorvaneServerConn", std::move(c));
    });
    script::RegisterImportable("MorvaneRecordSet", [](script::Interpreter& in) {
        using R = CS_Morvane_Recordset;
        auto c = std::make_unique<script::ExternClass<R, CS_Morvane_Connection*>>("MorvaneRecordSet");
        c->Method("AddNew", &R::AddNew)
            .Method("SetFieldAt", &R::SetFieldAt)
            .Method("SetFieldBinaryAt", &R::SetFieldBinaryAt)
            .Method("Query", &R::Query)
            .Method("Reset", &R::Reset)
            .Method("GetRow", &R::GetRow)
            .Method("GetLastError", &R::GetLastError)
            .Method("RecordCount", &R::RecordCount)
            .Method("ColCount", &R::ColCount);
        in.AddExternClass("MorvaneRecordSet", std::move(c));
    });
}

}  // namespace admin
