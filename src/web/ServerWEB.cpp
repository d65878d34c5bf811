#include "web/ServerWEB.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/Clock.h"
#include "common/String.h"
#include "core/MorvaneCore.h"
#include "platform/KFile.h"

namespace web {

namespace {

constexpr const char* kSrc = "ServerWEB";
// What a client is told when every connection slot is taken.
constexpr int kBusyRetrySeconds = 5;
// The most a queue writes for one entry in one pass, so one large answer does not starve the
// others.
constexpr size_t kPassBudget = 262144;

// Connection time-outs, sweeps and login refusals count on the monotonic clock: a step of the
// wall clock must not close every connection or lift a refusal.
int64_t Now() {
    return common::SteadySeconds();
}

// The children and the send queues wake each other through event descriptors.
void Signal(int fd) {
    if (fd < 0) return;
    uint64_t one = 1;
    ssize_t n = ::write(fd, &one, sizeof one);
    (void)n;
}

void Drain(int fd) {
    uint64_t v;
    ssize_t n = ::read(fd, &v, sizeof v);
    (void)n;
}

// Files of the application that must never be served, whatever the web root holds: settings,
// tables, quarantined mail, keys and certificates.
bool Forbidden(std::string_view page) {
    const std::string lower = common::AsciiLowered(page);
    for (std::string_view seg : common::SplitNonEmpty(lower, '/'))
        if (seg == "db" || seg == "quarantine") return true;
    const std::string ext = Extension(lower);
    for (const char* bad : {"ini", "kernel", "key", "pem", "crt", "cer", "p12", "pfx", "db", "dbk", "eml", "cfg"})
        if (ext == bad) return true;
    return false;
}

// "http://HOST" or "https://HOST" with HOST the request's own Host header.
bool SameOrigin(std::string_view origin, std::string_view host) {
    if (host.empty()) return false;
    for (std::string_view scheme : {"http://", "https://"})
        if (origin.size() == scheme.size() + host.size() && origin.substr(0, scheme.size()) == scheme &&
            common::AsciiLowered(origin.substr(scheme.size())) == common::AsciiLowered(host))
            return true;
    return false;
}

// A browser names the page a POST comes from (Origin, else Referer); one from another site is
// refused even with a valid token. Clients that name none (scripts, curl) still need the token.
bool CrossSite(const HttpRequest& r) {
    if (!r.origin.empty()) return !SameOrigin(r.origin, r.host);
    if (r.referer.empty()) return false;
    std::string_view ref = r.referer;
    size_t scheme_end = ref.find("://");
    if (scheme_end == std::string_view::npos) return true;
    size_t path = ref.find('/', scheme_end + 3);
    return !SameOrigin(ref.substr(0, path), r.host);
}

// True when `root` is `app_dir` or holds it: the web root would then serve the kernel's files.
bool RootHoldsAppDir(const std::string& root, const std::string& app_dir) {
    if (root.empty() || app_dir.empty()) return false;
    char* r = ::realpath(root.c_str(), nullptr);
    char* a = ::realpath(app_dir.c_str(), nullptr);
    bool holds = false;
    if (r && a) {
        std::string rs(r), as(a);
        holds = as == rs || rs == "/" || as.compare(0, rs.size() + 1, rs + "/") == 0;
    }
    std::free(r);
    std::free(a);
    return holds;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CWebSendQueue

CWebSendQueue::CWebSendQueue() {
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
}

CWebSendQueue::~CWebSendQueue() {
    Stop();
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

void CWebSendQueue::Stop() {
    running_ = false;
    Wake();
    if (thread_.joinable()) thread_.join();
}

void CWebSendQueue::Wake() {
    Signal(wake_fd_);
}

void CWebSendQueue::Register(int32_t number, platform::CSocketComm* slot, int wake_fd) {
    common::MutexLock lock(mu_);
    Entry e;
    e.number = number;
    e.slot = slot;
    e.wake_fd = wake_fd;
    entries_.push_back(std::move(e));
}

void CWebSendQueue::Append(int32_t number, std::string data) {
    {
        common::MutexLock lock(mu_);
        for (Entry& e : entries_)
            if (e.number == number) {
                e.woken = false;  // this answer's end wakes the child again
                e.queued += data.size();
                e.pending += data;
                break;
            }
    }
    Wake();
}

bool CWebSendQueue::SentAll(int32_t number) {
    common::MutexLock lock(mu_);
    for (const Entry& e : entries_)
        if (e.number == number) return e.started && e.sent >= e.queued;
    return true;
}

void CWebSendQueue::Remove(int32_t number) {
    common::MutexLock lock(mu_);
    entries_.erase(
        std::remove_if(entries_.begin(), entries_.end(), [number](const Entry& e) { return e.number == number; }),
        entries_.end());
}

bool CWebSendQueue::Pass() {
    common::MutexLock lock(mu_);
    bool progress = false;
    const size_t slice = static_cast<size_t>(slice_.load());
    for (auto it = entries_.begin(); it != entries_.end();) {
        Entry& e = *it;
        if (!e.slot || !e.slot->HasHandle()) {
            it = entries_.erase(it);
            continue;
        }
        bool failed = false;
        size_t budget = kPassBudget;
        while (!e.pending.empty() && budget > 0) {
            size_t n = std::min({slice, e.pending.size(), budget});
            int sent = e.slot->SendSome(std::string_view(e.pending.data(), n));
            if (sent < 0) {
                failed = true;
                break;
            }
            if (sent == 0) break;
            e.pending.erase(0, static_cast<size_t>(sent));
            e.sent += static_cast<size_t>(sent);
            e.started = true;
            budget -= std::min(budget, static_cast<size_t>(sent));
            progress = true;
        }
        if (failed) {
            it = entries_.erase(it);
            continue;
        }
        // The child closes a finished connection on its next round: wake it now, so a page's
        // assets do not wait for its poll time-out behind a connection that is done.
        if (e.pending.empty() && e.started && e.sent >= e.queued && !e.woken && e.wake_fd >= 0) {
            Signal(e.wake_fd);
            e.woken = true;
        }
        ++it;
    }
    return progress;
}

void CWebSendQueue::Run() {
    std::vector<pollfd> fds;
    while (running_) {
        if (Pass()) continue;
        // Nothing went out: sleep until a socket with output takes bytes or new output comes.
        fds.clear();
        fds.push_back({wake_fd_, POLLIN, 0});
        {
            common::MutexLock lock(mu_);
            for (const Entry& e : entries_)
                if (!e.pending.empty() && e.slot && e.slot->HasHandle()) fds.push_back({e.slot->Handle(), POLLOUT, 0});
        }
        // Bounded: a connection closed meanwhile leaves no descriptor to wake the wait.
        ::poll(fds.data(), fds.size(), 1000);
        if (fds[0].revents & POLLIN) Drain(wake_fd_);
    }
}

// ---------------------------------------------------------------------------------------------
// CLauchWEB

CLauchWEB::CLauchWEB(CServerWEB& server) : server_(server) {
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
}

CLauchWEB::~CLauchWEB() {
    running_ = false;
    Wake();
    if (thread_.joinable()) thread_.join();
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

void CLauchWEB::Wake() {
    Signal(wake_fd_);
}

void CLauchWEB::Add(int32_t number, platform::CSocketComm* slot, CWebSendQueue* queue, std::string ip) {
    auto c = std::make_unique<ClientConn>();
    c->number = number;
    c->slot = slot;
    c->queue = queue;
    c->ip = std::move(ip);
    c->last_activity = Now();
    {
        common::MutexLock lock(mu_);
        incoming_.push_back(std::move(c));
    }
    Wake();
}

bool CLauchWEB::Stop(int wait_ms) {
    running_ = false;
    running_page_.Abort();
    Wake();
    for (int waited = 0; !ended_ && waited < wait_ms; waited += 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // A page may have started compiling after the first abort.
        running_page_.Abort();
    }
    if (!ended_) return false;
    if (thread_.joinable()) thread_.join();
    return true;
}

void CLauchWEB::Run() {
    while (running_) Round();
    for (auto& c : conns_) Close(*c, "Connection Close ip: " + c->ip);
    conns_.clear();
    {
        common::MutexLock lock(mu_);
        for (auto& c : incoming_) {
            c->queue->Remove(c->number);
            c->slot->Release();
        }
        incoming_.clear();
    }
    ended_ = true;
}

void CLauchWEB::Close(ClientConn& c, const std::string& line) {
    if (c.closed) return;
    log_.AddLog(3, line, kSrc, "CLauchWEB::Run", "WEB", 0);
    c.queue->Remove(c.number);
    c.slot->Release();
    c.closed = true;
}

bool CLauchWEB::Receive(ClientConn& c, int64_t now) {
    char buf[kRecvBytes];
    // A few reads per round, so a large POST does not take a round per 4 KiB.
    for (int i = 0; i < 16; ++i) {
        int n = c.slot->RecvSome(buf, sizeof buf);
        if (n < 0) return false;
        if (n == 0) break;
        if (c.buffer.empty()) c.request_started = now;
        c.buffer.append(buf, static_cast<size_t>(n));
        c.received += static_cast<size_t>(n);
        if (c.received > kMaxConnectionBytes) return false;
        if (static_cast<size_t>(n) < sizeof buf) break;
    }
    return true;
}

std::string CLauchWEB::Respond(ClientConn& c, const HttpRequest& request, int* status) {
    const WebSettings s = server_.Settings();
    const std::string page = PagePath(request.url);
    const std::string ext = Extension(page);
    bool hidden = false;
    for (std::string_view seg : common::SplitNonEmpty(page, '/'))
        if (!seg.empty() && seg.front() == '.') hidden = true;
    // Page sources are run, never shown: not as themselves, not under another extension
    // (an editor's "page.htmcc~" or "page.htmcc.bak"), not the includes.
    const bool source = ext != "htmcc" && common::AsciiLowered(page).find(".htmc") != std::string::npos;
    const std::string path = hidden ? std::string() : ResolveUnderRoot(s.root, page);
    if (path.empty() && !hidden && !page.empty())
        log_.AddLog(1,
                    "WEB request outside the web root refused, ip: " + c.ip + " [" + request.url.substr(0, 256) + "]",
                    kSrc, "CLauchWEB::Run", "WEB", 0);
    if (path.empty() || source || ext == "htmch" || Forbidden(page) || s.root.empty()) {
        *status = 404;
        return NotFoundPage(request.keep_alive);
    }
    if (request.method == "POST" && CrossSite(request)) {
        log_.AddLog(1,
                    "WEB POST from another site refused, ip: " + c.ip + " Origin: " + request.origin.substr(0, 256) +
                        " Referer: " + request.referer.substr(0, 256) + " [" + request.url.substr(0, 256) + "]",
                    kSrc, "CLauchWEB::Run", "WEB", 0);
        *status = 403;
        return StatusPage(403, request.keep_alive);
    }
    if (ext == "htmcc") {
        // However the URL spells it ("//login.htmcc", "/./login.htmcc" resolve alike).
        const bool login = path.size() >= 12 && path.compare(path.size() - 12, 12, "/login.htmcc") == 0;
        if (request.method == "POST" && login) {
            const int64_t wait = server_.Throttle().RetryAfter(c.ip, Now());
            if (wait > 0) {
                *status = 429;
                return StatusPage(429, request.keep_alive, static_cast<int>(wait));
            }
        }
        WebPage p;
        p.throttle = &server_.Throttle();
        p.request = &request;
        p.client_ip = c.ip;
        p.root = s.root;
        PageAnswer a = RunPage(path, &server_.Kernel(), &log_, &server_.Sessions(), &p, &running_page_);
        *status = a.status;
        return std::move(a.response);
    }
    const int64_t size = platform::FileSize(path);
    if (size < 0 || !platform::IsRegularFile(path)) {
        *status = 404;
        return NotFoundPage(request.keep_alive);
    }
    if (size >= kMaxFileBytes) {
        log_.AddLog(1, "WEB file too large to send: " + path, kSrc, "CLauchWEB::Run", "WEB", 0);
        *status = 500;
        return ErrorPage(request.keep_alive);
    }
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes)) {
        *status = 404;
        return NotFoundPage(request.keep_alive);
    }
    *status = 200;
    return StaticHeader(bytes.size(), request.keep_alive, MimeType(ext)) + bytes;
}

bool CLauchWEB::Answer(ClientConn& c, int64_t now) {
    while (!c.buffer.empty() && running_) {
        HttpRequest request;
        int bad_status = 400;
        ParseStatus st = ParseRequest(c.buffer, &request, &bad_status);
        if (st == ParseStatus::kIncomplete) return true;
        if (st == ParseStatus::kInvalid) {
            // Answered, then closed once the answer is out; nothing more is read as a request.
            log_.AddLog(3, common::FormatText("Invalid request (%d) ip: %s", bad_status, c.ip.c_str()), kSrc,
                        "CLauchWEB::Run", "WEB", 0);
            c.queue->Append(c.number, StatusPage(bad_status, false));
            c.buffer.clear();
            c.request_started = 0;
            c.keep_alive = false;
            c.responded = true;
            c.finished = true;
            c.response_at = Now();
            return true;
        }
        // What follows is the next request of a keep-alive connection.
        c.buffer.erase(0, request.consumed);
        c.request_started = c.buffer.empty() ? 0 : now;
        if (request.truncated_vars)
            log_.AddLog(2,
                        "WEB request from ip: " + c.ip + " carries more variables or cookies than taken [" +
                            request.url.substr(0, 256) + "]",
                        kSrc, "CLauchWEB::Run", "WEB", 0);
        int status = 0;
        std::string response = Respond(c, request, &status);
        if (server_.Kernel().core)
            server_.Kernel().core->CountMetric("morvane_web_requests_total", "GUI requests, by HTTP status.", "status",
                                               std::to_string(status));
        log_.AddLog(
            4,
            common::FormatText("WEB Send %d to ip: %s [%s]", status, c.ip.c_str(), request.url.substr(0, 512).c_str()),
            kSrc, "CLauchWEB::Run", "WEB", 0);
        c.queue->Append(c.number, std::move(response));
        c.last_activity = Now();
        c.response_at = c.last_activity;
        c.keep_alive = request.keep_alive;
        c.responded = true;
        if (!c.keep_alive) {
            c.buffer.clear();
            c.request_started = 0;
            c.finished = true;
            return true;
        }
    }
    return true;
}

void CLauchWEB::Round() {
    {
        common::MutexLock lock(mu_);
        for (auto& c : incoming_) conns_.push_back(std::move(c));
        incoming_.clear();
    }
    const WebSettings s = server_.Settings();
    std::vector<pollfd> fds;
    fds.reserve(conns_.size() + 1);
    fds.push_back({wake_fd_, POLLIN, 0});
    for (auto& c : conns_) fds.push_back({c->slot->Handle(), POLLIN, 0});
    int wait = 200;
    if (!conns_.empty()) wait = std::max(s.max_select_ms / static_cast<int>(conns_.size()), s.min_select_ms);
    ::poll(fds.data(), fds.size(), wait);
    if (fds[0].revents & POLLIN) Drain(wake_fd_);
    const int64_t now = Now();
    for (size_t i = 0; i < conns_.size() && running_; ++i) {
        ClientConn& c = *conns_[i];
        const bool readable = fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR);
        const size_t before = c.received;
        if (readable && !c.closed) {
            if (!Receive(c, now)) {
                Close(c, c.received > kMaxConnectionBytes ? "Connection Close Invalid request ip: " + c.ip + " "
                                                          : "Connection Close ip: " + c.ip);
                continue;
            }
            // A connection whose last answer is queued reads no further requests.
            if (c.finished) c.buffer.clear();
            // Parsing stops at the header block's end, or at its limit when there is none.
            if (!c.buffer.empty() && !Answer(c, Now())) continue;
        }
        if (c.closed) continue;
        const bool got_nothing = c.received == before;
        if (c.responded && now - c.response_at > kSendSeconds && !c.queue->SentAll(c.number)) {
            // A client that does not read its answer holds a slot and the answer's memory.
            Close(c, "Connection Close Send Timeout ip: " + c.ip + " ");
        } else if (c.request_started && now - c.request_started > kRequestSeconds) {
            Close(c, "Connection Close Invalid request ip: " + c.ip + " ");
        } else if (c.keep_alive && c.buffer.empty() && got_nothing) {
            if (now - c.last_activity > s.keep_alive_seconds) {
                if (c.queue->SentAll(c.number))
                    Close(c, "Connection KeepAlive Close ip: " + c.ip + " ");
                else
                    c.last_activity = now;
            }
        } else if (c.responded && !c.keep_alive) {
            if (c.queue->SentAll(c.number)) Close(c, "Connection Close ip: " + c.ip);
        } else if (!c.responded && c.buffer.empty() && now - c.last_activity > s.keep_alive_seconds) {
            // Connected and silent: a slot held for nothing.
            Close(c, "Connection Close Idle ip: " + c.ip + " ");
        }
    }
    conns_.erase(std::remove_if(conns_.begin(), conns_.end(), [](const auto& c) { return c->closed; }), conns_.end());
}

// ---------------------------------------------------------------------------------------------
// CServerWEB

CServerWEB::CServerWEB(config::CKernelConfig& config, cron::KernelAccess kernel)
    : config_(config), kernel_(std::move(kernel)) {
    listener_.SetRefusal(StatusPage(503, false, kBusyRetrySeconds));
    next_sweep_ = Now() + kSweepSeconds;
    next_collect_ = common::TickCount() + kLogCollectMs;
    ReloadConfig();
}

CServerWEB::~CServerWEB() {
    Stop();
}

WebSettings CServerWEB::Settings() const {
    common::MutexLock lock(settings_mu_);
    return settings_;
}

void CServerWEB::Listen(const std::string& ip, const std::string& port, int slots) {
    if (ip == listen_ip_ && port == listen_port_ && slots == listen_slots_ && listener_.Listening()) return;
    if (listener_.Listening())
        AddLog(3,
               common::FormatText("Stop WEB Server ip %s port %s max_listen:%d", listen_ip_.c_str(),
                                  listen_port_.c_str(), listen_slots_),
               kSrc, "CServerWEB::Configure", "WEB", 0);
    listener_.Stop();
    listener_.StopListen();
    listen_ip_ = ip;
    listen_port_ = port;
    listen_slots_ = slots;
    if (listener_.InitListen(ip, port, slots) && listener_.Start()) {
        listen_error_.clear();
        AddLog(3, common::FormatText("Start WEB Server ip %s port %s max_listen:%d", ip.c_str(), port.c_str(), slots),
               kSrc, "CServerWEB::Configure", "WEB", 0);
    } else {
        listen_error_ = common::FormatText("cannot listen for the web GUI on %s port %s: %s", ip.c_str(), port.c_str(),
                                           std::strerror(errno));
        AddLog(1, listen_error_, kSrc, "CServerWEB::Configure", "WEB", 0);
    }
    listener_.MoveTo(*this);
}

std::string CServerWEB::StartProblem() const {
    return !listen_error_.empty() ? listen_error_ : root_error_;
}

void CServerWEB::StopWorkers() {
    for (auto& child : children_) {
        if (!child->Stop(5000))
            AddLog(1, "A web child still runs 5000 ms after it was asked to stop; waiting for it", kSrc,
                   "CServerWEB::Stop", "WEB", 0);
        child->Log().MoveTo(*this);
    }
    children_.clear();
    for (auto& q : queues_) q->Stop();
    queues_.clear();
}

void CServerWEB::ReloadConfig() {
    const config::CKernelConfig& c = config_;
    WebSettings s;
    {
        common::MutexLock lock(settings_mu_);
        s = settings_;
    }
    const int keep_alive = c.web_time_keep_alive;
    const int buffer_out = c.web_buffer_out > 0 ? c.web_buffer_out : 1024;
    const int max_select = c.web_max_select_socket_server > 0 ? c.web_max_select_socket_server : 600;
    const int min_select = c.web_min_select_socket_child > 0 ? c.web_min_select_socket_child : 150;
    const int num_server = c.web_num_server > 0 ? c.web_num_server : 5;
    if (keep_alive != s.keep_alive_seconds)
        AddLog(4, common::FormatText("Set Web Server Keep Alive Time: %d", keep_alive), kSrc, "CServerWEB::Configure",
               "WEB", 0);
    if (buffer_out != s.buffer_out)
        AddLog(4, common::FormatText("Set Web Server Buffer Out: %d", buffer_out), kSrc, "CServerWEB::Configure", "WEB",
               0);
    if (max_select != s.max_select_ms || min_select != s.min_select_ms)
        AddLog(4, common::FormatText("Set Web Socket Select MAX-MIN timeOut: %d-%d", max_select, min_select), kSrc,
               "CServerWEB::Configure", "WEB", 0);
    s.keep_alive_seconds = keep_alive;
    s.buffer_out = buffer_out;
    s.max_select_ms = max_select;
    s.min_select_ms = min_select;
    const std::string root = c.web_path.str();
    if (RootHoldsAppDir(root, kernel_.app_dir)) {
        // It would serve morvane.ini with the admin key, the tables and the quarantine.
        root_error_ = "the web root " + root + " is the application directory or holds it; the GUI serves nothing";
        AddLog(1, root_error_, kSrc, "CServerWEB::Configure", "WEB", 0);
        s.root.clear();
    } else {
        root_error_.clear();
        s.root = root;
    }
    {
        common::MutexLock lock(settings_mu_);
        settings_ = s;
    }
    if (stopped_) return;
    Listen(c.web_listen.str(), c.web_port.str(), c.web_maxconn > 0 ? c.web_maxconn : 20);
    if (num_server != num_server_) {
        StopWorkers();
        for (int i = 0; i < num_server; ++i) {
            children_.push_back(std::make_unique<CLauchWEB>(*this));
            AddLog(4, common::FormatText("Start Server Child: %d", i), kSrc, "CServerWEB::Configure", "WEB", 0);
        }
        const int queues = std::max(num_server / 2, 1);
        for (int i = 0; i < queues; ++i) queues_.push_back(std::make_unique<CWebSendQueue>());
        AddLog(4, "Start Queue Server WEB", kSrc, "CServerWEB::Configure", "WEB", 0);
        num_server_ = num_server;
    }
    for (auto& q : queues_) q->SetSlice(buffer_out);
}

void CServerWEB::Step() {
    if (stopped_) return;
    listener_.AcceptWaiting();
    listener_.MoveTo(*this);
    for (const core::PendingConnection& p : listener_.TakePending()) {
        if (!p.slot) continue;
        if (children_.empty()) {
            p.slot->Release();
            continue;
        }
        const int32_t k = counter_;
        CLauchWEB& child = *children_[static_cast<size_t>(k) % children_.size()];
        CWebSendQueue& queue = *queues_[static_cast<size_t>(k) % queues_.size()];
        queue.Register(k, p.slot, child.WakeHandle());
        child.Add(k, p.slot, &queue, p.slot->PeerAddressText());
        counter_ = counter_ >= kCounterWrap ? 0 : counter_ + 1;
    }
    const int64_t now = Now();
    if (now >= next_sweep_) {
        next_sweep_ = now + kSweepSeconds;
        // Sessions expire at wall-clock times pages set (w.Time() + seconds).
        size_t gone = sessions_.Sweep(common::NowSeconds());
        if (gone > 0)
            AddLog(4, common::FormatText("Web sessions expired: %zu", gone), kSrc, "CServerWEB::Tick", "WEB", 0);
    }
    const uint32_t tick = common::TickCount();
    if (static_cast<int32_t>(next_collect_ - tick) > 0) return;
    next_collect_ = tick + kLogCollectMs;
    for (auto& child : children_) child->Log().MoveTo(*this);
}

void CServerWEB::Stop() {
    if (stopped_) return;
    stopped_ = true;
    listener_.Stop();
    StopWorkers();
    listener_.StopListen();
    listener_.MoveTo(*this);
}

}  // namespace web
