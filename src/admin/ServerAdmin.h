#pragma once
// CServerAdmin: the remote-administration server, an engine of the kernel. Its listener accepts
// on [READMIN] listen_ip:port (loopback unless the operator opens it); admission lets in
// 127.0.0.1 always, others only with `enable` and the allow list; each admitted connection gets
// a handler thread (CLauchAdmin) that reads requests up to "</morvane>", checks the key's digest
// and runs scripts/admin/N.cs's Main(request, response). Idle handlers are swept every 200 ms.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "admin/AdminScript.h"
#include "checks/AddressList.h"
#include "common/ThreadSafety.h"
#include "config/Engine.h"
#include "config/KernelConfig.h"
#include "core/ListenMorvane.h"
#include "cron/KernelFunctions.h"
#include "script/AbortHandle.h"

namespace admin {

class CServerAdmin;

// What handler threads read of the configuration: copied on the main thread at each reload, as
// sessions and the web server have theirs, so a handler never reads a field being rewritten.
struct AdminSettings {
    std::string key;
    int buffer_size = 4096;  // buffer_socket_size, at least 512
    int select_ms = 300;     // socket_select_time, at least 10
};

// One connection being served, on its own thread.
class CLauchAdmin {
public:
    // A wrong digest is answered after this pause, so a key cannot be guessed at line speed.
    static constexpr int kWrongKeyDelayMs = 1000;
    static constexpr int64_t kMaxConnectionSeconds = 3600;

    explicit CLauchAdmin(CServerAdmin& server);
    ~CLauchAdmin();
    bool Busy() const { return busy_.load(); }
    void Assign(platform::CSocketComm* slot);
    // Asks the thread to end and waits up to `wait_ms`; true when it ended.
    bool Stop(int wait_ms);
    logging::CLogQueue& Log() { return log_; }

private:
    void Run();
    void Serve();
    void Close();
    // One complete request; false when the connection must close.
    bool Handle(const std::string& request);

    CServerAdmin& server_;
    logging::CLogQueue log_;
    std::thread thread_;
    // running_ and busy_ are read unlocked on the handler's own thread between reads of its
    // connection; changes that must wake it are made under mu_ and signalled on cv_.
    std::atomic<bool> running_{true};
    std::atomic<bool> busy_{false};
    std::condition_variable_any cv_;
    bool ended_ GUARDED_BY(mu_) = false;
    script::AbortHandle running_script_;  // aborted by Stop
    common::Mutex mu_;
    platform::CSocketComm* slot_ GUARDED_BY(mu_) = nullptr;  // handed over by the main loop
    AdminClient client_;
    std::string buffer_;
    int64_t start_ = 0;
};

class CServerAdmin : public config::KernelEngine {
public:
    static constexpr int kSweepMs = 200;

    CServerAdmin(config::CKernelConfig& config, cron::KernelAccess kernel);
    ~CServerAdmin() override;

    void Step() override;
    void WaitHandles(std::vector<int>* out) const override { listener_.Handles(out); }
    void HandlesReady(const std::vector<int>& ready) override { listener_.NoteReady(ready); }
    void ReloadConfig() override;
    std::string StartProblem() const override;
    void Stop() override;

    bool IsAllowed(const std::string& ip);
    uint16_t Port() const { return listener_.Port(); }
    size_t Handlers() const { return handlers_.size(); }

    // Main thread only: handlers read Settings().
    config::CKernelConfig& Config() { return config_; }
    const cron::KernelAccess& Kernel() const { return kernel_; }
    // Any thread.
    AdminSettings Settings() const;

private:
    bool Admit(platform::CSocketComm* slot, std::string* ip);
    void Listen();

    config::CKernelConfig& config_;
    cron::KernelAccess kernel_;
    core::CListenMorvane listener_;
    checks::CAddressList allow_;
    std::vector<std::unique_ptr<CLauchAdmin>> handlers_;
    std::string listen_error_;
    std::string listen_ip_;
    int listen_port_ = -1, listen_slots_ = -1;
    uint32_t next_sweep_ = 0;
    bool stopped_ = false;
    mutable common::Mutex settings_mu_;
    AdminSettings settings_ GUARDED_BY(settings_mu_);
};

}  // namespace admin
