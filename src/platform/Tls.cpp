#include "platform/Tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>

#include <csignal>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/EventLoop.h"

namespace platform {

namespace {

int VersionOf(const std::string& name) {
    if (name == "TLSv1") return TLS1_VERSION;
    if (name == "TLSv1.1") return TLS1_1_VERSION;
    if (name.empty() || name == "TLSv1.2") return TLS1_2_VERSION;
    if (name == "TLSv1.3") return TLS1_3_VERSION;
    return -1;
}

SSL_CTX* NewContext(bool server, const std::string& min_version, std::string* error) {
    const int version = VersionOf(min_version);
    if (version < 0) {
        if (error) *error = "unknown min_version \"" + min_version + "\" (TLSv1, TLSv1.1, TLSv1.2 or TLSv1.3)";
        return nullptr;
    }
    SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (!ctx) {
        if (error) *error = "SSL_CTX_new: " + TlsErrorText();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, version);
    // Renegotiation would let a peer make a read wait for a write (and back) under the relay
    // loop; tickets would be written after the handshake. SMTP needs neither.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(ctx, 0);
    // The relay queues erase what was written and hand the rest again, possibly moved.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    return ctx;
}

// 1 when `fd` is ready, 0 on time-out, -1 when a stop interrupted the fiber's wait.
int WaitFd(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    int rc;
    do {
        rc = Poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0 && PollInterrupted()) return -1;
    return rc > 0 ? 1 : 0;
}

}  // namespace

std::string TlsErrorText() {
    std::string out;
    while (unsigned long e = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        if (!out.empty()) out += "; ";
        out += text;
    }
    return out.empty() ? "no detail" : out;
}

TlsContext::~TlsContext() {
    SSL_CTX_free(ctx_);
}

std::shared_ptr<TlsContext> TlsContext::Server(const std::string& cert_file, const std::string& key_file,
                                               const std::string& min_version, const std::string& ciphers,
                                               std::string* error) {
    ERR_clear_error();
    SSL_CTX* raw = NewContext(true, min_version, error);
    if (!raw) return nullptr;
    std::shared_ptr<TlsContext> ctx(new TlsContext(raw, true));
    if (cert_file.empty() || key_file.empty()) {
        if (error) *error = "cert_file and key_file must both be set";
        return nullptr;
    }
    if (SSL_CTX_use_certificate_chain_file(raw, cert_file.c_str()) != 1) {
        if (error) *error = "certificate " + cert_file + ": " + TlsErrorText();
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(raw, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
        if (error) {
            const std::string why = TlsErrorText();
            *error = why.find("mismatch") != std::string::npos
                         ? "key " + key_file + " does not match certificate " + cert_file
                         : "key " + key_file + ": " + why;
        }
        return nullptr;
    }
    if (SSL_CTX_check_private_key(raw) != 1) {
        if (error) *error = "key " + key_file + " does not match certificate " + cert_file;
        return nullptr;
    }
    if (!ciphers.empty() && SSL_CTX_set_cipher_list(raw, ciphers.c_str()) != 1) {
        if (error) *error = "ciphers \"" + ciphers + "\": " + TlsErrorText();
        return nullptr;
    }
    if (X509* cert = SSL_CTX_get0_certificate(raw)) {
        char* subject = X509_NAME_oneline(X509_get_subject_name(cert), nullptr, 0);
        if (subject) ctx->subject_ = subject;
        OPENSSL_free(subject);
    }
    return ctx;
}

std::shared_ptr<TlsContext> TlsContext::Client(const std::string& min_version, std::string* error) {
    ERR_clear_error();
    SSL_CTX* raw = NewContext(false, min_version, error);
    if (!raw) return nullptr;
    SSL_CTX_set_verify(raw, SSL_VERIFY_NONE, nullptr);
    return std::shared_ptr<TlsContext>(new TlsContext(raw, false));
}

TlsSession::TlsSession(std::shared_ptr<const TlsContext> ctx, int fd) : ctx_(std::move(ctx)), fd_(fd) {
    // OpenSSL writes with write(), not send(MSG_NOSIGNAL): a peer that hung up would end the
    // process with SIGPIPE instead of failing one session.
    static const bool kNoSigpipe = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
    (void)kNoSigpipe;
    ssl_ = SSL_new(ctx_->Handle());
    if (!ssl_ || SSL_set_fd(ssl_, fd) != 1) broken_ = true;
}

TlsSession::~TlsSession() {
    SSL_free(ssl_);
}

bool TlsSession::Handshake(int timeout_ms, std::string* error) {
    if (broken_) {
        if (error) *error = "no TLS session: " + TlsErrorText();
        return false;
    }
    ERR_clear_error();
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const int rc = ctx_->IsServer() ? SSL_accept(ssl_) : SSL_connect(ssl_);
        if (rc == 1) return true;
        const int why = SSL_get_error(ssl_, rc);
        if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) {
            broken_ = true;
            if (error) {
                if (why == SSL_ERROR_SYSCALL || why == SSL_ERROR_ZERO_RETURN)
                    *error = "peer closed the connection during the handshake";
                else
                    *error = TlsErrorText();
            }
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        const int ready = left.count() <= 0 ? 0
                                            : WaitFd(fd_, why == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT,
                                                     static_cast<int>(left.count()));
        if (ready != 1) {
            broken_ = true;
            if (error) *error = ready == 0 ? "handshake timed out" : "handshake given up: the session stops";
            return false;
        }
    }
}

int TlsSession::RecvSome(char* buffer, int size) {
    if (broken_ || size <= 0) return -1;
    ERR_clear_error();
    const int n = SSL_read(ssl_, buffer, size);
    if (n > 0) return n;
    switch (SSL_get_error(ssl_, n)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE: return 0;
        default: broken_ = true; return -1;  // close_notify, a reset or a bad record
    }
}

int TlsSession::SendSome(std::string_view data) {
    if (broken_) return -1;
    if (data.empty()) return 0;
    ERR_clear_error();
    const int n = SSL_write(ssl_, data.data(), static_cast<int>(std::min<size_t>(data.size(), 1 << 30)));
    if (n > 0) return n;
    switch (SSL_get_error(ssl_, n)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE: return 0;
        default: broken_ = true; return -1;
    }
}

int TlsSession::Pending() const {
    return broken_ ? 0 : SSL_pending(ssl_);
}

std::string TlsSession::Info() const {
    if (broken_ || !SSL_is_init_finished(ssl_)) return std::string();
    std::string out = SSL_get_version(ssl_);
    if (const char* cipher = SSL_get_cipher_name(ssl_)) {
        out += ' ';
        out += cipher;
    }
    return out;
}

void TlsSession::Shutdown() {
    if (!broken_ && SSL_is_init_finished(ssl_)) {
        ERR_clear_error();
        SSL_shutdown(ssl_);  // non-blocking socket: the close_notify goes if it can
    }
    broken_ = true;
}

}  // namespace platform
