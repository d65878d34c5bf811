// CLauchAntispam: the message. DATA and BDAT chunks are held (normalised to the DATA form
// the MTA gets) until the scripts' verdict at the message's end or the hold limit, then flow on;
// the held header may still be rewritten until its first byte has gone to the MTA.
#include "core/LauchAntispam.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/Clock.h"
#include "common/String.h"
#include "config/KernelConfig.h"
#include "core/MorvaneCore.h"
#include "core/SmtpText.h"
#include "platform/EventLoop.h"

namespace core {

namespace {

constexpr const char* kRun = "CLauchAntispam::Run";
constexpr const char* kBdatFailed = "503 5.5.1 Earlier chunk failed, send RSET\r\n";
constexpr const char* kBdatAborted = "421 4.3.0 BDAT transaction aborted, closing connection\r\n";

}  // namespace

bool CLauchAntispam::OpenMessage(smtp::DataNormalizer::Kind kind) {
    state_.mode = kData;
    state_.norm.Reset(kind);
    state_.end_seen = false;
    state_.data_open = false;
    state_.data_reply_due = true;
    state_.trace.Command("data");
    int limit = state_.hold_limit;
    host_->Event("OnCommandData", "int", {&limit});
    return !state_.ending && state_.mode == kData;
}

void CLauchAntispam::HandleBdat(const smtp::DataCommand& d) {
    std::string pipelined;
    pipelined.swap(state_.pending);
    state_.bdat = true;
    state_.bdat_left = d.size;
    state_.bdat_last = d.last;
    state_.chunk_size = d.size;
    if (state_.bdat_failed) {
        // An earlier chunk of this transaction failed: this one is not taken either.
        state_.command.clear();
        SendToClient(kBdatFailed);
        LeaveData(true);
        return DiscardData(std::move(pipelined));
    }
    state_.mode = kData;
    std::string data_line = "DATA\r\n";
    if (!state_.bdat_tx) {
        // The first chunk opens the transaction. CHUNKING is never offered to the client (see
        // RemoveExtensions), and the chunks go to the MTA as one DATA transaction, so the MTA
        // never has to read BDAT byte counts that the policy's rewrites would change.
        state_.bdat_tx = true;
        const bool open = OpenMessage(smtp::DataNormalizer::Kind::Bdat);
        if (state_.ending) return;
        if (!open) {
            // The script refused the transaction: the chunk's bytes are read and dropped.
            state_.bdat_failed = !d.last;
            LeaveData(true);
            return DiscardData(std::move(pipelined));
        }
    } else {
        data_line.clear();  // the MTA reads the transaction's data already
    }
    if (!pipelined.empty() || state_.bdat_left == 0) {
        HandleData(std::move(pipelined));
        if (state_.ending) return;
    }
    if (state_.command.empty()) data_line.clear();  // the script dropped the command
    state_.command = data_line;
    state_.mta_queue = state_.command;
    if (!state_.mta_queue.empty()) {
        state_.mta_data = state_.bdat_tx;
        ReplyDue(settings_->mta_timeout_cmd);
    }
}

void CLauchAntispam::BetweenChunks(smtp::CommandKind kind) {
    state_.command.clear();
    if (kind == smtp::CommandKind::Noop) return SendToClient("250 2.0.0 OK\r\n");
    // The MTA reads this transaction's data, and only its final line would stop that: no other
    // command can reach it now.
    SendToClient(kBdatAborted);
    const bool abort = state_.mta_data;
    LeaveData(false);
    if (abort) AbortMtaData();
    state_.close_after_send = true;
}

void CLauchAntispam::ChunkDone() {
    state_.mode = kCommand;
    state_.bdat = false;
    const std::string ack = "250 2.0.0 " + std::to_string(state_.chunk_size) + " octets received\r\n";
    if (state_.data_reply_due)
        state_.chunk_ack = ack;  // the MTA may still refuse the transaction
    else
        SendToClient(ack);
}

void CLauchAntispam::LeaveData(bool drop_rest) {
    state_.mode = kCommand;
    state_.flowing = false;
    state_.end_seen = false;
    state_.data_open = false;
    state_.data_reply_due = false;
    state_.mta_data = false;
    state_.header_sent = false;
    state_.bdat_tx = false;
    state_.chunk_ack.clear();
    state_.held.clear();
    state_.hold_limit = kHoldLimit;
    // While the rest is dropped, the end is still looked for where the last piece left off.
    state_.discarding = drop_rest;
    if (!drop_rest) {
        state_.bdat = false;
        state_.bdat_left = 0;
        state_.norm.Reset(smtp::DataNormalizer::Kind::Data);
    }
}

void CLauchAntispam::HandleData(std::string data) {
    const bool was_end = state_.end_seen;
    std::string piece;  // what the MTA will get of these bytes
    size_t used = data.size();
    bool chunk_end = false;
    if (state_.bdat) {
        used = TakeChunkBytes(data.size());
        state_.norm.Feed(std::string_view(data).substr(0, used), &piece);
        chunk_end = state_.bdat_left == 0;
        if (chunk_end && state_.bdat_last) {
            state_.norm.Finish(&piece);
            state_.end_seen = true;
        }
    } else {
        size_t end = state_.norm.Feed(data, &piece);
        if (end != std::string::npos) {
            used = end;
            state_.end_seen = true;
        }
    }
    if (used < data.size()) state_.pending.append(data, used, std::string::npos);  // commands after the data
    state_.held += piece;
    state_.trace.MessageBytes(used);
    if (state_.end_seen && !was_end) state_.trace.EndOfData();
    int end_flag = state_.end_seen ? 1 : 0;
    host_->Event("OnAllDataMessage", "string,int", {piece.c_str(), &end_flag});
    if (state_.ending) return;
    if (state_.mode != kData) return Rejected();
    // The verdict comes at the message's end or once the hold limit is held.
    if (!state_.flowing &&
        (state_.end_seen || state_.held.size() >= static_cast<size_t>(std::max(state_.hold_limit, 0)))) {
        Analyse();
        if (state_.ending || state_.mode != kData) return;
    }
    if (chunk_end && !state_.bdat_last) ChunkDone();
}

std::string CLauchAntispam::HeldMessage() const {
    return state_.end_seen ? smtp::UnstuffedMessage(state_.held) : state_.held;
}

void CLauchAntispam::Analyse() {
    state_.auth.reset();
    mail_.Reset();
    mail_.AddStreaming(std::string_view(state_.held).substr(0, kAnalysed));
    mail_.Parse();
    state_.trace.MessageStart(std::string_view(state_.held).substr(0, kAnalysed));
    host_->Event("OnEmailMessagesToAnalyzer");
    if (state_.ending) return;
    host_->Event("OnDoneAntispamFilter");
    if (state_.ending) return;
    state_.flowing = true;
    if (state_.mode != kData) Rejected();
}

void CLauchAntispam::Rejected() {
    // The script rejected the message (DropBufferToMTA): none of it goes on, and the rest of it,
    // or of its chunk, is dropped; later chunks of its transaction are refused.
    const bool abort = state_.mta_data;
    if (state_.bdat_tx && !state_.end_seen) state_.bdat_failed = true;
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
    state_.mta_queue.clear();
    state_.reply_deadline = 0;
    state_.close_after_send = !state_.keep_client;
    state_.mta_abandoned = state_.keep_client;
}

void CLauchAntispam::EndData() {
    LeaveData(false);
    // The next command waits for the MTA's answer to the message.
    state_.ready = false;
    ReplyDue(settings_->mta_timeout_data);
}

void CLauchAntispam::ReplyDue(int seconds) {
    state_.reply_deadline = common::SteadySeconds() + seconds;
}

size_t CLauchAntispam::TakeChunkBytes(size_t available) {
    const size_t take = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(available), state_.bdat_left));
    state_.bdat_left -= static_cast<int64_t>(take);
    return take;
}

void CLauchAntispam::DiscardData(std::string data) {
    size_t end;
    if (state_.bdat) {
        end = TakeChunkBytes(data.size());
        if (state_.bdat_left > 0) return;
    } else {
        end = state_.norm.Feed(data, nullptr);
        if (end == std::string::npos) return;
    }
    LeaveData(false);
    state_.pending.append(data, end, std::string::npos);
}

void CLauchAntispam::DataRefused() {
    // A client that sent its message without waiting for 354 must not see its lines taken as
    // commands; the rest of a refused chunk is dropped, and so are the transaction's later ones.
    if (state_.bdat_tx && !state_.end_seen) state_.bdat_failed = true;
    const bool drop =
        state_.mode == kData && (state_.bdat ? state_.bdat_left > 0 : !state_.held.empty() && !state_.end_seen);
    LeaveData(drop);
}

bool CLauchAntispam::CanRewriteHeader(const char* function) {
    if ((state_.mode == kData || state_.bdat_tx) && !state_.header_sent) return true;
    Log(2, std::string(function) + ": no message header held (not in a message, or already sent), nothing rewritten",
        kRun, "SCRIPT");
    return false;
}

int CLauchAntispam::HoldWholeMessage(int max_bytes) {
    if (state_.mode != kData || state_.flowing || !settings_) return 0;
    state_.hold_limit = std::clamp(max_bytes, kHoldLimit, std::max(settings_->held_max_bytes, kHoldLimit));
    return 1;
}

int CLauchAntispam::Hold() {
    // The whole message must be here and none of it at the MTA.
    if (state_.mode != kData || !state_.end_seen || state_.header_sent || state_.flowing) {
        Log(2, "HoldMessage: the message is not held whole here (too large, or not at its end): not held", kRun,
            "SCRIPT");
        return 0;
    }
    HeldEnvelope env;
    env.sender = state_.mail_from;
    if (env.sender.size() >= 2 && env.sender.front() == '<' && env.sender.back() == '>')
        env.sender = env.sender.substr(1, env.sender.size() - 2);
    for (std::string_view r : common::SplitNonEmpty(state_.trace.Recipients(), ' ')) {
        std::string one(r);
        if (one.size() >= 2 && one.front() == '<' && one.back() == '>') one = one.substr(1, one.size() - 2);
        env.recipients.push_back(std::move(one));
    }
    env.client_ip = state_.client_ip;
    env.helo = state_.helo;
    env.subject = mail_.Subject();
    env.reasons = state_.trace.Reasons();
    env.time = common::NowSeconds();
    const std::string message = HeldMessage();
    env.size = static_cast<int64_t>(message.size());
    std::string id;
    // Written and flushed to disk: beside the event loop, not on it.
    platform::RunBlocking([&] { id = core_.Held()->Hold(message, env); });
    if (id.empty()) {
        Log(1, std::string("HoldMessage: cannot keep the message: ") + std::strerror(errno), kRun, "SYS");
        return 0;
    }
    Log(2, "message held for review as " + id, kRun, "SCRIPT");
    state_.trace.Held();
    DropBufferToMTA();
    SendToClient("250 2.0.0 Ok: held for review as " + id + "\r\n");
    state_.keep_client = true;
    return 1;
}

void CLauchAntispam::ModifyHeaderSubject(std::string_view tag) {
    if (!CanRewriteHeader("ModifyHeaderSubject")) return;
    state_.trace.Tagged();
    state_.held = smtp::ModifyHeaderSubject(std::move(state_.held), tag, state_.end_seen);
}

void CLauchAntispam::WriteHeaderMessage(std::string_view line) {
    if (!CanRewriteHeader("WriteHeaderMessage")) return;
    state_.trace.HeaderAdded(line);
    state_.held = smtp::WriteHeaderMessage(std::move(state_.held), line);
}

const MessageAuth& CLauchAntispam::Auth() {
    if (!state_.auth) {
        const std::string held = HeldMessage();
        AuthInput in;
        in.client_ip = state_.client_ip;
        in.mail_from = state_.mail_from;
        in.helo = state_.helo;
        in.message = held;
        // A message as long as the hold limit may have been cut there.
        in.held_all = held.size() < kAnalysed;
        state_.auth = Authenticate(core_, in);
        for (const checks::dkim::Verdict& v : state_.auth->dkim)
            core_.CountMetric("morvane_dkim_results_total", "DKIM signatures verified, by result.", "result",
                              checks::dkim::ResultName(v.result));
        core_.CountMetric("morvane_dmarc_results_total", "DMARC verdicts of messages, by result.", "result",
                          checks::dmarc::ResultName(state_.auth->dmarc.result));
    }
    return *state_.auth;
}

std::string CLauchAntispam::AuthservId() const {
    if (settings_ && !settings_->myname.empty()) return settings_->myname;
    char host[256] = {0};
    return gethostname(host, sizeof(host) - 1) == 0 && host[0] ? std::string(host) : std::string("localhost");
}

std::string CLauchAntispam::AddAuthenticationResults() {
    if (!CanRewriteHeader("AddAuthenticationResults")) return std::string();
    const std::string id = AuthservId();
    const std::string value = AuthenticationResultsValue(id, Auth());
    state_.held = smtp::WithAuthenticationResults(std::move(state_.held), id, value);
    return value;
}

}  // namespace core
