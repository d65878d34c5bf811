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

#include "checks/Dns.h"
#include "common/Clock.h"
#include "common/String.h"
#include "core/MorvaneCore.h"
#include "core/SmtpText.h"
#include "service/KernelConfig.h"

namespace core {

namespace {

constexpr const char* kSrc = "LauchAntispam";
constexpr const char* kRun = "CLauchAntispam::Run";
constexpr const char* kConnect = "CMorvaneCore::Run";
constexpr const char* kStopReply = "421 Service not available, closing transmission channel\r\n";
constexpr const char* kTimeoutReply = "451 Connection timeout, try later\r\n";
constexpr const char* kLineTooLong = "500 5.5.6 Line too long\r\n";

std::string WithoutLineEnd(std::string_view line) {
    std::string out(line);
    out.erase(std::remove_if(out.begin(), out.end(), [](char c) { return c == '\r' || c == '\n'; }), out.end());
    return out;
}

}  // namespace

CLauchAntispam::CLauchAntispam(CMorvaneCore& core, bool reuse) : core_(core), reuse_(reuse) {
    // A new session waits for its first job: it may be handed one before its thread runs.
    idle_ = true;
    idle_since_ = common::ProcessMillis();
}

CLauchAntispam::~CLauchAntispam() {
    StopSession();
    Join();  // nothing the thread uses may go away under it
}

service::CKernelConfig& CLauchAntispam::Config() {
    return core_.Config();
}

bool CLauchAntispam::HandOff(int32_t id, CSocketComm* slot, std::shared_ptr<const SessionSettings> settings) {
    {
        std::lock_guard<std::mutex> lock(job_mu_);
        if (busy_ || !idle_ || quit_ || !slot) return false;
        id_ = id;
        client_ = slot;
        settings_ = std::move(settings);
        busy_ = true;
    }
    job_cv_.notify_one();
    return true;
}

void CLauchAntispam::Prepare(std::shared_ptr<const SessionSettings> settings) {
    {
        std::lock_guard<std::mutex> lock(job_mu_);
        settings_ = std::move(settings);
        prepare_ = true;
        idle_ = false;
    }
    job_cv_.notify_one();
}

bool CLauchAntispam::StopSession(int wait_ms) {
    stopping_ = true;
    {
        std::lock_guard<std::mutex> lock(script_mu_);
        if (running_script_) running_script_->Abort();
    }
    {
        std::lock_guard<std::mutex> lock(job_mu_);
        quit_ = true;
    }
    job_cv_.notify_all();
    return Stop(wait_ms);
}

void CLauchAntispam::ScriptStarted(script::Interpreter* in) {
    std::lock_guard<std::mutex> lock(script_mu_);
    running_script_ = in;
}

void CLauchAntispam::ScriptEnded() {
    std::lock_guard<std::mutex> lock(script_mu_);
    running_script_ = nullptr;
}

void CLauchAntispam::Run() {
    while (IsRunning()) {
        bool prepare = false;
        {
            std::unique_lock<std::mutex> lock(job_mu_);
            if (!prepare_) idle_ = true;
            job_cv_.wait_for(lock, std::chrono::milliseconds(kMaxWaitMs),
                             [this] { return busy_ || prepare_ || quit_; });
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
    host_->Register(settings_->scripts, settings_->script_dir, reuse_);
}

void CLauchAntispam::Log(int level, const std::string& text, const char* function, const char* type) {
    AddLog(level, text, kSrc, function, type, id_);
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
        Log(1, common::FormatText("-- ERROR SCRIPT: %s --", s->path.c_str()), kRun, "SCRIPT");
        // The diagnostics go with the line above, so an operator sees why at the same level.
        if (s->in)
            for (service::LogQueueItem& item : s->in->TakeAll())
                AddLog(1, item.entry.View(), item.file.View(), item.function.View(), "SCRIPT", id_);
        s->error.clear();
        if (s->IsCoreScript()) ok = false;
    }
    return ok;
}

void CLauchAntispam::Serve() {
    ending_ = false;
    RegisterScripts();
    if (!CheckScripts()) return Finish();
    if (!client_ || client_->PeerAddress() == 0) {
        Log(1, "ERROR SOCKET IP is ZERO", kRun, "SYS");
        return Finish();
    }
    client_ip_ = client_->PeerAddressText();
    int one = 1;
    ::setsockopt(client_->Handle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    checks::CAddressList* relay = core_.RelayList();
    relay_ = relay->Contains(client_ip_, relay->PatternCount() > 0 ? core_.Dns() : nullptr) != 0;
    std::string names = checks::DnsReverse(*core_.Dns(), client_ip_);
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
    const size_t recv_size = static_cast<size_t>(cfg.recv_size);
    std::vector<char> buf(recv_size);
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

        pollfd fds[2];
        int n = 0, ci = -1, mi = -1;
        fds[n] = {client_->Handle(),
                  static_cast<short>((read_client ? POLLIN : 0) | (client_queue_.empty() ? 0 : POLLOUT)), 0};
        ci = n++;
        if (mta_open) {
            fds[n] = {mta_->Handle(), static_cast<short>((read_mta ? POLLIN : 0) | (mta_queue_.empty() ? 0 : POLLOUT)),
                      0};
            mi = n++;
        }
        const bool work_ready = CanTakeCommand() || CanFlow() || (close_after_send_ && client_queue_.empty());
        int wait = work_ready ? 0 : kMaxWaitMs;
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
                int got = mta_->RecvSome(buf.data(), static_cast<int>(recv_size));
                if (got < 0) {
                    End("Connection is closed from Friend");
                    break;
                }
                if (got > 0) HandleReply(std::string_view(buf.data(), static_cast<size_t>(got)));
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
                Log(2, "fr->cl : " + client_queue_, kRun, "SYS");
                client_queue_.clear();
            } else {
                client_queue_.erase(0, static_cast<size_t>(sent));
            }
        }
        // 3. The client's bytes.
        if (rc > 0 && (fds[ci].revents & kReadable) && !close_after_send_) {
            if (read_client) {
                int got = client_->RecvSome(buf.data(), static_cast<int>(recv_size));
                if (got < 0) {
                    End("Connection is closed from Client");
                    break;
                }
                if (got > 0) {
                    ClientBytes(std::string(buf.data(), static_cast<size_t>(got)));
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
        // 8. The idle client.
        const int64_t now = common::NowSeconds();
        if (!relay_ && last_activity_ != 0 && now - last_activity_ > cfg.timeout_client) {
            Log(1, "Connection Timeout", kRun, "FIREWALL");
            client_->Send(kTimeoutReply, cfg.select_ms);
            core_.Count("f3fw_timeout", 3);
            host_->Event("OnClientTimeOut");
            End(nullptr);
            break;
        }
        // 9. The kernel stops.
        if (!IsRunning()) {
            Send421();
            End(nullptr);
            break;
        }
        if (hung_up_unread) ::usleep(1000);  // the peer left while its side is backed up
    }
}

bool CLauchAntispam::WantClientBytes(size_t recv_size) const {
    // Client bytes are read unless the side they go to is backed up.
    if (close_after_send_) return false;
    if (flowing_ && held_.size() >= recv_size) return false;
    return !(mode_ == kCommand && !discarding_ && pending_.size() >= kMaxLine &&
             pending_.find('\n') != std::string::npos);
}

void CLauchAntispam::ClientBytes(std::string data) {
    if (discarding_)
        DiscardData(std::move(data));
    else if (mode_ == kData && !end_seen_)
        HandleData(std::move(data));
    else
        pending_ += data;
    if (ending_) return;
    last_activity_ = common::NowSeconds();
    if (pending_.size() > kMaxLine && pending_.find('\n') == std::string::npos) {
        Log(1, "Client line too long, close connection", kRun, "FIREWALL");
        if (client_) client_->Send(kLineTooLong, settings_->select_ms);
        End(nullptr);
    }
}

bool CLauchAntispam::CanTakeCommand() const {
    return mode_ == kCommand && !discarding_ && ready_ && mta_queue_.empty() &&
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
    HandleCommand();
}

void CLauchAntispam::Flow(size_t recv_size) {
    if (!CanFlow()) return;
    size_t take = std::min(held_.size(), recv_size);
    mta_queue_.assign(held_, 0, take);
    held_.erase(0, take);
    if (held_.empty() && end_seen_) EndData();
    if (!mta_queue_.empty()) last_activity_ = common::NowSeconds();
}

void CLauchAntispam::HandleCommand() {
    std::string line = WithoutLineEnd(command_);
    if (host_->Event("OnAllClientData", "string", {line.c_str()}) != 0) return End(nullptr);
    if (ending_) return;
    Log(2, "fr<-cl : " + line, kRun, "SYS");
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
        case smtp::CommandKind::RcptTo:
            host_->Event("OnRcptTo", "string", {c.arg.c_str()});
            break;
        case smtp::CommandKind::RcptToError:
            host_->Event("OnRcptToError", "string", {c.arg.c_str()});
            break;
        case smtp::CommandKind::Noop:
            host_->Event("OnCommandNOOP");
            break;
        case smtp::CommandKind::Rset:
            host_->Event("OnCommandRSET");
            break;
        case smtp::CommandKind::None:
            break;
    }
    if (ending_) return;
    if (std::optional<smtp::DataCommand> d = smtp::RecognizeData(line)) {
        std::string data_line = command_;
        std::string pipelined;
        pipelined.swap(pending_);
        bdat_ = d->bdat;
        bdat_left_ = d->size;
        if (d->bdat && d->size < hold_limit_) hold_limit_ = static_cast<int>(d->size) - 1;
        mode_ = kData;
        dot_.Reset();
        end_seen_ = false;
        data_open_ = d->bdat;  // BDAT has no intermediate reply
        data_reply_due_ = !d->bdat;
        int limit = hold_limit_;
        host_->Event("OnCommandData", "int", {&limit});
        if (ending_) return;
        if (mode_ != kData) {
            // The script refused the transaction itself.
            LeaveData(false);
            pending_.insert(0, pipelined);
        } else if (!pipelined.empty() || (bdat_ && bdat_left_ == 0)) {
            HandleData(std::move(pipelined));
            if (ending_) return;
        }
        if (command_.empty()) data_line.clear();  // the script dropped the command
        command_ = data_line;
    }
    mta_queue_ = command_;
}

size_t CLauchAntispam::DataEnd(std::string_view data) {
    if (!bdat_) return dot_.Scan(data);
    const int64_t take = std::min<int64_t>(static_cast<int64_t>(data.size()), bdat_left_);
    bdat_left_ -= take;
    return bdat_left_ <= 0 ? static_cast<size_t>(take) : std::string::npos;
}

void CLauchAntispam::LeaveData(bool drop_rest) {
    mode_ = kCommand;
    flowing_ = false;
    end_seen_ = false;
    data_open_ = false;
    data_reply_due_ = false;
    held_.clear();
    hold_limit_ = kHoldLimit;
    // While the rest is dropped, the end is still looked for where the last piece left off.
    discarding_ = drop_rest;
    if (!drop_rest) {
        bdat_ = false;
        dot_.Reset();
    }
}

void CLauchAntispam::HandleData(std::string data) {
    size_t keep = data.size();
    size_t end = DataEnd(data);
    if (end != std::string::npos) {
        keep = end;
        end_seen_ = true;
    }
    if (keep < data.size()) {
        pending_.append(data, keep, std::string::npos);  // commands pipelined after the message
        data.resize(keep);
    }
    held_ += data;
    int end_flag = end_seen_ ? 1 : 0;
    host_->Event("OnAllDataMessage", "string,int", {data.c_str(), &end_flag});
    if (ending_) return;
    if (!end_seen_ && held_.size() < static_cast<size_t>(std::max(hold_limit_, 0))) return;
    if (!flowing_) Analyse();
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
    // The script rejected the message: none of it goes on; the rest of it is dropped.
    if (mode_ == kCommand) LeaveData(!end_seen_);
}

void CLauchAntispam::EndData() {
    LeaveData(false);
    // The next command waits for the MTA's answer to the message.
    ready_ = false;
}

void CLauchAntispam::DiscardData(std::string data) {
    size_t end = DataEnd(data);
    if (end == std::string::npos) return;
    LeaveData(false);
    pending_.append(data, end, std::string::npos);
}

void CLauchAntispam::DataRefused() {
    // A client that sent its message without waiting for 354 must not see its lines taken
    // as commands.
    LeaveData(!held_.empty() && !end_seen_);
}

void CLauchAntispam::HandleReply(std::string_view bytes) {
    mta_partial_.append(bytes);
    size_t last = mta_partial_.rfind('\n');
    if (last == std::string::npos && mta_partial_.size() < kMaxLine) return;  // wait for the line's end
    const size_t take = last == std::string::npos ? mta_partial_.size() : last + 1;
    std::string reply = mta_partial_.substr(0, take);
    mta_partial_.erase(0, take);
    HandleReplyLines(std::move(reply));
}

void CLauchAntispam::HandleReplyLines(std::string reply) {
    reply = smtp::EditReply(std::move(reply), &ext_insert_, &ext_drop_);
    size_t start = 0;
    while (start < reply.size()) {
        size_t nl = reply.find('\n', start);
        size_t end = nl == std::string::npos ? reply.size() : nl + 1;
        std::string_view line(reply.data() + start, end - start);
        start = end;
        // The last line of a reply has no "-" after its code: the command is answered.
        const bool final_line = line.size() < 4 || line[3] != '-';
        if (smtp::IsCountedError(line)) {
            ++error_count_;
            int count = error_count_;
            host_->Event("OverWriteCommandError", "int", {&count});
            if (ending_) return;
            if (error_count_ > settings_->error_max) {
                AddLog(1, "max errors exceeded... close connection !!!", kSrc, "CMorvaneCore::Reply", "FIREWALL", id_);
                core_.Count("f3fw_max_errore", 3);
                return End(nullptr);
            }
            if (mode_ == kData) DataRefused();
        }
        if (smtp::IsAuthenticated(line)) {
            relay_ = true;
            Log(1, "authenticated !", kRun, "SYS");
            host_->Event("OnAuthenticatedToMTA");
            if (ending_) return;
        }
        if (final_line) {
            ready_ = true;
            if (data_reply_due_ && mode_ == kData) {
                data_reply_due_ = false;
                if (line.substr(0, 3) == "354")
                    data_open_ = true;
                else
                    DataRefused();
            }
        }
    }
    if (reply.empty()) return;
    client_queue_ += reply;
    if (host_->Event("OnReplyMTA", "string", {reply.c_str()}) != 0) End(nullptr);
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
    if (!client_ip_.empty() && core_.SessionCounter()->Remove(client_ip_))
        Log(1, "Remove Session ip:" + client_ip_, kRun, "SYS");
    const int32_t old_id = id_;
    Reset();
    // A host with a failed script is built anew at the next connection.
    if (host_ && host_->AnyFailed()) host_.reset();
    AddLog(4, "Rest Variables", kSrc, kRun, "DEBUG", old_id);
    AddLog(4, "Exit Child Thread", kSrc, kRun, "DEBUG", old_id);
    std::lock_guard<std::mutex> lock(job_mu_);
    idle_since_ = common::ProcessMillis();
    busy_ = false;
}

void CLauchAntispam::Reset() {
    id_ = 0;
    ready_ = false;
    error_count_ = 0;
    relay_ = false;
    last_activity_ = 0;
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
    bdat_left_ = 0;
    mail_.Reset();
    mta_.reset();
    client_ = nullptr;
    if (!reuse_) host_.reset();
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
    return mta_->Connect(host, port, settings_ ? settings_->adapter_ip : std::string(), kConnectTimeoutMs) ? 1 : 0;
}

void CLauchAntispam::ModifyHeaderSubject(std::string_view tag) {
    held_ = smtp::ModifyHeaderSubject(std::move(held_), tag);
}

void CLauchAntispam::WriteHeaderMessage(std::string_view line) {
    held_ = smtp::WriteHeaderMessage(std::move(held_), line);
}

}  // namespace core
