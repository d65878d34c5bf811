#include "classes/MySql.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/EventLoop.h"
#include "platform/Paths.h"
#include "script/Bind.h"
#include "script/Imports.h"

namespace classes {

namespace {

// The client library's own start-up is not thread-safe in every version: mysql_init runs
// under one lock.
std::mutex g_init_mu;

template <typename F>
void Resolve(void* library, const char* name, F& slot) {
    slot = reinterpret_cast<F>(::dlsym(library, name));
    if (!slot) std::printf("plugin GetProcAddress(%s) fail\n", name);
}

}  // namespace

std::vector<std::string> MySqlLibraryCandidates(const std::string& app_dir) {
    if (const char* forced = std::getenv("MORVANE_MYSQL_LIBRARY")) return {forced};
    return {app_dir + "/libdll/libmysql.so", "libmariadb.so.3",        "libmysqlclient.so.21",
            "libmysqlclient.so.20",          "libmariadbclient.so.18", "libmysqlclient.so.18"};
}

CMorvaneMysqlConn::CMorvaneMysqlConn() {
    for (const std::string& candidate : MySqlLibraryCandidates(platform::AppDir())) {
        // Never unloaded: the client library keeps process-wide state (its own start-up, its
        // threads' data) that must outlive any one connection.
        library_ = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (library_) {
            library_path_ = candidate;
            break;
        }
    }
    if (!library_) {
        std::printf("plugin LoadLibrary fail: %s\n", MySqlLibraryCandidates(platform::AppDir()).front().c_str());
        std::fflush(stdout);
        return;
    }
    Resolve(library_, "mysql_init", api_.init);
    Resolve(library_, "mysql_close", api_.close);
    Resolve(library_, "mysql_real_connect", api_.real_connect);
    Resolve(library_, "mysql_query", api_.query);
    Resolve(library_, "mysql_store_result", api_.store_result);
    Resolve(library_, "mysql_num_rows", api_.num_rows);
    Resolve(library_, "mysql_num_fields", api_.num_fields);
    Resolve(library_, "mysql_fetch_row", api_.fetch_row);
    Resolve(library_, "mysql_free_result", api_.free_result);
    Resolve(library_, "mysql_fetch_fields", api_.fetch_fields);
    Resolve(library_, "mysql_fetch_field_direct", api_.fetch_field_direct);
    Resolve(library_, "mysql_select_db", api_.select_db);
    Resolve(library_, "mysql_error", api_.error);
    Resolve(library_, "mysql_real_escape_string", api_.real_escape_string);
    std::fflush(stdout);
}

CMorvaneMysqlConn::~CMorvaneMysqlConn() {
    Close();
    if (library_) ::dlclose(library_);
}

int32_t CMorvaneMysqlConn::Connect(const char* host, const char* user, const char* password, const char* database,
                                   int32_t port) {
    // On an event loop the call runs beside the loop, and the connection's lock is taken there,
    // never held by a waiting fiber.
    int32_t result = 0;
    platform::RunBlocking([&] { result = ConnectNow(host, user, password, database, port); });
    return result;
}

int32_t CMorvaneMysqlConn::ConnectNow(const char* host, const char* user, const char* password, const char* database,
                                      int32_t port) {
    std::lock_guard<std::mutex> lock(mu_);
    if (connected_) return 1;
    if (!library_ || !api_.real_connect) return 0;
    if (!handle_) {
        if (!api_.init) return 0;
        std::lock_guard<std::mutex> init(g_init_mu);
        handle_ = api_.init(nullptr);
        if (!handle_) return 0;
    }
    if (!api_.real_connect(handle_, host, user, password, database, static_cast<unsigned int>(port < 0 ? 0 : port),
                           nullptr, 0))
        return 0;
    connected_ = true;
    return 1;
}

void CMorvaneMysqlConn::Close() {
    std::lock_guard<std::mutex> lock(mu_);
    if (handle_ && api_.close) api_.close(handle_);
    handle_ = nullptr;
    connected_ = false;
}

int32_t CMorvaneMysqlConn::State() {
    std::lock_guard<std::mutex> lock(mu_);
    return connected_ ? 1 : 0;
}

void CMorvaneMysqlConn::Execute(const char* statement) {
    platform::RunBlocking([&] {
        std::lock_guard<std::mutex> lock(mu_);
        if (handle_ && statement && api_.query) api_.query(handle_, statement);
    });
}

int32_t CMorvaneMysqlConn::Escape_String(common::String* out, const char* in, int32_t length) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!handle_ || !api_.real_escape_string || !out) return 0;
    const size_t n = in && length > 0 ? std::min(static_cast<size_t>(length), std::strlen(in)) : 0;
    std::string escaped(2 * n + 1, '\0');
    unsigned long written = api_.real_escape_string(handle_, escaped.data(), in ? in : "", n);
    if (written == static_cast<unsigned long>(-1)) return 0;
    out->Reserve(static_cast<int>(escaped.size()));
    out->SetBinary(escaped.data(), static_cast<int>(written));
    return static_cast<int32_t>(written);
}

std::string CMorvaneMysqlConn::GetError() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!handle_ || !api_.error) return std::string();
    const char* e = api_.error(handle_);
    return e ? e : "";
}

int32_t CMorvaneMysqlRecordSet::Open(const char* statement, CMorvaneMysqlConn* connection) {
    if (!statement || !connection) return 0;
    if (conn_ && conn_ != connection) Close();
    conn_ = connection;
    int32_t result = 0;
    platform::RunBlocking([&] { result = OpenNow(statement); });
    return result;
}

int32_t CMorvaneMysqlRecordSet::OpenNow(const char* statement) {
    std::lock_guard<std::mutex> lock(conn_->Lock());
    const MySqlApi& api = conn_->Api();
    if (!conn_->Handle()) return 0;
    if (result_ && api.free_result) api.free_result(result_);
    result_ = nullptr;
    if (!api.query || api.query(conn_->Handle(), statement) != 0 || !api.store_result) return 0;
    result_ = api.store_result(conn_->Handle());
    return result_ ? 1 : 0;
}

void CMorvaneMysqlRecordSet::Close() {
    if (conn_) {
        std::lock_guard<std::mutex> lock(conn_->Lock());
        if (result_ && conn_->Api().free_result) conn_->Api().free_result(result_);
    }
    result_ = nullptr;
    conn_ = nullptr;
}

int32_t CMorvaneMysqlRecordSet::RecordCount() {
    if (!conn_ || !result_) return 0;
    std::lock_guard<std::mutex> lock(conn_->Lock());
    if (!conn_->Handle() || !conn_->Api().num_rows) return 0;
    return static_cast<int32_t>(conn_->Api().num_rows(result_));
}

script::CS_Array* CMorvaneMysqlRecordSet::FetchRow() {
    if (!conn_ || !result_) return nullptr;
    std::lock_guard<std::mutex> lock(conn_->Lock());
    const MySqlApi& api = conn_->Api();
    if (!api.num_fields || !api.fetch_row || !api.fetch_field_direct) return nullptr;
    const unsigned int fields = api.num_fields(result_);
    char** row = api.fetch_row(result_);
    if (!row) return nullptr;
    row_.Reset();
    for (unsigned int i = 0; i < fields; ++i) {
        void* field = api.fetch_field_direct(result_, i);
        // Both client libraries start MYSQL_FIELD with the column name.
        const char* name = field ? *static_cast<char**>(field) : nullptr;
        if (name) row_.Set(name, row[i] ? row[i] : "");
    }
    return &row_;
}

void RegisterMySqlImportables() {
    script::ClassIdOf<CMorvaneMysqlConn>::SetName("CS_MySqlConn");
    script::RegisterImportable("CS_MySqlConn", [](script::Interpreter& in) {
        using C = CMorvaneMysqlConn;
        auto c = std::make_unique<script::ExternClass<C>>("CS_MySqlConn");
        c->Method("Connect", &C::Connect, ",,,,0")
            .Method("Close", &C::Close)
            .Method("State", &C::State)
            .Method("Execute", &C::Execute)
            .Method("Escape_String", &C::Escape_String)
            .Method("GetError", &C::GetError);
        in.AddExternClass("CS_MySqlConn", std::move(c));
    });
    script::RegisterImportable("CS_MySqlRecordSet", [](script::Interpreter& in) {
        using R = CMorvaneMysqlRecordSet;
        auto c = std::make_unique<script::ExternClass<R>>("CS_MySqlRecordSet");
        c->Method("Open", &R::Open)
            .Method("Close", &R::Close)
            .Method("RecordCount", &R::RecordCount)
            .Method("FetchRow", &R::FetchRow);
        in.AddExternClass("CS_MySqlRecordSet", std::move(c));
    });
}

}  // namespace classes
