#include "core/LauchAntispam.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>

#include "checks/Dns.h"
#include "common/Clock.h"
#include "common/IpAddress.h"
#include "common/String.h"
#include "config/KernelConfig.h"
#include "core/MorvaneCore.h"
#include "core/SmtpText.h"

namespace core {

namespace {

constexpr const char* kSrc = "LauchAntispam";
constexpr const char* kRun = "CLauchAntispam::Run";
constexpr const char* kConnect = "CMorvaneCore::Run";
constexpr const char* kStopReply = "421 Service not available, closing transmission channel\r\n";
constexpr const char* kTimeoutReply = "451 Connection timeout, try later\r\n";
constexpr const char* kLineTooLong = "500 5.5.6 Line too long\r\n";
constexpr const char* kSyntaxError = "500 5.5.2 Syntax error\r\n";
constexpr const char* kMtaTimeout = "451 4.4.2 Timeout waiting for the mail server, try again later\r\n";
constexpr const char* kBdatSyntax = "501 5.5.4 Syntax: BDAT size [LAST]\r\n";
constexpr const char* kProtocolError = "421 4.3.0 Protocol error at the mail server, closing connection\r\n";

// True the first time `key` (a script failure: file, stamp, diagnostics) is seen in this process.
bool FirstReport(const std::string& key) {
    static std::mutex mu;
    static std::set<std::string> seen;
    std::scoped_lock lock(mu);
    if (seen.size() > 1000) seen.clear();
    return seen.insert(key).second;
}

}  // namespace

CLauchAntispam::CLauchAntispam(CMorvaneCore& core, bool reuse) : core_(core), reuse_(reuse) {
    idle_ = true;
    idle_since_ = common::ProcessMillis();
}

CLauchAntispam::~CLauchAntispam() {
    StopSession(0);
    {
        // Nothing the fiber uses may go away under it.
        common::MutexLock lock(job_mu_);
        while (running_) job_cv_.wait(job_mu_);
        SetBusy(false);  // the pool's count stays true whatever ended it
    }
}

config::CKernelConfig& CLauchAntispam::Config() {
    return core_.Config();
}

bool CLauchAntispam::HandOff(int32_t id, CSocketComm* slot, std::shared_ptr<const SessionSettings> settings,
                             platform::CEventLoop* loop, bool counted) {
    {
        common::MutexLock lock(job_mu_);
        if (busy_ || !idle_ || quit_ || !slot || !loop || running_) return false;
        state_.id = id;
        state_.ip_counted = counted;
        state_.client = slot;
        settings_ = std::move(settings);
        SetBusy(true);
        idle_ = false;
    }
    if (Launch(loop, false)) return true;
    common::MutexLock lock(job_mu_);
    state_.client = nullptr;
    SetBusy(false);
    idle_ = true;
    return false;
}

void CLauchAntispam::Prepare(std::shared_ptr<const SessionSettings> settings, platform::CEventLoop* loop) {
    {
        common::MutexLock lock(job_mu_);
        if (busy_ || !idle_ || quit_ || !loop || running_) return;
        settings_ = std::move(settings);
        idle_ = false;
    }
    if (Launch(loop, true)) return;
    common::MutexLock lock(job_mu_);
    idle_ = true;
}

bool CLauchAntispam::Launch(platform::CEventLoop* loop, bool prepare) {
    running_ = true;
    if (loop->Spawn([this, prepare] { RunJob(prepare); })) return true;
    running_ = false;
    return false;
}

void CLauchAntispam::RunJob(bool prepare) {
    {
        common::MutexLock lock(job_mu_);
        fiber_ = platform::CurrentFiber();
    }
    // A stop asked before the fiber was known: its first wait returns at once.
    if (stopping_) platform::Interrupt(platform::CurrentFiber());
    // What the loop names when this session holds it too long: the session and the script line
    // of the native call that ran.
    platform::SetFiberLabel([this] {
        std::string where = script_in_ ? script_in_->NativeCallLine() : slow_where_;
        return "session " + std::to_string(state_.id) + (where.empty() ? std::string() : " at " + where);
    });
    // A stack overflow ends the connection: the client's slot goes back to the listener.
    platform::SetFiberAbandonHook([this] {
        if (state_.client) state_.client->Release();
        if (state_.mta) state_.mta->Close();
    });
    if (prepare) {
        RegisterScripts();
        if (host_ && host_->Count() > 0) host_->Event("OnDestroyThis");
        MoveScriptLogs();
    } else {
        Serve();
    }
    common::MutexLock lock(job_mu_);
    fiber_ = {};
    idle_since_ = common::ProcessMillis();
    idle_ = true;
    running_ = false;
    job_cv_.notify_all();
}

bool CLauchAntispam::StopSession(int wait_ms) {
    stopping_ = true;
    running_script_.Abort();
    common::MutexLock lock(job_mu_);
    quit_ = true;
    // The relay loop (or a TLS handshake, a script's Sleep) waiting now returns and sees the
    // stop.
    platform::Interrupt(fiber_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (running_ && job_cv_.wait_until(job_mu_, deadline) != std::cv_status::timeout) {
    }
    return !running_;
}

void CLauchAntispam::ScriptStarted(script::Interpreter* in) {
    script_in_ = in;
    running_script_.Set(in);
}

void CLauchAntispam::ScriptEnded() {
    running_script_.Clear();
    // Said by the loop only once this step yields, when the script has ended: kept for it.
    if (script_in_ && platform::FiberStepMs() > platform::CEventLoop::kSlowStepMs) {
        slow_where_ = script_in_->NativeCallLine();
    } else if (!slow_where_.empty()) {
        slow_where_.clear();
    }
    script_in_ = nullptr;
}

void CLauchAntispam::RegisterScripts() {
    if (!settings_) settings_ = std::make_shared<SessionSettings>();
    if (!host_) host_ = std::make_unique<CS_PROXY_ANTISPAM_INSTANCE>(this);
    // A reload compiles the scripts again (an included file may have changed too).
    if (compiled_for_ != settings_.get()) host_->Forget();
    compiled_for_ = settings_.get();
    host_->Register(settings_->scripts, settings_->script_dir, reuse_);
}

void CLauchAntispam::Log(int level, const std::string& text, const char* function, const char* type) {
    if (logging::LogWanted(level)) AddLog(level, text, kSrc, function, type, state_.id);
}

void CLauchAntispam::MoveScriptLogs() {
    if (!host_) return;
    for (auto& s : host_->Scripts()) {
        if (!s->in) continue;
        s->error.clear();
        s->in->MoveTo(*this, state_.id);
    }
}

bool CLauchAntispam::CheckScripts() {
    if (!host_ || host_->Count() == -1) {
        Log(1, "NO SCRIPT SETTING IN CONFIG", kRun, "SCRIPT");
        return false;
    }
    bool ok = true;
    for (auto& s : host_->Scripts()) {
        if (s->compiled) continue;
        if (s->IsCoreScript()) ok = false;
        std::deque<logging::LogQueueItem> items;
        if (s->in) items = s->in->TakeAll();
        // Once per failure of a file, not once per connection or session.
        if (s->reported || !FirstReport(s->path + "|" + s->stamp + "|" + s->error)) {
            s->reported = true;
            continue;
        }
        s->reported = true;
        Log(1, common::FormatText("-- ERROR SCRIPT: %s --", s->path.c_str()), kRun, "SCRIPT");
        // The diagnostics go with the line above, so an operator sees why at the same level.
        for (logging::LogQueueItem& item : items)
            AddLog(1, item.entry.View(), item.file.View(), item.function.View(), "SCRIPT", state_.id);
    }
    return ok;
}

void CLauchAntispam::Serve() {
    state_.ending = false;
    // Known from the start, so that an address the admission counted is removed however the
    // session ends.
    if (state_.client) state_.client_ip = state_.client->PeerAddressText();
    state_.trace.Start(common::NowSeconds(), common::ProcessMillis());
    RegisterScripts();
    if (!CheckScripts()) {
        Send421();  // not silence: the client retries later
        return Finish();
    }
    if (state_.client_ip.empty()) {  // no client, or its address is 0
        Log(1, "ERROR SOCKET IP is ZERO", kRun, "SYS");
        return Finish();
    }
    int one = 1;
    ::setsockopt(state_.client->Handle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    checks::CAddressList* relay = core_.RelayList();
    state_.relay = relay->Contains(state_.client_ip, relay->PatternCount() > 0 ? core_.Dns() : nullptr) != 0;
    // Bounded on its own, and not asked again soon for an address without a name: a DNS
    // outage must not hold every greeting.
    std::string names = checks::DnsReverseForSession(*core_.Dns(), state_.client_ip, kPtrBudgetMs);
    state_.client_host = names.substr(0, names.find(';'));
    int32_t id = state_.id;
    if (host_->Event("OnStartClientConnection", "int", {&id}) != 0 || state_.ending) return Finish();
    state_.last_activity = common::SteadySeconds();
    RelayLoop();
    Finish();
}

void CLauchAntispam::Send421() {
    if (state_.client && state_.client->HasHandle()) state_.client->Send(kStopReply, settings_->select_ms);
}

void CLauchAntispam::RelayLoop() {
    const SessionSettings& cfg = *settings_;
    // buffer_socket_size is the smallest piece: a message moves in pieces of up to kIoChunk, so
    // that it costs a few reads, writes and wake-ups rather than one per kilobyte.
    const size_t recv_size = std::max(static_cast<size_t>(cfg.recv_size), kIoChunk);
    // One read buffer per event-loop thread, not per session: what a read brings is copied out
    // (HandleReply appends it, ClientBytes takes a string) before anything can yield to another
    // session of the loop, so thousands of idle sessions hold no buffer at all.
    thread_local std::unique_ptr<char[]> t_buf;
    thread_local size_t t_buf_size = 0;
    if (t_buf_size < recv_size) {
        t_buf.reset(new char[recv_size]);
        t_buf_size = recv_size;
    }
    char* const buf = t_buf.get();
    // The connection's start (its scripts, the client's name, the MTA) went deeper than the
    // relay loop ever does: an idle client costs only the stack of this loop's wait.
    platform::TrimFiberStack();
    while (!state_.ending) {
        const bool client_open = state_.client && state_.client->HasHandle();
        const bool mta_open = state_.mta && state_.mta->HasHandle();
        if (!client_open) {
            // The script closed the client: nothing is left to relay.
            End(nullptr);
            break;
        }
        if (!state_.mta_greeting.empty()) {
            std::string greeting;
            greeting.swap(state_.mta_greeting);
            HandleReply(greeting);
            if (state_.ending) break;
        }
        const bool read_client = WantClientBytes(recv_size);
        const bool read_mta = state_.client_queue.size() < kMaxQueue;
        // Bytes TLS decrypted already: poll() cannot see them, so they count as readable.
        const bool client_pending = read_client && state_.client->TlsPending() > 0;
        const bool mta_pending = mta_open && read_mta && state_.mta->TlsPending() > 0;

        pollfd fds[2];
        int n = 0, ci = -1, mi = -1;
        fds[n] = {state_.client->Handle(),
                  static_cast<short>((read_client ? POLLIN : 0) | (state_.client_queue.empty() ? 0 : POLLOUT)), 0};
        ci = n++;
        if (mta_open) {
            fds[n] = {state_.mta->Handle(),
                      static_cast<short>((read_mta ? POLLIN : 0) | (state_.mta_queue.empty() ? 0 : POLLOUT)), 0};
            mi = n++;
        }
        const bool work_ready = CanTakeCommand() || CanFlow() ||
                                (state_.close_after_send && state_.client_queue.empty()) || client_pending ||
                                mta_pending;
        int wait = WaitMs(work_ready);
        int rc = platform::Poll(fds, static_cast<size_t>(n), wait);
        if (rc < 0 && errno != EINTR) {
            End("poll failed");
            break;
        }
        const short kReadable = POLLIN | POLLHUP | POLLERR;
        bool hung_up_unread = false;

        // 1. The MTA's replies.
        if (mi >= 0 && ((rc > 0 && (fds[mi].revents & kReadable)) || mta_pending)) {
            if (read_mta || (fds[mi].revents & (POLLHUP | POLLERR))) {
                int got = state_.mta->RecvSome(buf, static_cast<int>(recv_size));
                if (got < 0) {
                    End("Connection is closed from Friend");
                    break;
                }
                if (got > 0) HandleReply(std::string_view(buf, static_cast<size_t>(got)));
                if (state_.ending) break;
            }
        }
        // 2. What waits for the client.
        if (!state_.client_queue.empty() && state_.client->HasHandle()) {
            int sent = state_.client->SendSome(state_.client_queue);
            if (sent < 0) {
                End("Connection is closed from Client");
                break;
            }
            if (static_cast<size_t>(sent) == state_.client_queue.size()) {
                if (logging::LogWanted(2)) Log(2, "fr->cl : " + state_.client_queue, kRun, "SYS");  // the whole reply
                state_.client_queue.clear();
            } else {
                state_.client_queue.erase(0, static_cast<size_t>(sent));
            }
        }
        // 3. The client's bytes.
        if (((rc > 0 && (fds[ci].revents & kReadable)) || client_pending) && !state_.close_after_send) {
            if (read_client) {
                int got = state_.client->RecvSome(buf, static_cast<int>(recv_size));
                if (got < 0) {
                    End("Connection is closed from Client");
                    break;
                }
                if (got > 0) {
                    ClientBytes(std::string(buf, static_cast<size_t>(got)));
                    if (state_.ending) break;
                }
            } else if (rc > 0 && (fds[ci].revents & (POLLHUP | POLLERR))) {
                hung_up_unread = true;
            }
        }
        // 4-5. The next client command, then the held message.
        if (!Advance(recv_size)) break;
        // 6. What waits for the MTA.
        if (!state_.mta_queue.empty()) {
            if (state_.mta && state_.mta->HasHandle()) {
                int sent = state_.mta->SendSome(state_.mta_queue);
                if (sent < 0) {
                    End("Connection is closed from Friend");
                    break;
                }
                state_.mta_queue.erase(0, static_cast<size_t>(sent));
            } else {
                state_.mta_queue.clear();  // no MTA to take it
            }
        }
        // 7. A close the script asked for, once the client has its answer.
        if (CloseDue()) {
            End(nullptr);
            break;
        }
        // 8. The idle client: idle since its last whole command line, or since the first byte of
        // the line it has not finished. Not while it waits for the MTA's answer.
        const int64_t now = common::SteadySeconds();
        const int64_t since = std::max(state_.last_activity, state_.line_started);
        if (!state_.relay && state_.last_activity != 0 && state_.reply_deadline == 0 &&
            now - since > cfg.timeout_client) {
            Log(1, "Connection Timeout", kRun, "FIREWALL");
            state_.client->Send(kTimeoutReply, cfg.select_ms);
            core_.Count("f3fw_timeout", 3);
            host_->Event("OnClientTimeOut");
            End(nullptr);
            break;
        }
        // 8b. The MTA does not answer: every session, relay clients included, ends.
        if (state_.reply_deadline != 0 && now > state_.reply_deadline) {
            Log(1, "MTA reply timeout, close connection", kRun, "FIREWALL");
            state_.client->Send(kMtaTimeout, cfg.select_ms);
            End(nullptr);
            break;
        }
        // 9. The kernel stops.
        if (stopping_) {
            Send421();
            End(nullptr);
            break;
        }
        if (hung_up_unread) platform::SleepMs(1);  // the peer left while its side is backed up
    }
}

bool CLauchAntispam::Advance(size_t recv_size, const std::function<void()>& after_command) {
    TakeCommand();
    if (state_.ending) return false;
    if (after_command) after_command();
    // In pieces, once the MTA takes it.
    Flow(recv_size);
    return true;
}

int CLauchAntispam::WaitMs(bool work_ready) const {
    if (work_ready) return 0;
    const int64_t now = common::SteadySeconds();
    int64_t wake = now + kMaxWaitMs / 1000;
    // The checks compare whole seconds ("more than N seconds"): wake in the second after.
    if (!state_.relay && state_.last_activity != 0 && state_.reply_deadline == 0)
        wake = std::min(wake, std::max(state_.last_activity, state_.line_started) + settings_->timeout_client + 1);
    if (state_.reply_deadline != 0) wake = std::min(wake, state_.reply_deadline + 1);
    return static_cast<int>(std::clamp<int64_t>((wake - now) * 1000, 0, kMaxWaitMs));
}

bool CLauchAntispam::WantClientBytes(size_t recv_size) const {
    // Client bytes are read unless the side they go to is backed up.
    if (state_.close_after_send) return false;
    if (state_.flowing && state_.held.size() >= recv_size) return false;
    return !(state_.mode == kCommand && !state_.discarding && state_.pending.size() >= kMaxLine &&
             state_.pending.find('\n') != std::string::npos);
}

void CLauchAntispam::ClientBytes(std::string data) {
    const int64_t now = common::SteadySeconds();
    if (state_.discarding || (state_.mode == kData && !state_.end_seen)) {
        // Message data keeps a client alive: a large message may come slowly.
        state_.last_activity = now;
        if (state_.discarding)
            DiscardData(std::move(data));
        else
            HandleData(std::move(data));
    } else {
        // Command bytes count only as whole lines, so a client dripping a line byte by byte
        // is timed out from the line's first byte.
        const bool line_end = data.find('\n') != std::string::npos;
        state_.pending += data;
        if (line_end) {
            state_.last_activity = now;
            state_.line_started = state_.pending.back() == '\n' ? 0 : now;
        } else if (state_.line_started == 0) {
            state_.line_started = now;
        }
    }
    if (state_.ending) return;
    if (state_.pending.size() > kMaxLine && state_.pending.find('\n') == std::string::npos) {
        Log(1, "Client line too long, close connection", kRun, "FIREWALL");
        if (state_.client) state_.client->Send(kLineTooLong, settings_->select_ms);
        End(nullptr);
    }
}

bool CLauchAntispam::CanTakeCommand() const {
    return state_.mode == kCommand && !state_.discarding && state_.ready && !state_.close_after_send &&
           state_.mta_queue.empty() && state_.pending.find('\n') != std::string::npos;
}

bool CLauchAntispam::CanFlow() const {
    return state_.flowing && state_.data_open && state_.mta_queue.empty();
}

void CLauchAntispam::TakeCommand() {
    if (!CanTakeCommand()) return;
    size_t nl = state_.pending.find('\n');
    state_.ready = false;
    state_.command.assign(state_.pending, 0, nl + 1);
    state_.pending.erase(0, nl + 1);
    if (smtp::IsAmbiguousLine(state_.command)) {
        // A NUL or a bare CR: the MTA could read another command than the one the policy saw.
        Log(2, "fr<-cl : command line with a NUL or a bare CR refused", kRun, "SYS");
        state_.command.clear();
        SendToClient(kSyntaxError);
        CountError();
        return;
    }
    // A bare LF ends a command line as CR LF does; the MTA gets CR LF.
    state_.command.resize(state_.command.size() -
                          (state_.command.size() >= 2 && state_.command[state_.command.size() - 2] == '\r' ? 2 : 1));
    state_.command += "\r\n";
    HandleCommand();
}

void CLauchAntispam::Flow(size_t recv_size) {
    if (!CanFlow()) return;
    size_t take = std::min(state_.held.size(), recv_size);
    if (take == state_.held.size()) {
        state_.mta_queue.swap(state_.held);  // all of it: no copy
        state_.held.clear();
    } else {
        state_.mta_queue.assign(state_.held, 0, take);
        state_.held.erase(0, take);
    }
    if (take > 0) state_.header_sent = true;
    if (state_.held.empty() && state_.end_seen) EndData();
    if (!state_.mta_queue.empty()) state_.last_activity = common::SteadySeconds();
}

void CLauchAntispam::HandleCommand() {
    std::string line = smtp::WithoutLineBreaks(state_.command);
    if (host_->Event("OnAllClientData", "string", {line.c_str()}) != 0) return End(nullptr);
    if (state_.ending) return;
    if (logging::LogWanted(2)) Log(2, "fr<-cl : " + line, kRun, "SYS");
    state_.ehlo_due = false;
    if (state_.mta_abandoned) {
        const bool quit = common::AsciiLowered(line.substr(0, 4)) == "quit";
        SendToClient(quit ? "221 2.0.0 Bye\r\n"
                          : "421 4.3.0 The last message was held; send the next one in a new connection\r\n");
        state_.close_after_send = true;
        return;
    }
    if (smtp::IsStartTls(line)) return StartClientTls(line);
    smtp::Command c = smtp::RecognizeCommand(line, state_.relay);
    switch (c.kind) {
        case smtp::CommandKind::Helo:
            state_.trace.Command("helo");
            state_.helo = c.arg;
            state_.ehlo_due = settings_->tls.server && !ClientTls() && common::AsciiLowered(c.word) == "ehlo";
            host_->Event("OnHelo", "string,string", {c.arg.c_str(), c.word.c_str()});
            break;
        case smtp::CommandKind::MailFrom:
            state_.trace.Command("mail");
            state_.mail_from = c.arg;
            host_->Event("OnMailFrom", "string", {c.arg.c_str()});
            break;
        case smtp::CommandKind::RcptTo:
            state_.trace.Command("rcpt");
            state_.trace.Recipient(c.arg);
            host_->Event("OnRcptTo", "string", {c.arg.c_str()});
            break;
        case smtp::CommandKind::RcptToError: host_->Event("OnRcptToError", "string", {c.arg.c_str()}); break;
        case smtp::CommandKind::Noop: host_->Event("OnCommandNOOP"); break;
        case smtp::CommandKind::Rset: host_->Event("OnCommandRSET"); break;
        case smtp::CommandKind::None: break;
    }
    if (state_.ending) return;
    std::optional<smtp::DataCommand> d = smtp::RecognizeData(line);
    if (d && d->bdat && !d->valid) {
        state_.command.clear();
        return SendToClient(kBdatSyntax);
    }
    if (d && d->bdat) return HandleBdat(*d);
    if (state_.bdat_tx) return BetweenChunks(c.kind);
    state_.bdat_failed = false;
    if (d) {
        std::string data_line = state_.command;
        std::string pipelined;
        pipelined.swap(state_.pending);
        const bool open = OpenMessage(smtp::DataNormalizer::Kind::Data);
        if (state_.ending) return;
        if (!open) {
            // The script refused the transaction itself.
            LeaveData(false);
            state_.pending.insert(0, pipelined);
        } else if (!pipelined.empty()) {
            HandleData(std::move(pipelined));
            if (state_.ending) return;
        }
        if (state_.command.empty()) data_line.clear();  // the script dropped the command
        state_.command = data_line;
        state_.mta_data = !state_.command.empty() && state_.mode == kData;
    }
    state_.mta_queue = state_.command;
    if (!state_.mta_queue.empty()) ReplyDue(settings_->mta_timeout_cmd);
    // A script that answered the EHLO itself: the MTA's next reply is not to an EHLO.
    if (state_.mta_queue.empty()) state_.ehlo_due = false;
}

bool CLauchAntispam::CountError() {
    ++state_.error_count;
    int count = state_.error_count;
    host_->Event("OverWriteCommandError", "int", {&count});
    if (state_.ending) return false;
    if (state_.error_count > settings_->error_max) {
        AddLog(1, "max errors exceeded... close connection !!!", kSrc, "CMorvaneCore::Reply", "FIREWALL", state_.id);
        core_.Count("f3fw_max_errore", 3);
        End(nullptr);
        return false;
    }
    return true;
}

void CLauchAntispam::HandleReply(std::string_view bytes) {
    state_.mta_partial.append(bytes);
    // Whole replies only: an EHLO reply is edited as a whole, and the line removed from it may
    // be its last.
    size_t take = smtp::CompleteReplies(state_.mta_partial);
    if (take == 0) {
        if (state_.mta_partial.size() < kMaxLine) return;  // wait for the reply's end
        size_t last = state_.mta_partial.rfind('\n');
        take = last == std::string::npos ? state_.mta_partial.size() : last + 1;
    }
    std::string reply = state_.mta_partial.substr(0, take);
    state_.mta_partial.erase(0, take);
    HandleReplyLines(std::move(reply));
}

void CLauchAntispam::HandleReplyLines(std::string reply) {
    reply = smtp::EditReply(std::move(reply), &state_.ext_insert, &state_.ext_drop);
    std::string removed;
    reply = smtp::RemoveExtensions(std::move(reply), &removed);
    if (!removed.empty()) Log(2, "EHLO reply without " + removed + ": not available through the relay", kRun, "SYS");
    if (state_.ehlo_due) {
        // The proxy ends the client's TLS itself, whatever the MTA offers.
        reply = smtp::AddExtension(std::move(reply), "STARTTLS");
        state_.ehlo_due = false;
    }
    std::string to_client;
    size_t start = 0;
    while (start < reply.size()) {
        size_t nl = reply.find('\n', start);
        size_t end = nl == std::string::npos ? reply.size() : nl + 1;
        std::string_view line(reply.data() + start, end - start);
        start = end;
        bool pass = true;
        // The last line of a reply has no "-" after its code: the command is answered.
        const bool final_line = smtp::IsFinalLine(line);
        const bool go_ahead = final_line && line.substr(0, 3) == "354";
        if (smtp::IsCountedError(line)) {
            if (!CountError()) return;
            if (state_.mode == kData && !state_.data_reply_due) DataRefused();
        }
        if (smtp::IsAuthenticated(line)) {
            state_.relay = true;
            Log(1, "authenticated !", kRun, "SYS");
            host_->Event("OnAuthenticatedToMTA");
            if (state_.ending) return;
        }
        if (final_line) {
            state_.ready = true;
            state_.reply_deadline = 0;
            state_.last_activity = common::SteadySeconds();  // the client's turn starts now
            if (!state_.data_reply_due && go_ahead) {
                // The MTA took a line for DATA that the relay did not: it now reads the client's
                // next lines as a message no policy saw. Only closing its connection stops it.
                Log(1, "MTA answered 354 to a command that was not DATA: MTA connection closed", kRun, "SYS");
                state_.client_queue += to_client;
                SendToClient(kProtocolError);
                return AbortMtaData();
            }
            if (state_.data_reply_due) {
                state_.data_reply_due = false;
                if (go_ahead) {
                    state_.data_open = true;
                    if (state_.bdat_tx) {
                        // A BDAT client waits for its chunk's reply, not for 354.
                        pass = false;
                        to_client += state_.chunk_ack;
                        state_.chunk_ack.clear();
                    }
                } else {
                    DataRefused();
                }
            }
        }
        if (pass) to_client.append(line);
    }
    if (to_client.empty()) return;
    state_.trace.Replies(to_client);
    state_.client_queue += to_client;
    if (host_->Event("OnReplyMTA", "string", {to_client.c_str()}) != 0) End(nullptr);
}

void CLauchAntispam::End(const char* why, int level) {
    if (why) Log(level, why, kRun, "SYS");
    state_.ending = true;
}

void CLauchAntispam::Finish() {
    if (host_ && host_->Count() > 0) host_->Event("OnDestroyThis");
    MoveScriptLogs();
    if (!state_.client_ip.empty()) {
        store::HistoryRecord r = state_.trace.Record(common::ProcessMillis());
        r.conn_id = state_.id;
        r.client_ip = state_.client_ip;
        r.client_name = state_.client_host;
        r.helo = state_.helo;
        r.sender = state_.mail_from;
        r.tls = ClientTlsInfo();
        core_.RecordSession(std::move(r));
    }
    if (state_.client) {
        state_.client->Release();
    }
    if (state_.mta) state_.mta->Close();
    if (state_.ip_counted && !state_.client_ip.empty() && core_.SessionCounter()->Remove(state_.client_ip))
        Log(1, "Remove Session ip:" + state_.client_ip, kRun, "SYS");
    const int32_t old_id = state_.id;
    Reset();
    if (logging::LogWanted(4)) {
        AddLog(4, "Rest Variables", kSrc, kRun, "DEBUG", old_id);
        AddLog(4, "Exit Child Thread", kSrc, kRun, "DEBUG", old_id);
    }
    common::MutexLock lock(job_mu_);
    idle_since_ = common::ProcessMillis();
    SetBusy(false);
}

void CLauchAntispam::SetBusy(bool busy) {
    if (busy_.exchange(busy) == busy || !busy_counter_) return;
    busy_counter_->fetch_add(busy ? 1 : -1);
}

void CLauchAntispam::Reset() {
    // Closes the MTA connection; the client's socket is the listener's slot and stays with it.
    state_ = {};
    mail_.Reset();
    // The script host stays: its compiled scripts start afresh at the next connection.
}

// ---------------------------------------------------------------------------------------------
// What the scripts do to the connection.

void CLauchAntispam::SendToMTA(std::string_view text) {
    if (state_.mta && state_.mta->HasHandle()) state_.mta_queue += text;
}

void CLauchAntispam::SendToClient(std::string_view text) {
    if (!state_.client || !state_.client->HasHandle()) return;
    state_.trace.Replies(text);
    state_.client_queue += text;
    state_.ready = true;
}

void CLauchAntispam::DropBufferToMTA() {
    state_.command.clear();
    state_.mta_queue.clear();
    state_.mode = kCommand;
}

void CLauchAntispam::DropBufferToClient() {
    state_.client_queue.clear();
    state_.mta_partial.clear();  // the rest of a reply whose start was dropped would reach the client alone
}

void CLauchAntispam::CloseClientConnection() {
    if (state_.client) state_.client->Close();
}

void CLauchAntispam::CloseMTAConnection() {
    if (state_.mta) state_.mta->Close();
}

void CLauchAntispam::CloseAllConnection() {
    CloseClientConnection();
    CloseMTAConnection();
}

void CLauchAntispam::ExitSession() {
    state_.close_after_send = true;
    CloseAllConnection();
    state_.ending = true;
}

void CLauchAntispam::RegisterSessionIp(const std::string& ip) {
    if (ip == state_.client_ip) {
        if (state_.ip_counted) return;
        state_.ip_counted = true;
    }
    core_.SessionCounter()->Add(ip);
}

std::string CLauchAntispam::MtaAddress() const {
    if (!state_.mta || !state_.mta->HasHandle()) return std::string();
    return state_.mta->PeerAddressText();
}

int CLauchAntispam::ConnectToDefaultMTA() {
    CMtaList* list = core_.MtaList();
    CMtaList::Cursor cursor = list->Begin();
    while (std::optional<MtaServer> server = list->Next(cursor)) {
        const std::string port = std::to_string(server->port);
        if (ConnectToMTA(server->host, port)) {
            AddLog(1, common::FormatText("O.K. Connect To: %s port: %s", server->host.c_str(), port.c_str()), kSrc,
                   kConnect, "SYS", state_.id);
            state_.mta_host = server->host;
            state_.mta_name = server->name;
            core_.Count("f2cooperative_[" + server->host + "]", 2);
            core_.MtaAnswered();
            return 1;
        }
        AddLog(1, common::FormatText("FAILED to Connect a: %s port: %s", server->host.c_str(), port.c_str()), kSrc,
               kConnect, "SYS", state_.id);
        core_.Count("f2cooperative_fail_[" + server->host + "]", 2);
        core_.CountMetric("morvane_mta_connect_failures_total", "Connections to a back-end MTA that failed.", "mta",
                          server->host);
    }
    return 0;
}

namespace {
// A back-end named by the operator is looked up with the kernel's own resolver (the servers of
// [DNS], which also serve the checks), its IPv6 addresses first as RFC 6724 orders them for a
// dual-stack host. Empty for an address literal, or when that resolver knows the name by
// neither family: the system's resolver (and its hosts file) is asked then.
std::vector<std::string> MtaAddresses(checks::CDns* dns, const std::string& host) {
    std::vector<std::string> out;
    if (!dns || host.empty() || common::IpAddress::Parse(host)) return out;
    for (uint16_t type : {checks::kTypeAAAA, checks::kTypeA}) {
        std::vector<checks::DnsAnswer> answers;
        if (!dns->Query(host, type, &answers, -1, CLauchAntispam::kMtaLookupBudgetMs, true)) continue;
        for (const checks::DnsAnswer& a : answers)
            if (a.type == type) out.push_back(a.data);
    }
    return out;
}
}  // namespace

int CLauchAntispam::ConnectToMTA(const std::string& host, const std::string& port) {
    if (!state_.mta) state_.mta = std::make_unique<CSocketComm>();
    state_.mta_partial.clear();
    state_.mta_greeting.clear();
    const std::string bind_ip = settings_ ? settings_->adapter_ip : std::string();
    const std::vector<std::string> addresses = MtaAddresses(core_.Dns(), host);
    bool connected = false;
    for (const std::string& address : addresses)
        if ((connected = state_.mta->Connect(address, port, bind_ip, kConnectTimeoutMs))) break;
    if (addresses.empty()) connected = state_.mta->Connect(host, port, bind_ip, kConnectTimeoutMs);
    if (!connected) return 0;
    if (settings_ && settings_->tls.mta != MtaTls::kNone && !StartMtaTls(host)) return 0;
    ReplyDue(settings_ ? settings_->mta_timeout_cmd : 300);  // its greeting
    return 1;
}

}  // namespace core
