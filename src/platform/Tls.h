#pragma once
// TLS over a connected non-blocking socket, with the same contract as CSocketComm's data calls:
// RecvSome/SendSome never wait and answer a byte count, 0 for "nothing now", -1 for an error or
// a closed connection. Decrypted bytes OpenSSL already holds are not visible to poll(): callers
// that wait on the descriptor ask Pending() first.
//
// A TlsContext is immutable once made and shared: sessions keep the one they started with, so a
// reload that makes a new context never changes a handshake in progress.
#include <memory>
#include <string>
#include <string_view>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace platform {

class TlsContext {
public:
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // A server context with the PEM certificate chain and key; `min_version` is "TLSv1",
    // "TLSv1.1", "TLSv1.2" or "TLSv1.3"; `ciphers` is an OpenSSL cipher list for TLS 1.2 and
    // below (empty: OpenSSL's default). Null with `error` set when a file or value is bad.
    static std::shared_ptr<TlsContext> Server(const std::string& cert_file, const std::string& key_file,
                                              const std::string& min_version, const std::string& ciphers,
                                              std::string* error);
    // A client context. It does not verify the peer: a back-end MTA on a private network
    // usually has a self-made certificate, and the choice of MTA is the operator's.
    static std::shared_ptr<TlsContext> Client(const std::string& min_version, std::string* error);

    SSL_CTX* Handle() const { return ctx_; }
    bool IsServer() const { return server_; }
    // The subject of the server certificate (for log lines after a reload).
    const std::string& Subject() const { return subject_; }

private:
    TlsContext(SSL_CTX* ctx, bool server) : ctx_(ctx), server_(server) {}
    SSL_CTX* ctx_;
    bool server_;
    std::string subject_;
};

class TlsSession {
public:
    TlsSession(std::shared_ptr<const TlsContext> ctx, int fd);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Runs the handshake, waiting at most `timeout_ms` in all. On a fiber an Interrupt ends the
    // wait early: a stopping session does not sit out a slow peer. False with `error` set on
    // failure, time-out or interrupt.
    bool Handshake(int timeout_ms, std::string* error);
    int RecvSome(char* buffer, int size);
    int SendSome(std::string_view data);
    // Decrypted bytes ready to be read without touching the socket.
    int Pending() const;
    // "TLSv1.3 TLS_AES_256_GCM_SHA384" once the handshake is done.
    std::string Info() const;
    // Sends close_notify without waiting for the peer's.
    void Shutdown();

private:
    std::shared_ptr<const TlsContext> ctx_;
    SSL* ssl_ = nullptr;
    int fd_;
    bool broken_ = false;
};

// OpenSSL's error queue as one line, and emptied.
std::string TlsErrorText();

}  // namespace platform
