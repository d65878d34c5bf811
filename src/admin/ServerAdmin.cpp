#include "admin/ServerAdmin.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "admin/AdminProtocol.h"
#include "admin/PeerConnection.h"
#include "checks/Dns.h"
#include "common/Clock.h"
#include "common/Md5.h"
#include "common/String.h"
#include "core/MorvaneCore.h"
#include "platform/KFile.h"

namespace admin {

namespace {

constexpr const char* kSrc = "ServerAdmin";
constexpr const char* kRefusal = "<morvane><h><r>0</r><c>0</c><e>0300</e></h></morvane>";

}  // namespace

// ---------------------------------------------------------------------------------------------
// CLauchAdmin

CLauchAdmin::CLauchAdmin(CServerAdmin& server) : server_(server) {
    client_.is_allowed = [&server](const std::string& ip) { return server.IsAllowed(ip); };
    thread_ = std::thread([this] { Run(); });
}

CLauchAdmin::~CLauchAdmin() {
    {
        common::MutexLock lock(mu_);
        running_ = false;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void CLauchAdmin::Assign(platform::CSocketComm* slot) {
    {
        common::MutexLock lock(mu_);
        slot_ = slot;
        busy_ = true;
    }
    cv_.notify_all();
}

bool CLauchAdmin::Stop(int wait_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    {
        common::MutexLock lock(mu_);
        running_ = false;
    }
    running_script_.Abort();
    cv_.notify_all();
    {
        common::MutexLock lock(mu_);
        while (!ended_)
            if (cv_.wait_until(mu_, deadline) == std::cv_status::timeout && !ended_) return false;
    }
    if (thread_.joinable()) thread_.join();
    return true;
}

void CLauchAdmin::Run() {
    // An idle handler sleeps until it is given a connection or told to stop.
    for (;;) {
        {
            common::MutexLock lock(mu_);
            while (running_ && !busy_) cv_.wait(mu_);
            if (!running_) break;
        }
        Serve();
    }
    common::MutexLock lock(mu_);
    ended_ = true;
    cv_.notify_all();
}

void CLauchAdmin::Close() {
    common::MutexLock lock(mu_);
    if (slot_) slot_->Release();
    slot_ = nullptr;
    buffer_.clear();
    client_ = AdminClient{client_.ip, "", client_.is_allowed, false};
    busy_ = false;
}

void CLauchAdmin::Serve() {
    platform::CSocketComm* slot;
    {
        common::MutexLock lock(mu_);
        slot = slot_;
    }
    if (!slot) {
        busy_ = false;
        return;
    }
    client_.ip = slot->PeerAddressText();
    client_.reverse_dns.clear();
    client_.close_requested = false;
    if (core::CMorvaneCore* core = server_.Kernel().core)
        if (core->Dns()) client_.reverse_dns = checks::DnsReverse(*core->Dns(), client_.ip);
    start_ = common::SteadySeconds();
    const AdminSettings settings = server_.Settings();
    std::string block(static_cast<size_t>(settings.buffer_size), '\0');
    const int wait = settings.select_ms;
    while (running_ && busy_) {
        int n = slot->Recv(block.data(), static_cast<int>(block.size()), wait);
        if (n < 0) return Close();
        buffer_.append(block.data(), static_cast<size_t>(n));
        size_t end = buffer_.find(kEndTag);
        if (end == std::string::npos) {
            if (buffer_.size() > kMaxRequestBytes) {
                log_.AddLog(1,
                            "Request from " + client_.ip + " larger than 16 MiB without </morvane>: connection closed",
                            kSrc, "CLauchAdmin::Run", "RAD", 0);
                return Close();
            }
            if (common::SteadySeconds() - start_ > kMaxConnectionSeconds) {
                log_.AddLog(1, "Connection Timeout ip: " + client_.ip + " NO login Server ADMIN", kSrc,
                            "CLauchAdmin::Run", "RAD", 0);
                return Close();
            }
            continue;
        }
        std::string request = buffer_.substr(0, end + kEndTag.size());
        buffer_.erase(0, end + kEndTag.size());
        if (!Handle(request)) return Close();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!running_) Close();
}

bool CLauchAdmin::Handle(const std::string& text) {
    const std::string key = server_.Settings().key;
    CServerMorvaneRequest request;
    bool parsed = request.Parse(text, key);
    if (!parsed || !DigestMatches(request.Digest(), common::Md5Hex(key))) {
        log_.AddLog(1, "Ivalid MD5 cripty KEY [" + request.Digest() + "] Drop Connection (ip " + client_.ip + ")", kSrc,
                    "CLauchAdmin::Run", "RAD", 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(kWrongKeyDelayMs));
        return false;
    }
    if (static_cast<int64_t>(request.RowsCarried()) < request.GetRecordCount())
        log_.AddLog(
            2,
            common::FormatText("Admin request %d from %s declares %d rows and carries %zu: the rows it carries "
                               "are used",
                               request.GetCmd(), client_.ip.c_str(), request.GetRecordCount(), request.RowsCarried()),
            kSrc, "CLauchAdmin::Run", "RAD", 0);
    const std::string name = std::to_string(request.GetCmd()) + ".cs";
    const std::string path = server_.Kernel().app_dir + "/scripts/admin/" + name;
    if (server_.Kernel().core)
        server_.Kernel().core->CountMetric("morvane_admin_requests_total", "Admin requests, by command number.",
                                           "command", std::to_string(request.GetCmd()));
    CServerMorvaneRespose response;
    response.SetKey(key);
    {
        common::MutexLock lock(mu_);
        response.SetSocket(slot_);
    }
    if (!platform::IsRegularFile(path)) {
        // Answered, so a client is not left waiting for its time-out; the connection stays.
        log_.AddLog(2,
                    "Admin request for command " + std::to_string(request.GetCmd()) + " from " + client_.ip +
                        ": no scripts/admin/" + name,
                    kSrc, "CLauchAdmin::Run", "RAD", 0);
        response.Send(request.GetCmd(), 501);
        start_ = common::SteadySeconds();
        return true;
    }
    AdminScriptHost host(&server_.Kernel(), &log_, &client_);
    std::string error;
    if (!host.Load(path, &error)) {
        log_.AddLog(1, "Admin script " + name + ": " + error, kSrc, "CLauchAdmin::Run", "RAD", 0);
        return false;
    }
    if (!host.interpreter().HasFunction("Main")) {
        start_ = common::SteadySeconds();
        return true;
    }
    running_script_.Set(&host.interpreter());
    if (!running_) host.interpreter().Abort();  // Stop came before the handle was set
    int result = host.interpreter().Run("Main", "CAdminRequest,CAdminResponse", {&request, &response});
    running_script_.Clear();
    if (host.interpreter().HasError()) {
        log_.AddLog(1, "Admin script " + name + ": " + host.interpreter().CollectDiagnostics(), kSrc,
                    "CLauchAdmin::Run", "RAD", 0);
        return false;
    }
    if (result != 0 || client_.close_requested) return false;
    start_ = common::SteadySeconds();
    return true;
}

// ---------------------------------------------------------------------------------------------
// CServerAdmin

CServerAdmin::CServerAdmin(config::CKernelConfig& config, cron::KernelAccess kernel)
    : config_(config), kernel_(std::move(kernel)) {
    listener_.SetRefusal(kRefusal);
    next_sweep_ = common::TickCount() + kSweepMs;
    if (kernel_.core) kernel_.core->Persistent()->AddType<CS_Morvane_Connection>("MorvaneServerConn");
    ReloadConfig();
}

CServerAdmin::~CServerAdmin() {
    Stop();
}

void CServerAdmin::Listen() {
    const std::string ip = config_.admin_listen_ip.IsEmpty() ? "127.0.0.1 ::1" : config_.admin_listen_ip.str();
    const int slots = config_.admin_max_listen > 0 ? config_.admin_max_listen : 20;
    if (ip == listen_ip_ && config_.admin_port == listen_port_ && slots == listen_slots_ && listener_.Listening())
        return;
    listener_.Stop();
    listener_.StopListen();
    listen_ip_ = ip;
    listen_port_ = config_.admin_port;
    listen_slots_ = slots;
    if (listener_.InitListen(ip, std::to_string(listen_port_), slots) && listener_.Start()) {
        listen_error_.clear();
        AddLog(4, common::FormatText("Start Server for RemoteAdmin port %d max_listen:%d", listen_port_, slots), kSrc,
               "CServerAdmin::CServerAdmin", "DEBUG", 0);
    } else {
        listen_error_ = common::FormatText("cannot listen for remote administration on %s port %d: %s", ip.c_str(),
                                           listen_port_, std::strerror(errno));
        AddLog(1, listen_error_, kSrc, "CServerAdmin::CServerAdmin", "RAD", 0);
    }
    listener_.MoveTo(*this);
}

std::string CServerAdmin::StartProblem() const {
    // Off, it still serves the local machine when it can; that is no reason to stop.
    return config_.admin_enable ? listen_error_ : std::string();
}

AdminSettings CServerAdmin::Settings() const {
    common::MutexLock lock(settings_mu_);
    return settings_;
}

void CServerAdmin::ReloadConfig() {
    {
        AdminSettings s;
        s.key = config_.admin_key.str();
        s.buffer_size = std::max(512, config_.admin_buffer_socket_size);
        s.select_ms = std::max(10, config_.admin_socket_select_time);
        common::MutexLock lock(settings_mu_);
        settings_ = std::move(s);
    }
    // Scripts' connections without a port or key reach this kernel.
    SetDefaultPeer(config_.admin_port, config_.admin_key.str());
    allow_.Load(config_.ip_allow);
    for (const common::String& e : config_.ip_allow)
        if (!e.IsEmpty()) AddLog(4, "Allow IP for RemoteAdmin: " + e.str(), kSrc, "CServerAdmin::Reload", "DEBUG", 0);
    AddLog(3, "Reload Config ServerAdmin", kSrc, "CServerAdmin::Reload", "RAD", 0);
    if (!stopped_) Listen();
}

bool CServerAdmin::IsAllowed(const std::string& ip) {
    checks::CDns* dns = kernel_.core ? kernel_.core->Dns() : nullptr;
    return allow_.Contains(ip, dns) != 0;
}

bool CServerAdmin::Admit(platform::CSocketComm* slot, std::string* ip) {
    *ip = slot->PeerAddressText();
    if (ip->empty()) {
        AddLog(1, "ERROR SOCKET IP is ZERO", kSrc, "CServerAdmin::Tick", "RAD", 0);
        return false;
    }
    if (*ip != "127.0.0.1" && *ip != "::1") {
        if (!config_.admin_enable) {
            AddLog(1, "Remote Admin is disable : Disallow Access  IP: " + *ip + " ", kSrc, "CServerAdmin::Tick", "RAD",
                   0);
            return false;
        }
        if (!IsAllowed(*ip)) {
            AddLog(1, "Disallow Remote Admin Access  IP: " + *ip, kSrc, "CServerAdmin::Tick", "RAD", 0);
            return false;
        }
    }
    AddLog(1, "O.K Allow for Remote Admin IP: " + *ip, kSrc, "CServerAdmin::Tick", "RAD", 0);
    return true;
}

void CServerAdmin::Step() {
    if (stopped_) return;
    listener_.AcceptWaiting();
    listener_.MoveTo(*this);
    for (const core::PendingConnection& p : listener_.TakePending()) {
        if (!p.slot) continue;
        std::string ip;
        if (!Admit(p.slot, &ip)) {
            p.slot->Release();
            continue;
        }
        CLauchAdmin* idle = nullptr;
        for (auto& h : handlers_)
            if (!h->Busy()) {
                idle = h.get();
                break;
            }
        if (!idle) {
            handlers_.push_back(std::make_unique<CLauchAdmin>(*this));
            idle = handlers_.back().get();
        }
        idle->Assign(p.slot);
    }
    uint32_t now = common::TickCount();
    if (static_cast<int32_t>(next_sweep_ - now) > 0) return;
    next_sweep_ = now + kSweepMs;
    for (auto it = handlers_.begin(); it != handlers_.end();) {
        (*it)->Log().MoveTo(*this);
        if ((*it)->Busy()) {
            ++it;
            continue;
        }
        (*it)->Stop(5000);
        (*it)->Log().MoveTo(*this);
        it = handlers_.erase(it);
    }
}

void CServerAdmin::Stop() {
    if (stopped_) return;
    stopped_ = true;
    listener_.Stop();
    listener_.StopListen();
    for (auto& h : handlers_) {
        if (!h->Stop(5000))
            AddLog(1, "An admin connection still runs 5000 ms after it was asked to stop; waiting for it", kSrc,
                   "CServerAdmin::Stop", "RAD", 0);
        h->Log().MoveTo(*this);
    }
    handlers_.clear();
    listener_.MoveTo(*this);
}

}  // namespace admin
