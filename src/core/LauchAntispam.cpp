#include "core/LauchAntispam.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
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
constexpr const char* kNoTls = "454 4.7.0 TLS not available\r\n";
constexpr const char* kMtaTimeout = "451 4.4.2 Timeout waiting for the mail server, try again later\r\n";
constexpr const char* kBdatFailed = "503 5.5.1 Earlier chunk failed, send RSET\r\n";
constexpr const char* kBdatSyntax = "501 5.5.4 Syntax: BDAT size [LAST]\r\n";
constexpr const char* kProtocolError = "421 4.3.0 Protocol error at the mail server, closing connection\r\n";
constexpr const char* kBdatAborted = "421 4.3.0 BDAT transaction aborted, closing connection\r\n";

// True the first time `key` (a script failure: file, stamp, diagnostics) is seen in this process.
bool FirstReport(const std::string& key) {
    static std::mutex mu;
    static std::set<std::string> seen;
    std::scoped_lock lock(mu);
    if (seen.size() > 1000) seen.clear();
    return seen.insert(key).second;
}

std::string WithoutLineEnd(std::string_view line) {
    std::string out(line);
    out.erase(std::remove_if(out.begin(), out.end(), [](char c) { return c == '\r' || c == '\n'; }), out.end());
    return out;
}

}  // namespace

CLauchAntispam::CLauchAntispam(CMorvaneCore& core, bool reuse) : core_(core), reuse_(reuse) {
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // A new session waits for its first job: it may be handed one before its thread runs.
    idle_ = true;
    idle_since_ = common::ProcessMillis();
}

CLauchAntispam::~CLauchAntispam() {
    StopSession();
    Join();  // nothing the thread uses may go away under it
    if (stop_fd_ >= 0) ::close(stop_fd_);
}

config::CKernelConfig& CLauchAntispam::Config() {
    return core_.Config();
}

bool CLauchAntispam::HandOff(int32_t id, CSocketComm* slot, std::shared_ptr<const SessionSettings> settings,
                             bool counted) {
    {
        common::MutexLock lock(job_mu_);
        if (busy_ || !idle_ || quit_ || !slot) return false;
        id_ = id;
        ip_counted_ = counted;
        client_ = slot;
        settings_ = std::move(settings);
        busy_ = true;
    }
    job_cv_.notify_one();
    return true;
}

void CLauchAntispam::Prepare(std::shared_ptr<const SessionSettings> settings) {
    {
        common::MutexLock lock(job_mu_);
        settings_ = std::move(settings);
        prepare_ = true;
        idle_ = false;
    }
    job_cv_.notify_one();
}

bool CLauchAntispam::StopSession(int wait_ms) {
    stopping_ = true;
    if (stop_fd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_fd_, &one, sizeof one);
    }
    {
        common::MutexLock lock(script_mu_);
        if (running_script_) running_script_->Abort();
    }
    {
        common::MutexLock lock(job_mu_);
        quit_ = true;
    }
    job_cv_.notify_all();
    return Stop(wait_ms);
}

void CLauchAntispam::ScriptStarted(script::Interpreter* in) {
    common::MutexLock lock(script_mu_);
    running_script_ = in;
}

void CLauchAntispam::ScriptEnded() {
    common::MutexLock lock(script_mu_);
    running_script_ = nullptr;
}

void CLauchAntispam::Run() {
    while (IsRunning()) {
        bool prepare = false;
        {
            common::MutexLock lock(job_mu_);
            if (!prepare_) idle_ = true;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMaxWaitMs);
            while (!(busy_ || prepare_ || quit_) && job_cv_.wait_until(job_mu_, deadline) != std::cv_status::timeout) {
            }
            if (quit_ || !IsRunning()) {
                if (!busy_) break;  // a connection handed off just now is still told and closed
            }
            if (prepare_) {
                prepare = true;
                prepare_ = false;
            } else if (!busy_) {
                continue;
            }
            idle_ = false;
        }
        if (prepare) {
            RegisterScripts();
            if (host_ && host_->Count() > 0) host_->Event("OnDestroyThis");
            MoveScriptLogs();
            continue;
        }
        Serve();
    }
    idle_ = false;
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
    if (logging::LogWanted(level)) AddLog(level, text, kSrc, function, type, id_);
}

void CLauchAntispam::MoveScriptLogs() {
    if (!host_) return;
    for (auto& s : host_->Scripts()) {
        if (!s->in) continue;
        s->error.clear();
        s->in->MoveTo(*this, id_);
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
            AddLog(1, item.entry.View(), item.file.View(), item.function.View(), "SCRIPT", id_);
    }
    return ok;
}

void CLauchAntispam::Serve() {
    ending_ = false;
    // Known from the start, so that an address the admission counted is removed however the
    // session ends.
    if (client_) client_ip_ = client_->PeerAddressText();
    RegisterScripts();
    if (!CheckScripts()) {
        Send421();  // not silence: the client retries later
        return Finish();
    }
    if (client_ip_.empty()) {  // no client, or its address is 0
        Log(1, "ERROR SOCKET IP is ZERO", kRun, "SYS");
        return Finish();
    }
    int one = 1;
    ::setsockopt(client_->Handle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    checks::CAddressList* relay = core_.RelayList();
    relay_ = relay->Contains(client_ip_, relay->PatternCount() > 0 ? core_.Dns() : nullptr) != 0;
    // Bounded on its own, and not asked again soon for an address without a name: a DNS
    // outage must not hold every greeting.
    std::string names = checks::DnsReverseForSession(*core_.Dns(), client_ip_, kPtrBudgetMs);
    client_host_ = names.substr(0, names.find(';'));
    int32_t id = id_;
    if (host_->Event("OnStartClientConnection", "int", {&id}) != 0 || ending_) return Finish();
    last_activity_ = common::NowSeconds();
    RelayLoop();
    Finish();
}

void CLauchAntispam::Send421() {
    if (client_ && client_->HasHandle()) client_->Send(kStopReply, settings_->select_ms);
}

void CLauchAntispam::RelayLoop() {
    const SessionSettings& cfg = *settings_;
    // buffer_socket_size is the smallest piece: a message moves in pieces of up to kIoChunk, so
    // that it costs a few reads, writes and wake-ups rather than one per kilobyte.
    const size_t recv_size = std::max(static_cast<size_t>(cfg.recv_size), kIoChunk);
    // Kept from one connection to the next: a new connection costs no allocation here.
    if (io_buf_size_ < recv_size) {
        // Not zero-filled: only the pages a read writes become resident, so thousands of idle
        // connections do not each hold the whole buffer in memory.
        io_buf_.reset(new char[recv_size]);
        io_buf_size_ = recv_size;
    }
    char* const buf = io_buf_.get();
    while (!ending_) {
        const bool client_open = client_ && client_->HasHandle();
        const bool mta_open = mta_ && mta_->HasHandle();
        if (!client_open) {
            // The script closed the client: nothing is left to relay.
            End(nullptr);
            break;
        }
        const bool read_client = WantClientBytes(recv_size);
        const bool read_mta = client_queue_.size() < kMaxQueue;

        pollfd fds[3];
        int n = 0, ci = -1, mi = -1;
        fds[n] = {client_->Handle(),
                  static_cast<short>((read_client ? POLLIN : 0) | (client_queue_.empty() ? 0 : POLLOUT)), 0};
        ci = n++;
        if (mta_open) {
            fds[n] = {mta_->Handle(), static_cast<short>((read_mta ? POLLIN : 0) | (mta_queue_.empty() ? 0 : POLLOUT)),
                      0};
            mi = n++;
        }
        if (stop_fd_ >= 0) fds[n++] = {stop_fd_, POLLIN, 0};
        const bool work_ready = CanTakeCommand() || CanFlow() || (close_after_send_ && client_queue_.empty());
        int wait = WaitMs(work_ready);
        int rc = ::poll(fds, static_cast<nfds_t>(n), wait);
        if (rc < 0 && errno != EINTR) {
            End("poll failed");
            break;
        }
        const short kReadable = POLLIN | POLLHUP | POLLERR;
        bool hung_up_unread = false;

        // 1. The MTA's replies.
        if (mi >= 0 && rc > 0 && (fds[mi].revents & kReadable)) {
            if (read_mta || (fds[mi].revents & (POLLHUP | POLLERR))) {
                int got = mta_->RecvSome(buf, static_cast<int>(recv_size));
                if (got < 0) {
                    End("Connection is closed from Friend");
                    break;
                }
                if (got > 0) HandleReply(std::string_view(buf, static_cast<size_t>(got)));
                if (ending_) break;
            }
        }
        // 2. What waits for the client.
        if (!client_queue_.empty() && client_->HasHandle()) {
            int sent = client_->SendSome(client_queue_);
            if (sent < 0) {
                End("Connection is closed from Client");
                break;
            }
            if (static_cast<size_t>(sent) == client_queue_.size()) {
                if (logging::LogWanted(2)) Log(2, "fr->cl : " + client_queue_, kRun, "SYS");  // the whole reply
                client_queue_.clear();
            } else {
                client_queue_.erase(0, static_cast<size_t>(sent));
            }
        }
        // 3. The client's bytes.
        if (rc > 0 && (fds[ci].revents & kReadable) && !close_after_send_) {
            if (read_client) {
                int got = client_->RecvSome(buf, static_cast<int>(recv_size));
                if (got < 0) {
                    End("Connection is closed from Client");
                    break;
                }
                if (got > 0) {
                    ClientBytes(std::string(buf, static_cast<size_t>(got)));
                    if (ending_) break;
                }
            } else if (fds[ci].revents & (POLLHUP | POLLERR)) {
                hung_up_unread = true;
            }
        }
        // 4. The next client command.
        TakeCommand();
        if (ending_) break;
        // 5. The held message, in pieces, once the MTA takes it.
        Flow(recv_size);
        // 6. What waits for the MTA.
        if (!mta_queue_.empty()) {
            if (mta_ && mta_->HasHandle()) {
                int sent = mta_->SendSome(mta_queue_);
                if (sent < 0) {
                    End("Connection is closed from Friend");
                    break;
                }
                mta_queue_.erase(0, static_cast<size_t>(sent));
            } else {
                mta_queue_.clear();  // no MTA to take it
            }
        }
        // 7. A close the script asked for, once the client has its answer.
        if (close_after_send_ && client_queue_.empty()) {
            End(nullptr);
            break;
        }
        // 8. The idle client: idle since its last whole command line, or since the first byte of
        // the line it has not finished. Not while it waits for the MTA's answer.
        const int64_t now = common::NowSeconds();
        const int64_t since = std::max(last_activity_, line_started_);
        if (!relay_ && last_activity_ != 0 && reply_deadline_ == 0 && now - since > cfg.timeout_client) {
            Log(1, "Connection Timeout", kRun, "FIREWALL");
            client_->Send(kTimeoutReply, cfg.select_ms);
            core_.Count("f3fw_timeout", 3);
            host_->Event("OnClientTimeOut");
            End(nullptr);
            break;
        }
        // 8b. The MTA does not answer: every session, relay clients included, ends.
        if (reply_deadline_ != 0 && now > reply_deadline_) {
            Log(1, "MTA reply timeout, close connection", kRun, "FIREWALL");
            client_->Send(kMtaTimeout, cfg.select_ms);
            End(nullptr);
            break;
        }
        // 9. The kernel stops.
        if (!IsRunning() || stopping_) {
            Send421();
            End(nullptr);
            break;
        }
        if (hung_up_unread) ::usleep(1000);  // the peer left while its side is backed up
    }
}

int CLauchAntispam::WaitMs(bool work_ready) const {
    if (work_ready) return 0;
    const int64_t now = common::NowSeconds();
    int64_t wake = now + kMaxWaitMs / 1000;
    // The checks compare whole seconds ("more than N seconds"): wake in the second after.
    if (!relay_ && last_activity_ != 0 && reply_deadline_ == 0)
        wake = std::min(wake, std::max(last_activity_, line_started_) + settings_->timeout_client + 1);
    if (reply_deadline_ != 0) wake = std::min(wake, reply_deadline_ + 1);
    // Without a stop descriptor (none could be made: out of descriptors) a stop is seen by
    // looking often.
    const int64_t most = stop_fd_ >= 0 ? kMaxWaitMs : 100;
    return static_cast<int>(std::clamp<int64_t>((wake - now) * 1000, 0, most));
}

bool CLauchAntispam::WantClientBytes(size_t recv_size) const {
    // Client bytes are read unless the side they go to is backed up.
    if (close_after_send_) return false;
    if (flowing_ && held_.size() >= recv_size) return false;
    return !(mode_ == kCommand && !discarding_ && pending_.size() >= kMaxLine &&
             pending_.find('\n') != std::string::npos);
}

void CLauchAntispam::ClientBytes(std::string data) {
    const int64_t now = common::NowSeconds();
    if (discarding_ || (mode_ == kData && !end_seen_)) {
        // Message data keeps a client alive: a large message may come slowly.
        last_activity_ = now;
        if (discarding_)
            DiscardData(std::move(data));
        else
            HandleData(std::move(data));
    } else {
        // Command bytes count only as whole lines, so a client dripping a line byte by byte
        // is timed out from the line's first byte.
        const bool line_end = data.find('\n') != std::string::npos;
        pending_ += data;
        if (line_end) {
            last_activity_ = now;
            line_started_ = pending_.back() == '\n' ? 0 : now;
        } else if (line_started_ == 0) {
            line_started_ = now;
        }
    }
    if (ending_) return;
    if (pending_.size() > kMaxLine && pending_.find('\n') == std::string::npos) {
        Log(1, "Client line too long, close connection", kRun, "FIREWALL");
        if (client_) client_->Send(kLineTooLong, settings_->select_ms);
        End(nullptr);
    }
}

bool CLauchAntispam::CanTakeCommand() const {
    return mode_ == kCommand && !discarding_ && ready_ && !close_after_send_ && mta_queue_.empty() &&
           pending_.find('\n') != std::string::npos;
}

bool CLauchAntispam::CanFlow() const {
    return flowing_ && data_open_ && mta_queue_.empty();
}

void CLauchAntispam::TakeCommand() {
    if (!CanTakeCommand()) return;
    size_t nl = pending_.find('\n');
    ready_ = false;
    command_.assign(pending_, 0, nl + 1);
    pending_.erase(0, nl + 1);
    if (smtp::IsAmbiguousLine(command_)) {
        // A NUL or a bare CR: the MTA could read another command than the one the policy saw.
        Log(2, "fr<-cl : command line with a NUL or a bare CR refused", kRun, "SYS");
        command_.clear();
        SendToClient(kSyntaxError);
        CountError();
        return;
    }
    // A bare LF ends a command line as CR LF does; the MTA gets CR LF.
    command_.resize(command_.size() - (command_.size() >= 2 && command_[command_.size() - 2] == '\r' ? 2 : 1));
    command_ += "\r\n";
    HandleCommand();
}

void CLauchAntispam::Flow(size_t recv_size) {
    if (!CanFlow()) return;
    size_t take = std::min(held_.size(), recv_size);
    if (take == held_.size()) {
        mta_queue_.swap(held_);  // all of it: no copy
        held_.clear();
    } else {
        mta_queue_.assign(held_, 0, take);
        held_.erase(0, take);
    }
    if (take > 0) header_sent_ = true;
    if (held_.empty() && end_seen_) EndData();
    if (!mta_queue_.empty()) last_activity_ = common::NowSeconds();
}

void CLauchAntispam::HandleCommand() {
    std::string line = WithoutLineEnd(command_);
    if (host_->Event("OnAllClientData", "string", {line.c_str()}) != 0) return End(nullptr);
    if (ending_) return;
    if (logging::LogWanted(2)) Log(2, "fr<-cl : " + line, kRun, "SYS");
    if (smtp::IsStartTls(line)) {
        // The relay reads SMTP lines: a TLS stream through it would be taken for commands.
        Log(2, "STARTTLS answered 454: TLS is not available through the relay", kRun, "SYS");
        command_.clear();
        SendToClient(kNoTls);
        return;
    }
    smtp::Command c = smtp::RecognizeCommand(line, relay_);
    switch (c.kind) {
        case smtp::CommandKind::Helo:
            helo_ = c.arg;
            host_->Event("OnHelo", "string,string", {c.arg.c_str(), c.word.c_str()});
            break;
        case smtp::CommandKind::MailFrom:
            mail_from_ = c.arg;
            host_->Event("OnMailFrom", "string", {c.arg.c_str()});
            break;
        case smtp::CommandKind::RcptTo: host_->Event("OnRcptTo", "string", {c.arg.c_str()}); break;
        case smtp::CommandKind::RcptToError: host_->Event("OnRcptToError", "string", {c.arg.c_str()}); break;
        case smtp::CommandKind::Noop: host_->Event("OnCommandNOOP"); break;
        case smtp::CommandKind::Rset: host_->Event("OnCommandRSET"); break;
        case smtp::CommandKind::None: break;
    }
    if (ending_) return;
    std::optional<smtp::DataCommand> d = smtp::RecognizeData(line);
    if (d && d->bdat && !d->valid) {
        command_.clear();
        return SendToClient(kBdatSyntax);
    }
    if (d && d->bdat) return HandleBdat(*d);
    if (bdat_tx_) return BetweenChunks(c.kind);
    bdat_failed_ = false;
    if (d) {
        std::string data_line = command_;
        std::string pipelined;
        pipelined.swap(pending_);
        const bool open = OpenMessage(smtp::DataNormalizer::Kind::Data);
        if (ending_) return;
        if (!open) {
            // The script refused the transaction itself.
            LeaveData(false);
            pending_.insert(0, pipelined);
        } else if (!pipelined.empty()) {
            HandleData(std::move(pipelined));
            if (ending_) return;
        }
        if (command_.empty()) data_line.clear();  // the script dropped the command
        command_ = data_line;
        mta_data_ = !command_.empty() && mode_ == kData;
    }
    mta_queue_ = command_;
    if (!mta_queue_.empty()) ReplyDue(settings_->mta_timeout_cmd);
}

bool CLauchAntispam::OpenMessage(smtp::DataNormalizer::Kind kind) {
    mode_ = kData;
    norm_.Reset(kind);
    end_seen_ = false;
    data_open_ = false;
    data_reply_due_ = true;
    int limit = hold_limit_;
    host_->Event("OnCommandData", "int", {&limit});
    return !ending_ && mode_ == kData;
}

void CLauchAntispam::HandleBdat(const smtp::DataCommand& d) {
    std::string pipelined;
    pipelined.swap(pending_);
    bdat_ = true;
    bdat_left_ = d.size;
    bdat_last_ = d.last;
    chunk_size_ = d.size;
    if (bdat_failed_) {
        // An earlier chunk of this transaction failed: this one is not taken either.
        command_.clear();
        SendToClient(kBdatFailed);
        LeaveData(true);
        return DiscardData(std::move(pipelined));
    }
    mode_ = kData;
    std::string data_line = "DATA\r\n";
    if (!bdat_tx_) {
        // The first chunk opens the transaction. CHUNKING is never offered to the client (see
        // RemoveExtensions), and the chunks go to the MTA as one DATA transaction, so the MTA
        // never has to read BDAT byte counts that the policy's rewrites would change.
        bdat_tx_ = true;
        const bool open = OpenMessage(smtp::DataNormalizer::Kind::Bdat);
        if (ending_) return;
        if (!open) {
            // The script refused the transaction: the chunk's bytes are read and dropped.
            bdat_failed_ = !d.last;
            LeaveData(true);
            return DiscardData(std::move(pipelined));
        }
    } else {
        data_line.clear();  // the MTA reads the transaction's data already
    }
    if (!pipelined.empty() || bdat_left_ == 0) {
        HandleData(std::move(pipelined));
        if (ending_) return;
    }
    if (command_.empty()) data_line.clear();  // the script dropped the command
    command_ = data_line;
    mta_queue_ = command_;
    if (!mta_queue_.empty()) {
        mta_data_ = bdat_tx_;
        ReplyDue(settings_->mta_timeout_cmd);
    }
}

void CLauchAntispam::BetweenChunks(smtp::CommandKind kind) {
    command_.clear();
    if (kind == smtp::CommandKind::Noop) return SendToClient("250 2.0.0 OK\r\n");
    // The MTA reads this transaction's data, and only its final line would stop that: no other
    // command can reach it now.
    SendToClient(kBdatAborted);
    const bool abort = mta_data_;
    LeaveData(false);
    if (abort) AbortMtaData();
    close_after_send_ = true;
}

void CLauchAntispam::ChunkDone() {
    mode_ = kCommand;
    bdat_ = false;
    const std::string ack = "250 2.0.0 " + std::to_string(chunk_size_) + " octets received\r\n";
    if (data_reply_due_)
        chunk_ack_ = ack;  // the MTA may still refuse the transaction
    else
        SendToClient(ack);
}

void CLauchAntispam::LeaveData(bool drop_rest) {
    mode_ = kCommand;
    flowing_ = false;
    end_seen_ = false;
    data_open_ = false;
    data_reply_due_ = false;
    mta_data_ = false;
    header_sent_ = false;
    bdat_tx_ = false;
    chunk_ack_.clear();
    held_.clear();
    hold_limit_ = kHoldLimit;
    // While the rest is dropped, the end is still looked for where the last piece left off.
    discarding_ = drop_rest;
    if (!drop_rest) {
        bdat_ = false;
        bdat_left_ = 0;
        norm_.Reset(smtp::DataNormalizer::Kind::Data);
    }
}

void CLauchAntispam::HandleData(std::string data) {
    std::string piece;  // what the MTA will get of these bytes
    size_t used = data.size();
    bool chunk_end = false;
    if (bdat_) {
        used = TakeChunkBytes(data.size());
        norm_.Feed(std::string_view(data).substr(0, used), &piece);
        chunk_end = bdat_left_ == 0;
        if (chunk_end && bdat_last_) {
            norm_.Finish(&piece);
            end_seen_ = true;
        }
    } else {
        size_t end = norm_.Feed(data, &piece);
        if (end != std::string::npos) {
            used = end;
            end_seen_ = true;
        }
    }
    if (used < data.size()) pending_.append(data, used, std::string::npos);  // commands after the data
    held_ += piece;
    int end_flag = end_seen_ ? 1 : 0;
    host_->Event("OnAllDataMessage", "string,int", {piece.c_str(), &end_flag});
    if (ending_) return;
    if (mode_ != kData) return Rejected();
    // The verdict comes at the message's end or once the hold limit is held.
    if (!flowing_ && (end_seen_ || held_.size() >= static_cast<size_t>(std::max(hold_limit_, 0)))) {
        Analyse();
        if (ending_ || mode_ != kData) return;
    }
    if (chunk_end && !bdat_last_) ChunkDone();
}

void CLauchAntispam::Analyse() {
    mail_.Reset();
    mail_.AddStreaming(std::string_view(held_).substr(0, kAnalysed));
    mail_.Parse();
    host_->Event("OnEmailMessagesToAnalyzer");
    if (ending_) return;
    host_->Event("OnDoneAntispamFilter");
    if (ending_) return;
    flowing_ = true;
    if (mode_ != kData) Rejected();
}

void CLauchAntispam::Rejected() {
    // The script rejected the message (DropBufferToMTA): none of it goes on, and the rest of it,
    // or of its chunk, is dropped; later chunks of its transaction are refused.
    const bool abort = mta_data_;
    if (bdat_tx_ && !end_seen_) bdat_failed_ = true;
    LeaveData(RestToCome());
    if (abort) AbortMtaData();
}

void CLauchAntispam::AbortMtaData() {
    // The MTA reads this message's data and only a final line would end it, which would deliver
    // it. An MTA never delivers a message whose connection closed before its end, so the MTA
    // connection closes, and the session ends once the client has its answer: no command of the
    // client could reach the MTA any more.
    Log(2, "message refused while the MTA reads it: MTA connection closed, session ends", kRun, "SYS");
    CloseMTAConnection();
    mta_queue_.clear();
    reply_deadline_ = 0;
    close_after_send_ = true;
}

void CLauchAntispam::EndData() {
    LeaveData(false);
    // The next command waits for the MTA's answer to the message.
    ready_ = false;
    ReplyDue(settings_->mta_timeout_data);
}

void CLauchAntispam::ReplyDue(int seconds) {
    reply_deadline_ = common::NowSeconds() + seconds;
}

size_t CLauchAntispam::TakeChunkBytes(size_t available) {
    const size_t take = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(available), bdat_left_));
    bdat_left_ -= static_cast<int64_t>(take);
    return take;
}

void CLauchAntispam::DiscardData(std::string data) {
    size_t end;
    if (bdat_) {
        end = TakeChunkBytes(data.size());
        if (bdat_left_ > 0) return;
    } else {
        end = norm_.Feed(data, nullptr);
        if (end == std::string::npos) return;
    }
    LeaveData(false);
    pending_.append(data, end, std::string::npos);
}

void CLauchAntispam::DataRefused() {
    // A client that sent its message without waiting for 354 must not see its lines taken as
    // commands; the rest of a refused chunk is dropped, and so are the transaction's later ones.
    if (bdat_tx_ && !end_seen_) bdat_failed_ = true;
    const bool drop = mode_ == kData && (bdat_ ? bdat_left_ > 0 : !held_.empty() && !end_seen_);
    LeaveData(drop);
}

bool CLauchAntispam::CountError() {
    ++error_count_;
    int count = error_count_;
    host_->Event("OverWriteCommandError", "int", {&count});
    if (ending_) return false;
    if (error_count_ > settings_->error_max) {
        AddLog(1, "max errors exceeded... close connection !!!", kSrc, "CMorvaneCore::Reply", "FIREWALL", id_);
        core_.Count("f3fw_max_errore", 3);
        End(nullptr);
        return false;
    }
    return true;
}

void CLauchAntispam::HandleReply(std::string_view bytes) {
    mta_partial_.append(bytes);
    // Whole replies only: an EHLO reply is edited as a whole, and the line removed from it may
    // be its last.
    size_t take = smtp::CompleteReplies(mta_partial_);
    if (take == 0) {
        if (mta_partial_.size() < kMaxLine) return;  // wait for the reply's end
        size_t last = mta_partial_.rfind('\n');
        take = last == std::string::npos ? mta_partial_.size() : last + 1;
    }
    std::string reply = mta_partial_.substr(0, take);
    mta_partial_.erase(0, take);
    HandleReplyLines(std::move(reply));
}

void CLauchAntispam::HandleReplyLines(std::string reply) {
    reply = smtp::EditReply(std::move(reply), &ext_insert_, &ext_drop_);
    std::string removed;
    reply = smtp::RemoveExtensions(std::move(reply), &removed);
    if (!removed.empty()) Log(2, "EHLO reply without " + removed + ": not available through the relay", kRun, "SYS");
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
            if (mode_ == kData && !data_reply_due_) DataRefused();
        }
        if (smtp::IsAuthenticated(line)) {
            relay_ = true;
            Log(1, "authenticated !", kRun, "SYS");
            host_->Event("OnAuthenticatedToMTA");
            if (ending_) return;
        }
        if (final_line) {
            ready_ = true;
            reply_deadline_ = 0;
            last_activity_ = common::NowSeconds();  // the client's turn starts now
            if (!data_reply_due_ && go_ahead) {
                // The MTA took a line for DATA that the relay did not: it now reads the client's
                // next lines as a message no policy saw. Only closing its connection stops it.
                Log(1, "MTA answered 354 to a command that was not DATA: MTA connection closed", kRun, "SYS");
                client_queue_ += to_client;
                SendToClient(kProtocolError);
                return AbortMtaData();
            }
            if (data_reply_due_) {
                data_reply_due_ = false;
                if (go_ahead) {
                    data_open_ = true;
                    if (bdat_tx_) {
                        // A BDAT client waits for its chunk's reply, not for 354.
                        pass = false;
                        to_client += chunk_ack_;
                        chunk_ack_.clear();
                    }
                } else {
                    DataRefused();
                }
            }
        }
        if (pass) to_client.append(line);
    }
    if (to_client.empty()) return;
    client_queue_ += to_client;
    if (host_->Event("OnReplyMTA", "string", {to_client.c_str()}) != 0) End(nullptr);
}

void CLauchAntispam::End(const char* why, int level) {
    if (why) Log(level, why, kRun, "SYS");
    ending_ = true;
}

void CLauchAntispam::Finish() {
    if (host_ && host_->Count() > 0) host_->Event("OnDestroyThis");
    MoveScriptLogs();
    if (client_) {
        client_->Close();
        client_->SetFree(true);
    }
    if (mta_) mta_->Close();
    if (ip_counted_ && !client_ip_.empty() && core_.SessionCounter()->Remove(client_ip_))
        Log(1, "Remove Session ip:" + client_ip_, kRun, "SYS");
    const int32_t old_id = id_;
    Reset();
    if (logging::LogWanted(4)) {
        AddLog(4, "Rest Variables", kSrc, kRun, "DEBUG", old_id);
        AddLog(4, "Exit Child Thread", kSrc, kRun, "DEBUG", old_id);
    }
    common::MutexLock lock(job_mu_);
    idle_since_ = common::ProcessMillis();
    busy_ = false;
}

void CLauchAntispam::Reset() {
    id_ = 0;
    ip_counted_ = false;
    ready_ = false;
    error_count_ = 0;
    relay_ = false;
    last_activity_ = 0;
    line_started_ = 0;
    property_bits_ = 0;
    close_after_send_ = false;
    client_host_.clear();
    client_ip_.clear();
    mta_host_.clear();
    mta_name_.clear();
    ext_insert_.clear();
    ext_drop_.clear();
    pending_.clear();
    command_.clear();
    helo_.clear();
    mail_from_.clear();
    mta_partial_.clear();
    client_queue_.clear();
    mta_queue_.clear();
    LeaveData(false);
    bdat_failed_ = false;
    reply_deadline_ = 0;
    mail_.Reset();
    mta_.reset();
    client_ = nullptr;
    // The script host stays: its compiled scripts start afresh at the next connection.
}

// ---------------------------------------------------------------------------------------------
// What the scripts do to the connection.

void CLauchAntispam::SendToMTA(std::string_view text) {
    if (mta_ && mta_->HasHandle()) mta_queue_ += text;
}

void CLauchAntispam::SendToClient(std::string_view text) {
    if (!client_ || !client_->HasHandle()) return;
    client_queue_ += text;
    ready_ = true;
}

void CLauchAntispam::DropBufferToMTA() {
    command_.clear();
    mta_queue_.clear();
    mode_ = kCommand;
}

void CLauchAntispam::DropBufferToClient() {
    client_queue_.clear();
    mta_partial_.clear();  // the rest of a reply whose start was dropped would reach the client alone
}

void CLauchAntispam::CloseClientConnection() {
    if (client_) client_->Close();
}

void CLauchAntispam::CloseMTAConnection() {
    if (mta_) mta_->Close();
}

void CLauchAntispam::CloseAllConnection() {
    CloseClientConnection();
    CloseMTAConnection();
}

void CLauchAntispam::ExitSession() {
    close_after_send_ = true;
    CloseAllConnection();
    ending_ = true;
}

void CLauchAntispam::RegisterSessionIp(const std::string& ip) {
    if (ip == client_ip_) {
        if (ip_counted_) return;
        ip_counted_ = true;
    }
    core_.SessionCounter()->Add(ip);
}

std::string CLauchAntispam::MtaAddress() const {
    if (!mta_ || !mta_->HasHandle()) return std::string();
    return mta_->PeerAddressText();
}

int CLauchAntispam::ConnectToDefaultMTA() {
    CMtaList* list = core_.MtaList();
    CMtaList::Cursor cursor = list->Begin();
    while (std::optional<MtaServer> server = list->Next(cursor)) {
        const std::string port = std::to_string(server->port);
        if (ConnectToMTA(server->host, port)) {
            AddLog(1, common::FormatText("O.K. Connect To: %s port: %s", server->host.c_str(), port.c_str()), kSrc,
                   kConnect, "SYS", id_);
            mta_host_ = server->host;
            mta_name_ = server->name;
            core_.Count("f2cooperative_[" + server->host + "]", 2);
            return 1;
        }
        AddLog(1, common::FormatText("FAILED to Connect a: %s port: %s", server->host.c_str(), port.c_str()), kSrc,
               kConnect, "SYS", id_);
        core_.Count("f2cooperative_fail_[" + server->host + "]", 2);
    }
    return 0;
}

int CLauchAntispam::ConnectToMTA(const std::string& host, const std::string& port) {
    if (!mta_) mta_ = std::make_unique<CSocketComm>();
    mta_partial_.clear();
    if (!mta_->Connect(host, port, settings_ ? settings_->adapter_ip : std::string(), kConnectTimeoutMs)) return 0;
    ReplyDue(settings_ ? settings_->mta_timeout_cmd : 300);  // its greeting
    return 1;
}

bool CLauchAntispam::CanRewriteHeader(const char* function) {
    if ((mode_ == kData || bdat_tx_) && !header_sent_) return true;
    Log(2, std::string(function) + ": no message header held (not in a message, or already sent), nothing rewritten",
        kRun, "SCRIPT");
    return false;
}

void CLauchAntispam::ModifyHeaderSubject(std::string_view tag) {
    if (!CanRewriteHeader("ModifyHeaderSubject")) return;
    held_ = smtp::ModifyHeaderSubject(std::move(held_), tag, end_seen_);
}

void CLauchAntispam::WriteHeaderMessage(std::string_view line) {
    if (!CanRewriteHeader("WriteHeaderMessage")) return;
    held_ = smtp::WriteHeaderMessage(std::move(held_), line);
}

}  // namespace core
