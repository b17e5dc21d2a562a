#pragma once
// TLS of explicit FTPS (RFC 4217) over OpenSSL: the client context with its
// trust settings (a CA file, the system store, or a pinned SHA-256
// fingerprint) and one TLS stream on a non-blocking socket. The stream never
// waits: each call says what it needs next, and the socket does the waiting.
#include "remote/RemoteErrors.h"

#include <memory>
#include <string>

struct ssl_st;
struct ssl_ctx_st;
struct ssl_session_st;

namespace kv::tls {

// How the server's certificate is trusted.
struct TrustSettings {
    std::string CAFile;      // PEM file of trusted certificates; empty: the system's store
    std::string Fingerprint; // SHA-256 of the certificate; when set, pinned instead of a store
};

// A SHA-256 fingerprint setting as 64 lower-case hex digits (colons, blanks
// and letter case ignored); empty for an empty setting. Throws TlsError for
// anything else.
std::string NormalizeFingerprint(const std::string& text);

class Context {
public:
    // Throws TlsError when the CA file cannot be loaded.
    explicit Context(const TrustSettings& trust);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    ssl_ctx_st* Native() const { return ctx_; }
    const std::string& Fingerprint() const { return fingerprint_; }

private:
    ssl_ctx_st* ctx_ = nullptr;
    std::string fingerprint_;
};

// A TLS session to resume on another connection (the control connection's,
// for the data connections).
using SessionRef = std::shared_ptr<ssl_session_st>;

enum class Io {
    Done,      // the call completed (n bytes moved)
    WantRead,  // wait until the socket is readable, then call again
    WantWrite, // wait until the socket is writable, then call again
    Closed,    // the peer ended the stream with close_notify
    Truncated, // the peer closed the connection without close_notify
};

class Stream {
public:
    // A client stream on fd for the server named hostName (checked against
    // its certificate unless a fingerprint is pinned), resuming `resume`.
    Stream(const Context& ctx, int fd, const std::string& hostName, const SessionRef& resume);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Io::Done once the handshake is over and the certificate is trusted;
    // throws TlsError naming the reason otherwise.
    Io Handshake();
    Io Read(char* buf, size_t size, size_t& n);
    Io Write(const char* data, size_t size, size_t& n);
    // Sends close_notify once, without waiting for the peer's.
    void Shutdown();

    bool Resumed() const;
    // "TLSv1.3, cipher TLS_AES_256_GCM_SHA384".
    std::string Description() const;
    SessionRef Session() const;

private:
    Io Result(int ret, const char* what);
    void CheckPeer();
    ssl_st* ssl_ = nullptr;
    std::string fingerprint_;
};

} // namespace kv::tls
