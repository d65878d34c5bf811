#pragma once
// CServerWEB: the web GUI's HTTP/1.0 server, an engine of the kernel. Its listener accepts on
// [WEBGUI] listen:port; the main loop's Step deals each new connection to one of `num_server`
// children (CLauchWEB), which read requests and run pages, and to one of the send queues
// (CWebSendQueue), whose threads write the answers out in slices so a slow reader never holds
// a child. Requests are bounded (header block, URL, bytes per connection, variables) and
// timed (a request must complete within kRequestSeconds, an idle connection goes after
// time_keep_alive); pages are held to the web root.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ThreadSafety.h"
#include "config/Engine.h"
#include "config/KernelConfig.h"
#include "core/ListenMorvane.h"
#include "cron/KernelFunctions.h"
#include "script/AbortHandle.h"
#include "web/WebScript.h"

namespace web {

class CServerWEB;

// The settings children and queues read while the main loop may change them.
struct WebSettings {
    std::string root;
    int keep_alive_seconds = 10;
    int buffer_out = 1024;
    int max_select_ms = 600;
    int min_select_ms = 150;
};

class CWebSendQueue {
public:
    CWebSendQueue();
    ~CWebSendQueue();
    // `wake_fd` is the child's event descriptor, signalled when the connection's output is out.
    void Register(int32_t number, platform::CSocketComm* slot, int wake_fd = -1);
    void Append(int32_t number, std::string data);
    // True when the connection's output is out: its entry is gone, or started and all sent.
    bool SentAll(int32_t number);
    void Remove(int32_t number);
    void SetSlice(int bytes) { slice_ = bytes > 0 ? bytes : 1024; }
    void Stop();

private:
    struct Entry {
        int32_t number = 0;
        platform::CSocketComm* slot = nullptr;
        std::string pending;
        size_t queued = 0, sent = 0;
        bool started = false;
        int wake_fd = -1;
        bool woken = false;
    };
    void Run();
    // One pass over the entries; true when any byte went out.
    bool Pass();
    void Wake();

    common::Mutex mu_;
    std::vector<Entry> entries_ GUARDED_BY(mu_);
    std::atomic<int> slice_{1024};
    std::atomic<bool> running_{true};
    int wake_fd_ = -1;  // signalled by Append and Stop
    std::thread thread_;
};

// One child: the connections dealt to it, served in turn on its own thread.
class CLauchWEB {
public:
    // A request that has not completed this long after its first byte closes its connection.
    static constexpr int64_t kRequestSeconds = 30;
    static constexpr int kRecvBytes = 4096;
    // An answer not read by the client this long after it was queued closes its connection.
    static constexpr int64_t kSendSeconds = 60;

    explicit CLauchWEB(CServerWEB& server);
    ~CLauchWEB();
    void Add(int32_t number, platform::CSocketComm* slot, CWebSendQueue* queue, std::string ip);
    // Asks the thread to end (aborting a running page) and waits up to `wait_ms`; true when it
    // ended.
    bool Stop(int wait_ms);
    logging::CLogQueue& Log() { return log_; }
    int WakeHandle() const { return wake_fd_; }

private:
    struct ClientConn {
        int32_t number = 0;
        platform::CSocketComm* slot = nullptr;
        CWebSendQueue* queue = nullptr;
        std::string ip;
        int64_t last_activity = 0;
        int64_t response_at = 0;
        int64_t request_started = 0;  // when the buffer's first byte came; 0 while empty
        std::string buffer;
        size_t received = 0;
        bool keep_alive = false, responded = false, closed = false;
        bool finished = false;  // the last answer is queued: close once it is out
    };

    void Run();
    void Round();
    // Reads what the connection has; false when it must close.
    bool Receive(ClientConn& c, int64_t now);
    // Answers every complete request in the buffer; false when the connection must close.
    bool Answer(ClientConn& c, int64_t now);
    std::string Respond(ClientConn& c, const HttpRequest& request, int* status);
    void Close(ClientConn& c, const std::string& line);
    void Wake();

    CServerWEB& server_;
    logging::CLogQueue log_;
    common::Mutex mu_;
    std::vector<std::unique_ptr<ClientConn>> incoming_ GUARDED_BY(mu_);
    std::vector<std::unique_ptr<ClientConn>> conns_;  // the child thread's own
    std::atomic<bool> running_{true};
    std::atomic<bool> ended_{false};
    script::AbortHandle running_page_;
    int wake_fd_ = -1;
    std::thread thread_;
};

class CServerWEB : public config::KernelEngine {
public:
    static constexpr int kLogCollectMs = 200;
    static constexpr int kSweepSeconds = 60;
    static constexpr int32_t kCounterWrap = 1000000;

    CServerWEB(config::CKernelConfig& config, cron::KernelAccess kernel);
    ~CServerWEB() override;

    void Step() override;
    void WaitHandles(std::vector<int>* out) const override { listener_.Handles(out); }
    void HandlesReady(const std::vector<int>& ready) override { listener_.NoteReady(ready); }
    void ReloadConfig() override;
    void Stop() override;

    uint16_t Port() const { return listener_.Port(); }
    CWebSessions& Sessions() { return sessions_; }
    CLoginThrottle& Throttle() { return throttle_; }
    // Why the GUI cannot serve ("" when it can): a port it cannot listen on, a web root that
    // holds the application directory.
    std::string StartProblem() const override;
    const cron::KernelAccess& Kernel() const { return kernel_; }
    WebSettings Settings() const;

private:
    void Listen(const std::string& ip, const std::string& port, int slots);
    void StopWorkers();

    config::CKernelConfig& config_;
    cron::KernelAccess kernel_;
    core::CListenMorvane listener_;
    CWebSessions sessions_;
    CLoginThrottle throttle_;
    std::string root_error_;
    std::string listen_error_;
    std::vector<std::unique_ptr<CLauchWEB>> children_;
    std::vector<std::unique_ptr<CWebSendQueue>> queues_;
    mutable common::Mutex settings_mu_;
    WebSettings settings_ GUARDED_BY(settings_mu_);
    std::string listen_ip_, listen_port_;
    int listen_slots_ = -1;
    int num_server_ = 0;
    int32_t counter_ = 0;
    int64_t next_sweep_ = 0;
    uint32_t next_collect_ = 0;
    bool stopped_ = false;
};

}  // namespace web
