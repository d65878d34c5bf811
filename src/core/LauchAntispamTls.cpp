// CLauchAntispam: STARTTLS. The client's STARTTLS is ended at the proxy (the handshake runs on the
// session thread, bounded by timeout_client and woken by a stop); towards the MTA the session
// negotiates TLS itself right after connecting when [TLS] mta_tls asks for it.
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

namespace core {

namespace {

constexpr const char* kRun = "CLauchAntispam::Run";
constexpr const char* kNoTls = "454 4.7.0 TLS not available\r\n";
constexpr const char* kTlsReady = "220 2.0.0 Ready to start TLS\r\n";

// `result`: client_ok, client_failed, mta_ok or mta_failed.
void CountHandshake(CMorvaneCore& core, const char* result) {
    core.CountMetric("morvane_tls_handshakes_total",
                     "TLS handshakes, by peer and result (client_ok, client_failed, mta_ok, mta_failed).", "result",
                     result);
}
constexpr const char* kTlsAgain = "503 5.5.1 TLS already active\r\n";
constexpr const char* kTlsSyntax = "501 5.5.4 Syntax: STARTTLS\r\n";

}  // namespace

void CLauchAntispam::StartClientTls(std::string_view line) {
    state_.command.clear();
    const std::shared_ptr<const platform::TlsContext> ctx = settings_->tls.server;
    if (!ctx) {
        // The relay reads SMTP lines: a TLS stream through it would be taken for commands.
        Log(2, "STARTTLS answered 454: TLS is not enabled", kRun, "SYS");
        return SendToClient(kNoTls);
    }
    if (ClientTls()) return SendToClient(kTlsAgain);
    std::string text = smtp::WithoutLineBreaks(line);
    const size_t word = common::AsciiLowered(text).find("starttls");
    if (text.find_first_not_of(" \t", word + 8) != std::string::npos) return SendToClient(kTlsSyntax);
    // Commands pipelined behind STARTTLS would be taken as sent over TLS, though anyone on the
    // path could have put them there.
    if (!state_.pending.empty()) {
        Log(1, common::FormatText("STARTTLS: %zu bytes sent after it in clear were discarded", state_.pending.size()),
            kRun, "FIREWALL");
        state_.pending.clear();
    }
    state_.line_started = 0;
    // What the client is owed goes first, then the go-ahead, both in clear.
    std::string out = state_.client_queue + kTlsReady;
    state_.client_queue.clear();
    if (state_.client->Send(out, kConnectTimeoutMs) != static_cast<int>(out.size()))
        return End("Connection is closed from Client");
    if (logging::LogWanted(2)) Log(2, "fr->cl : " + out, kRun, "SYS");
    const int timeout_ms = (settings_->timeout_client > 0 ? settings_->timeout_client : 60) * 1000;
    std::string error;
    if (!state_.client->StartTls(ctx, timeout_ms, &error)) {
        core_.Count("f2tls_handshake_failed", 2);
        CountHandshake(core_, "client_failed");
        return End(("TLS handshake with the client failed: " + error).c_str());
    }
    core_.Count("f2tls_sessions", 2);
    CountHandshake(core_, "client_ok");
    Log(1, "TLS with the client: " + ClientTlsInfo(), kRun, "SYS");
    // The client starts over with EHLO (RFC 3207); what it said in clear no longer counts.
    state_.helo.clear();
    state_.mail_from.clear();
    state_.ready = true;
    state_.last_activity = common::SteadySeconds();
}

std::string CLauchAntispam::ReadMtaReply(int timeout_ms) {
    std::string got;
    char buf[4096];
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (smtp::CompleteReplies(got) == 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (got.size() > kMaxLine || stopping_ || left <= 0) return std::string();
        // A stop interrupts the wait; the next pass sees it.
        const int n = state_.mta->Recv(buf, sizeof buf, static_cast<int>(left));
        if (n < 0) return std::string();
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

bool CLauchAntispam::StartMtaTls(const std::string& host) {
    const TlsSnapshot& tls = settings_->tls;
    const bool must = tls.mta == MtaTls::kMust;
    const int timeout_ms = std::min(settings_->mta_timeout_cmd, 60) * 1000;
    auto fail = [&](const std::string& why) {
        Log(1, "TLS to the MTA " + host + ": " + why, kRun, "SYS");
        state_.mta->Close();
        return false;
    };
    std::string greeting = ReadMtaReply(timeout_ms);
    if (greeting.empty()) return fail("no greeting");
    if (greeting.compare(0, 3, "220") != 0) {
        state_.mta_greeting = greeting;  // a refusal: the client hears it as it is
        return true;
    }
    const std::string ehlo =
        "EHLO " + (settings_->myname.empty() ? std::string("localhost") : settings_->myname) + "\r\n";
    std::string reply;
    if (state_.mta->Send(ehlo, timeout_ms) == static_cast<int>(ehlo.size())) reply = ReadMtaReply(timeout_ms);
    std::string removed;
    smtp::RemoveExtensions(reply, &removed);
    bool ready = false;
    if (reply.compare(0, 3, "250") == 0 && (" " + removed + " ").find(" STARTTLS ") != std::string::npos &&
        tls.client) {
        const std::string command = "STARTTLS\r\n";
        if (state_.mta->Send(command, timeout_ms) == static_cast<int>(command.size()))
            ready = ReadMtaReply(timeout_ms).compare(0, 3, "220") == 0;
        if (!ready) return fail("STARTTLS refused");
    } else if (reply.empty()) {
        return fail("no answer to EHLO");
    }
    if (!ready) {
        if (must) return fail("the MTA does not offer STARTTLS and mta_tls is must");
        Log(2, "TLS to the MTA " + host + ": not offered, the session goes on in clear", kRun, "SYS");
        state_.mta_greeting = greeting;
        return true;
    }
    std::string error;
    if (!state_.mta->StartTls(tls.client, timeout_ms, &error)) {
        core_.Count("f2tls_mta_failed", 2);
        CountHandshake(core_, "mta_failed");
        return fail("handshake failed: " + error);
    }
    CountHandshake(core_, "mta_ok");
    Log(1, "TLS with the MTA " + host + ": " + state_.mta->TlsInfo(), kRun, "SYS");
    state_.mta_greeting = greeting;
    return true;
}

}  // namespace core
