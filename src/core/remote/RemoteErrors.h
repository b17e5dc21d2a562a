#pragma once
// Errors of the file-transfer sessions (FTP, SFTP) and the SOCKS handshakes.
// Messages are exactly the texts the program logs; the cycles look for
// "Socket Error" in them. A server's refusal is a ProtocolReplyError with its
// typed reason (RemoteRefusal, the same over both protocols) and the code an
// FTP server gives it (550: no such file, 553: cannot be created...).
#include "util/Errors.h"

#include <string>

namespace kv {

// Base of every session failure.
class FtpError : public KvError {
public:
    using KvError::KvError;
};

// Why a server refused an operation, whatever the protocol.
enum class RemoteRefusal { None, NoSuchFile, Permission, Exists, Failure, Unsupported };
// The reason an FTP reply code stands for: 550 no such file (what every
// usual server answers for a missing file), 553 / 530 / 532 permission,
// 500 / 501 / 502 / 504 unsupported, any other refusal a failure; None for
// a reply that is no refusal.
RemoteRefusal RefusalOfReplyCode(int code);

// A reply code outside the accepted list: the message is the whole last reply line.
class ProtocolReplyError : public FtpError {
public:
    ProtocolReplyError(int code, const std::string& line)
        : FtpError(line), code_(code), reason_(RefusalOfReplyCode(code)) {}
    ProtocolReplyError(int code, const std::string& line, RemoteRefusal reason)
        : FtpError(line), code_(code), reason_(reason) {}
    int Code() const { return code_; }
    RemoteRefusal Reason() const { return reason_; }

private:
    int code_;
    RemoteRefusal reason_;
};

// "Socket Error # N" CR LF text, with the Winsock number mapped from errno.
class SocketError : public FtpError {
public:
    explicit SocketError(int winsockCode);
    // For failures without a Winsock text: the number and a text of our own.
    SocketError(int winsockCode, const std::string& text);
    int Code() const { return code_; }
    // The Winsock text of a number ("" for numbers without one).
    static std::string TextOf(int winsockCode);
    // The Winsock number of a Linux errno value; 0 when there is none.
    static int FromErrno(int err);
    // The error for a failed system call: the Winsock number and text when
    // errno has one, else errno itself with the C library's text.
    static SocketError OfErrno(int err);

private:
    int code_;
};

// TLS could not be set up or kept: refused AUTH TLS, a certificate that is
// not trusted, a data connection that cannot be secured. The session closes;
// it never falls back to clear text.
class TlsError : public FtpError {
public:
    using FtpError::FtpError;
};

class ConnClosedGracefullyError : public FtpError {
public:
    ConnClosedGracefullyError() : FtpError("Connection Closed Gracefully.") {}
};

class AlreadyConnectedError : public FtpError {
public:
    AlreadyConnectedError() : FtpError("Already connected.") {}
};

class FileAlreadyExistsError : public FtpError {
public:
    FileAlreadyExistsError() : FtpError("Destination file already exists.") {}
};

class NoDataToReadError : public FtpError {
public:
    NoDataToReadError() : FtpError("No data to read.") {}
};

// Failures of the SOCKS handshakes (texts fixed by the proxy code). The base
// class itself is raised for settings the protocol cannot carry.
class SocksError : public FtpError {
public:
    using FtpError::FtpError;
};

#define KV_SOCKS_ERROR(Name, Text)                                                                 \
    class Name : public SocksError {                                                               \
    public:                                                                                        \
        Name() : SocksError(Text) {}                                                               \
    };
// SOCKS 4 / 4A replies.
KV_SOCKS_ERROR(SocksRequestFailedError, "Request rejected or failed.")
KV_SOCKS_ERROR(SocksRequestServerFailedError,
               "Request rejected because SOCKS server cannot connect.")
KV_SOCKS_ERROR(SocksRequestIdentFailedError,
               "Request rejected because the client program and identd report different user-ids.")
KV_SOCKS_ERROR(SocksUnknownError, "Unknown socks error.")
// SOCKS 5 method choice, authentication and CONNECT replies.
KV_SOCKS_ERROR(SocksAuthMethodError, "Invalid socks authentication method.")
KV_SOCKS_ERROR(SocksAuthError, "Authentication error to socks server.")
KV_SOCKS_ERROR(SocksServerGeneralError, "General SOCKS server failure.")
KV_SOCKS_ERROR(SocksServerPermissionError, "Connection not allowed by ruleset.")
KV_SOCKS_ERROR(SocksServerNetUnreachableError, "Network unreachable.")
KV_SOCKS_ERROR(SocksServerHostUnreachableError, "Host unreachable.")
KV_SOCKS_ERROR(SocksServerConnectionRefusedError, "Connection refused.")
KV_SOCKS_ERROR(SocksServerTTLExpiredError, "TTL expired.")
KV_SOCKS_ERROR(SocksServerCommandError, "Command not supported.")
KV_SOCKS_ERROR(SocksServerAddressError, "Address type not supported.")
KV_SOCKS_ERROR(SocksServerRespondError, "Socks server did not respond.")
#undef KV_SOCKS_ERROR

// The server sent more than the session accepts (a reply line over 64 KiB, a
// reply of more than 1,000 lines, a listing over 256 MiB), or replies that
// cannot be matched to the commands sent.
class FtpLimitError : public FtpError {
public:
    using FtpError::FtpError;
};

// A command was started while another one of the same session still waits
// for its reply (only Abort, Disconnect and Noop may be called then).
class FtpBusyError : public FtpError {
public:
    FtpBusyError()
        : FtpError("The FTP session is still busy with another command; try again when it "
                   "has finished.") {}
};

// A command argument holding a line break or a zero byte would smuggle a
// second command onto the control connection; it is refused before anything
// is sent.
class FtpArgumentError : public FtpError {
public:
    using FtpError::FtpError;
};

} // namespace kv
