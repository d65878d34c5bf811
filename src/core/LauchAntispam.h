#pragma once
// CLauchAntispam: one client connection's session. It relays the SMTP conversation between the
// client and the back-end MTA through two send queues, recognises commands and replies, raises
// the antispam scripts' events at every step and holds the message body while it is analysed,
// so that a verdict is reached before any of it reaches the MTA.
//
// The session does not open the MTA connection by itself: the policy script does, usually in
// "OnStartClientConnection", through ConnectToDefaultMTA (the MTA list's choice). Until it
// has, nothing is relayed to an MTA.
//
// The relay loop waits on both sockets at once (poll), so a command or a reply moves on as soon
// as it arrives. At most one client command is outstanding at the MTA. Every buffer filled from
// the network is bounded: a client line without a line end past kMaxLine is refused, and a
// side whose peer does not read is no longer read from (back-pressure).
//
// Threads: each connection (and each preparation of a pooled session) runs on a fiber of one
// of the kernel's event loops, which does all the work, scripts included (their compilation
// too, so a burst of connections never stalls the main loop); its waits yield to the loop's
// other sessions. The main thread hands off a connection (HandOff), reads Busy/Idle and moves
// the log queue.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/String.h"
#include "common/ThreadSafety.h"
#include "core/AntispamScript.h"
#include "core/MessageAuth.h"
#include "core/MtaList.h"
#include "core/SessionTrace.h"
#include "core/SmtpText.h"
#include "core/TlsSettings.h"
#include "log/LogQueue.h"
#include "mail/ScriptParseMail.h"
#include "platform/EventLoop.h"
#include "platform/SocketComm.h"
#include "script/AbortHandle.h"

namespace config {
class CKernelConfig;
}

namespace core {

using platform::CSocketComm;

class CMorvaneCore;

// What a session reads of the configuration, copied on the main thread at each reload
// (CSessionPool::Reload) so that session threads never read fields the main loop is rewriting.
// A buffer_socket_size or socket_select_time of 0 or less gives the value written here; the
// other fields are taken as configured.
struct SessionSettings {
    int recv_size = 1024;     // buffer_socket_size
    int select_ms = 300;      // socket_select_time
    int timeout_client = 60;  // seconds
    int error_max = 3;
    int mta_timeout_data = 600;             // seconds for the reply to the end of a message
    int mta_timeout_cmd = 300;              // seconds for any other reply, the greeting included
    int held_max_bytes = 10 * 1024 * 1024;  // [QUARANTINE] max_bytes: the most a message held whole
    std::string adapter_ip;
    std::string myname;                   // the name the proxy gives in its own EHLO to the MTA
    std::vector<common::String> scripts;  // cs_N entries
    std::string script_dir;               // ends with "/"
    TlsSnapshot tls;
};

class CLauchAntispam : public logging::CLogQueue {
public:
    static constexpr int kHoldLimit = static_cast<int>(mail::kAnalysedBytes);
    // The message the scripts analyse is at most this long.
    static constexpr size_t kAnalysed = mail::kAnalysedBytes;
    // A client line (or an MTA reply line) longer than this without a line end is refused.
    static constexpr size_t kMaxLine = 65536;
    // Past this much unsent text for a side, the other side is not read until it drains.
    static constexpr size_t kMaxQueue = 1 << 20;
    // Longest wait of the relay loop. A stop request wakes it at once (it interrupts the
    // fiber's wait) and time-outs are waited for exactly, so an idle connection costs no
    // wake-ups: this is only a safety net. Longer than the default client time-out (60 s):
    // with thousands of idle clients held, a shorter net woke hundreds of sessions a second.
    static constexpr int kMaxWaitMs = 300000;
    static constexpr int kConnectTimeoutMs = 10000;
    // The most the kernel's resolver may take over a back-end's name, per family.
    static constexpr int kMtaLookupBudgetMs = 1500;
    // The most the relay loop reads or forwards at once.
    static constexpr size_t kIoChunk = 65536;
    // The client's reverse lookup takes at most this long in all.
    static constexpr int kPtrBudgetMs = 1000;
    // How long StopSession waits for the connection in progress to end.
    static constexpr int kStopWaitMs = 5000;

    enum Mode { kCommand = 1, kData = 3 };

    // `reuse`: script caching; the session's scripts stay compiled between connections.
    CLauchAntispam(CMorvaneCore& core, bool reuse);
    ~CLauchAntispam() override;

    // Main thread: gives the session a connection, served on a fiber of `loop`. False when it
    // is busy or not idle, or the loop takes no work. `counted`: the address is registered in
    // the per-address session counter already.
    bool HandOff(int32_t id, CSocketComm* slot, std::shared_ptr<const SessionSettings> settings,
                 platform::CEventLoop* loop, bool counted = false);
    // Pooled sessions compile their scripts (and run "OnDestroyThis" once) before any client.
    void Prepare(std::shared_ptr<const SessionSettings> settings, platform::CEventLoop* loop);
    bool Busy() const { return busy_.load(); }
    // The pool's count of busy sessions, kept by each session as it takes and ends a
    // connection; set before the first HandOff. The counter outlives the session.
    void CountBusyIn(std::atomic<int>* counter) { busy_counter_ = counter; }
    bool Idle() const { return idle_.load(); }
    // When the last connection ended (process milliseconds), for retiring idle sessions.
    int32_t IdleSince() const { return idle_since_.load(); }
    // Asks the session to end; the connection in progress is told "421" and closed. A script
    // running then is aborted, and no further event is raised. Waits up to `wait_ms` for the
    // connection's fiber to end; true when nothing of the session runs any more.
    bool StopSession(int wait_ms = kStopWaitMs);
    // Nothing of the session runs (no fiber of it is spawned or alive).
    bool HasEnded() const { return !running_.load(); }
    bool Stopping() const { return stopping_.load(); }
    // The script host brackets each script run with these, so a stop can abort it.
    void ScriptStarted(script::Interpreter* in);
    void ScriptEnded();

    // --- what the scripts do to their connection -------------------------------------------
    void SendToMTA(std::string_view text);
    void SendToClient(std::string_view text);
    void DropBufferToMTA();
    void DropBufferToClient();
    void CloseClientConnection();
    void CloseMTAConnection();
    void CloseAllConnection();
    void CloseClientConnAfterSendingQueue() { state_.close_after_send = true; }
    void ExitSession();
    // Ends the connection at the next step of the relay loop; `why` is logged at level 1.
    void EndSession(const char* why) { End(why); }
    void InjectionExtensionMTA(std::string_view text) { state_.ext_insert += text; }
    void DropExtensionMTA(std::string_view text) { state_.ext_drop += text; }
    int ConnectToDefaultMTA();
    int ConnectToMTA(const std::string& host, const std::string& port);
    int ErrorCount() const { return state_.error_count; }
    void SetErrorCount(int count) { state_.error_count = count; }
    bool Relay() const { return state_.relay; }
    void RegisterSessionProperty(int bits) { state_.property_bits |= bits; }
    // Registers `ip` in the per-address session counter; the client's own address once per
    // connection (the admission may have done it), removed when the connection ends.
    void RegisterSessionIp(const std::string& ip);
    int SessionProperty() const { return state_.property_bits; }
    // Keeps up to `max_bytes` of this message (at most [QUARANTINE] max_bytes) before any of it
    // goes to the MTA, so that the policy can hold it whole; for OnCommandData. 1 when set.
    int HoldWholeMessage(int max_bytes);
    // Holds the message for an operator instead of delivering it: kept whole in the held
    // quarantine, the client answered 250, the MTA's transaction abandoned (its connection
    // closed: inside DATA nothing else keeps an MTA from delivering), and the session ends.
    // 0 when it cannot be held (not at the message's end, or not all of it is here).
    int Hold();
    // The history record this connection will leave (the policy's marks and notes).
    SessionTrace& Trace() { return state_.trace; }
    void ModifyHeaderSubject(std::string_view tag);
    void WriteHeaderMessage(std::string_view line);
    // The held message's SPF, DKIM and DMARC, worked out at the first call for each message.
    const MessageAuth& Auth();
    // Puts the Authentication-Results field at the top of the held header (forged ones with our
    // authserv-id removed); its value, or "" when the header can no longer be rewritten.
    std::string AddAuthenticationResults();
    // `myname`, or this host's name: who the Authentication-Results field speaks for.
    std::string AuthservId() const;

    // The client switched to TLS with STARTTLS; its protocol and cipher.
    bool ClientTls() const { return state_.client && state_.client->TlsActive(); }
    std::string ClientTlsInfo() const { return state_.client ? state_.client->TlsInfo() : std::string(); }

    int32_t Id() const { return state_.id; }
    const std::string& ClientIp() const { return state_.client_ip; }
    const std::string& ClientHost() const { return state_.client_host; }
    const std::string& MtaHost() const { return state_.mta_host; }
    const std::string& MtaName() const { return state_.mta_name; }
    std::string MtaAddress() const;
    const std::string& HeloHost() const { return state_.helo; }
    const std::string& MailFrom() const { return state_.mail_from; }
    mail::CS_ParseMail& Mail() { return mail_; }
    // What a quarantine stores of the session's message: once it has ended, the message as the
    // client meant it (CR LF line ends, without the SMTP dot-stuffing and the final "." line);
    // before (a message longer than the hold limit), the held data as it came, which the
    // release refuses as cut short.
    std::string HeldMessage() const;
    CMorvaneCore& Core() { return core_; }
    config::CKernelConfig& Config();
    CS_PROXY_ANTISPAM_INSTANCE* Scripts() { return host_.get(); }
    int CurrentMode() const { return state_.mode; }

    // Tests and the fuzz target drive the protocol steps without sockets.
    friend struct SessionProbe;

private:
    // Runs one job on `loop`: a connection (Serve) or a preparation.
    bool Launch(platform::CEventLoop* loop, bool prepare);
    // busy_, and the pool's count with it; under job_mu_.
    void SetBusy(bool busy);
    void RunJob(bool prepare);
    // Builds or refreshes the script host for a connection.
    void RegisterScripts();
    void Serve();
    bool CheckScripts();
    void RelayLoop();
    // The steps of one relay-loop pass that do not touch the sockets. Advance takes the next
    // client command, then moves the held message on; `after_command` (the probe) sees the
    // queues between the two. False when the command ended the session: the message step is
    // then skipped and the loop ends.
    bool Advance(size_t recv_size, const std::function<void()>& after_command = {});
    // The script asked to close, and the client has its answer.
    bool CloseDue() const { return state_.close_after_send && state_.client_queue.empty(); }
    bool WantClientBytes(size_t recv_size) const;
    bool CanTakeCommand() const;
    bool CanFlow() const;
    void ClientBytes(std::string data);
    void TakeCommand();
    void Flow(size_t recv_size);
    void HandleCommand();
    // The client's STARTTLS: answered here, never relayed (the MTA cannot see inside the
    // client's TLS). False when it ended the session.
    void StartClientTls(std::string_view line);
    // STARTTLS towards a just-connected MTA as [TLS] mta_tls asks: its greeting is kept for the
    // client. False when the connection is of no use (closed then).
    bool StartMtaTls(const std::string& host);
    // A whole reply from the MTA, read while the relay loop is not running; empty on failure.
    std::string ReadMtaReply(int timeout_ms);
    // Opens a message (DATA, or a BDAT transaction's first chunk) and raises "OnCommandData";
    // false when the script refused it there, or the session ended.
    bool OpenMessage(smtp::DataNormalizer::Kind kind);
    void HandleBdat(const smtp::DataCommand& d);
    void BetweenChunks(smtp::CommandKind kind);
    void ChunkDone();
    void HandleReply(std::string_view bytes);
    void HandleReplyLines(std::string reply);
    void HandleData(std::string data);
    // Counts an error reply (500-509) against error_max; false when that ended the session.
    bool CountError();
    // Back to command mode after a message: ended, refused or rejected; with `drop_rest` the
    // rest of the message (or of the BDAT chunk) is still to come and is read and dropped up to
    // its end.
    void LeaveData(bool drop_rest);
    bool RestToCome() const { return state_.bdat ? state_.bdat_left > 0 : !state_.end_seen; }
    // Counts up to `available` bytes against the BDAT chunk's declared size; the count taken.
    size_t TakeChunkBytes(size_t available);
    void DiscardData(std::string data);
    void DataRefused();
    void Rejected();
    void AbortMtaData();
    void Analyse();
    void EndData();
    void ReplyDue(int seconds);
    bool CanRewriteHeader(const char* function);
    void End(const char* why, int level = 1);
    void Finish();
    void Send421();
    void Reset();
    void Log(int level, const std::string& text, const char* function, const char* type);
    void MoveScriptLogs();

    // The relay loop's wait until its next deadline (client time-out, MTA reply), in ms.
    int WaitMs(bool work_ready) const;

    CMorvaneCore& core_;
    const bool reuse_;

    // Hand-off (main thread -> the job's fiber).
    common::Mutex job_mu_;
    std::condition_variable_any job_cv_;
    std::atomic<bool> busy_{false};
    std::atomic<int>* busy_counter_ = nullptr;
    std::atomic<bool> idle_{false};
    std::atomic<int32_t> idle_since_{0};
    // A job's fiber is spawned and has not ended; set under job_mu_.
    std::atomic<bool> running_{false};
    // The job's fiber once it runs, for a stop to cut its wait short.
    platform::FiberRef fiber_ GUARDED_BY(job_mu_);
    bool quit_ GUARDED_BY(job_mu_) = false;
    // The interpreter running now, and where the last script that held the loop too long was,
    // for the loop's slow-step line; the fiber's own.
    script::Interpreter* script_in_ = nullptr;
    std::string slow_where_;
    std::atomic<bool> stopping_{false};
    script::AbortHandle running_script_;
    std::shared_ptr<const SessionSettings> settings_;  // set with the job

    // Kept between connections: the parsed message's buffers, the compiled scripts.
    mail::CS_ParseMail mail_;
    std::unique_ptr<CS_PROXY_ANTISPAM_INSTANCE> host_;
    const SessionSettings* compiled_for_ = nullptr;  // the settings the scripts were compiled with

    // Per connection; the session thread only. Reset assigns a fresh one, so a field added
    // here starts every connection at its initial value.
    struct ConnectionState {
        int32_t id = 0;
        bool ip_counted = false;  // set with the job too
        bool ready = false;
        int error_count = 0;
        bool relay = false;
        // Monotonic seconds (common::SteadySeconds): the last whole command line, message data
        // or MTA answer.
        int64_t last_activity = 0;
        int64_t line_started = 0;  // seconds: the first byte of an unfinished command line, or 0
        std::string client_host, client_ip;
        std::string mta_host, mta_name;
        std::string ext_insert, ext_drop;
        std::string pending;  // client bytes not yet taken as a command
        std::string command;  // the command being handled
        bool flowing = false;
        bool end_seen = false;
        bool close_after_send = false;
        std::string helo, mail_from;
        int property_bits = 0;
        int hold_limit = kHoldLimit;
        CSocketComm* client = nullptr;  // the listener's slot
        std::unique_ptr<CSocketComm> mta;
        std::string mta_partial;  // MTA bytes after the last complete reply line
        std::string client_queue;
        int mode = kCommand;
        std::string mta_queue;
        std::string held;
        bool ending = false;
        // The command at the MTA is an EHLO whose reply gets our STARTTLS line.
        bool ehlo_due = false;
        // The MTA's greeting, read before the relay loop when TLS to the MTA was negotiated;
        // the client gets it as its greeting.
        std::string mta_greeting;

        // Message data on its way to the MTA: line ends, dot-stuffing, the final "." line.
        smtp::DataNormalizer norm;
        // The data being read is a BDAT chunk: its bytes left, and whether it is the last.
        bool bdat = false;
        int64_t bdat_left = 0;
        bool bdat_last = false;
        int64_t chunk_size = 0;
        // A client's BDAT transaction goes to the MTA as one DATA transaction; between its chunks
        // the MTA reads message data.
        bool bdat_tx = false;
        // A chunk of this transaction failed: the client's later chunks are refused and dropped.
        bool bdat_failed = false;
        // The reply to a complete chunk, given once the MTA accepted DATA.
        std::string chunk_ack;
        // The MTA was sent DATA and did not refuse it: it reads message data up to a final line.
        bool mta_data = false;
        // Part of the held message went to the MTA: its header can no longer be rewritten.
        bool header_sent = false;
        // When the MTA's reply is overdue (seconds), or 0 when none is awaited.
        int64_t reply_deadline = 0;
        // The MTA accepted DATA (354), or the chunk is BDAT: message bytes may go to it.
        bool data_open = false;
        // The DATA command is at the MTA and its reply is awaited.
        bool data_reply_due = false;
        // The rest of a refused or rejected message is read and dropped up to its end.
        bool discarding = false;
        // The message's authentication, once a script asked for it; cleared for each message.
        std::optional<MessageAuth> auth;
        // What the message history will say of this connection.
        SessionTrace trace;
        // A message was held: the MTA's connection is closed to abandon it, and the session
        // answers the client's next command itself (QUIT: 221; anything else: 421), then ends.
        bool keep_client = false;
        bool mta_abandoned = false;
    };
    ConnectionState state_;
};

}  // namespace core
