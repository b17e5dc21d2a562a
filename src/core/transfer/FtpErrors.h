#pragma once
// Errors of the FTP session and the SOCKS handshakes. Messages are exactly the
// texts the program logs; the cycles look for "Socket Error" in them.
#include "util/Errors.h"

#include <string>

namespace kv {

// Base of every session failure.
class FtpError : public KvError {
public:
    using KvError::KvError;
};

// A reply code outside the accepted list: the message is the whole last reply line.
class ProtocolReplyError : public FtpError {
public:
    ProtocolReplyError(int code, const std::string& line) : FtpError(line), code_(code) {}
    int Code() const { return code_; }

private:
    int code_;
};

// "Socket Error # N" CR LF text, with the Winsock number mapped from errno.
class SocketError : public FtpError {
public:
    explicit SocketError(int winsockCode);
    int Code() const { return code_; }
    // The Winsock text of a number ("" for numbers without one).
    static std::string TextOf(int winsockCode);
    // The Winsock number of a Linux errno value.
    static int FromErrno(int err);

private:
    int code_;
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

// Failures of the SOCKS handshakes (texts fixed by the proxy code).
class SocksError : public FtpError {
public:
    using FtpError::FtpError;
};

} // namespace kv
