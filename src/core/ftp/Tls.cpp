#include "ftp/Tls.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace kv::tls {

namespace {

// The library's own words for the last failure, or the system's.
std::string LastErrorText() {
    unsigned long e = ERR_get_error();
    if (e == 0)
        return errno != 0 ? std::strerror(errno) : "the connection was closed";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    return buf;
}

bool IsIpAddress(const std::string& host) {
    unsigned char buf[16];
    return ::inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::string Hex(const unsigned char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 15]);
    }
    return out;
}

} // namespace

std::string NormalizeFingerprint(const std::string& text) {
    std::string hex;
    for (char c : text) {
        if (c == ':' || c == ' ' || c == '\t')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            hex.clear();
            break;
        }
        hex.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    if (hex.size() == 64 || (hex.empty() && text.find_first_not_of(": \t") == std::string::npos))
        return hex;
    throw TlsError("The pinned certificate fingerprint \"" + text +
                   "\" is not a SHA-256 fingerprint (64 hex digits, colons allowed); correct it "
                   "in the settings.");
}

Context::Context(const TrustSettings& trust)
    : fingerprint_(NormalizeFingerprint(trust.Fingerprint)) {
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (!ctx_)
        throw TlsError("TLS cannot be set up: " + LastErrorText() + ".");
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (!fingerprint_.empty()) {
        // Pinned: the fingerprint alone decides, after the handshake.
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
        return;
    }
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    const bool loaded =
        trust.CAFile.empty()
            ? SSL_CTX_set_default_verify_paths(ctx_) == 1
            : SSL_CTX_load_verify_locations(ctx_, trust.CAFile.c_str(), nullptr) == 1;
    if (!loaded) {
        std::string why = LastErrorText();
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
        throw TlsError("The trusted certificates " +
                       (trust.CAFile.empty() ? std::string("of the system") : trust.CAFile) +
                       " cannot be loaded: " + why + ". Check the CA file in the settings.");
    }
}

Context::~Context() {
    SSL_CTX_free(ctx_);
}

Stream::Stream(const Context& ctx, int fd, const std::string& hostName, const SessionRef& resume)
    : fingerprint_(ctx.Fingerprint()) {
    ERR_clear_error();
    ssl_ = SSL_new(ctx.Native());
    if (!ssl_ || SSL_set_fd(ssl_, fd) != 1) {
        SSL_free(ssl_);
        ssl_ = nullptr;
        throw TlsError("TLS cannot be set up: " + LastErrorText() + ".");
    }
    if (!IsIpAddress(hostName))
        SSL_set_tlsext_host_name(ssl_, hostName.c_str());
    if (fingerprint_.empty()) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
        if (IsIpAddress(hostName))
            X509_VERIFY_PARAM_set1_ip_asc(param, hostName.c_str());
        else
            X509_VERIFY_PARAM_set1_host(param, hostName.c_str(), 0);
    }
    if (resume)
        SSL_set_session(ssl_, resume.get());
}

Stream::~Stream() {
    SSL_free(ssl_);
}

Io Stream::Result(int ret, const char* what) {
    int err = SSL_get_error(ssl_, ret);
    switch (err) {
    case SSL_ERROR_WANT_READ:
        return Io::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return Io::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        return Io::Closed;
    case SSL_ERROR_SYSCALL:
        if (ERR_peek_error() == 0 && errno == 0)
            return Io::Truncated;
        if (ERR_peek_error() == 0)
            throw SocketError::OfErrno(errno);
        break;
    case SSL_ERROR_SSL:
        if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            ERR_clear_error();
            return Io::Truncated;
        }
        break;
    default:
        break;
    }
    throw TlsError(std::string("The TLS ") + what +
                   " with the FTP server failed: " + LastErrorText() + ".");
}

Io Stream::Handshake() {
    ERR_clear_error();
    errno = 0;
    int r = SSL_connect(ssl_);
    if (r == 1) {
        CheckPeer();
        return Io::Done;
    }
    // A chain or host that failed verification ends the handshake: say why.
    if (fingerprint_.empty() && SSL_get_verify_result(ssl_) != X509_V_OK)
        CheckPeer();
    Io io = Result(r, "handshake");
    if (io == Io::Closed || io == Io::Truncated)
        throw TlsError("The FTP server closed the connection during the TLS handshake; it "
                       "may not offer TLS on this connection.");
    return io;
}

void Stream::CheckPeer() {
    if (fingerprint_.empty()) {
        long v = SSL_get_verify_result(ssl_);
        if (v != X509_V_OK)
            throw TlsError(std::string("The FTP server's certificate failed verification: ") +
                           X509_verify_cert_error_string(v) +
                           ". Trust its issuer (the CA file in the settings) or pin its "
                           "fingerprint.");
        return;
    }
    X509* cert = SSL_get1_peer_certificate(ssl_);
    if (!cert)
        throw TlsError("The FTP server sent no certificate; its fingerprint cannot be checked.");
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    const bool ok = X509_digest(cert, EVP_sha256(), md, &len) == 1;
    X509_free(cert);
    const std::string seen = ok ? Hex(md, len) : std::string();
    if (seen != fingerprint_)
        throw TlsError("The FTP server's certificate (SHA-256 " + seen +
                       ") does not match the pinned fingerprint " + fingerprint_ +
                       "; the connection was refused. Check the fingerprint in the settings.");
}

Io Stream::Read(char* buf, size_t size, size_t& n) {
    ERR_clear_error();
    errno = 0;
    n = 0;
    if (SSL_read_ex(ssl_, buf, size, &n) == 1)
        return Io::Done;
    return Result(0, "transfer");
}

Io Stream::Write(const char* data, size_t size, size_t& n) {
    ERR_clear_error();
    errno = 0;
    n = 0;
    if (SSL_write_ex(ssl_, data, size, &n) == 1)
        return Io::Done;
    Io io = Result(0, "transfer");
    if (io == Io::Closed || io == Io::Truncated)
        throw SocketError(10054);
    return io;
}

void Stream::Shutdown() {
    ERR_clear_error();
    if (SSL_is_init_finished(ssl_))
        SSL_shutdown(ssl_);
    ERR_clear_error();
}

bool Stream::Resumed() const {
    return SSL_session_reused(ssl_) == 1;
}

std::string Stream::Description() const {
    return std::string(SSL_get_version(ssl_)) + ", cipher " + SSL_get_cipher_name(ssl_);
}

SessionRef Stream::Session() const {
    SSL_SESSION* s = SSL_get1_session(ssl_);
    if (!s)
        return nullptr;
    return SessionRef(s, SSL_SESSION_free);
}

} // namespace kv::tls
