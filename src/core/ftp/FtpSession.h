#pragma once
// The FTP client session: one control connection (directly or through a SOCKS
// 4, 4A or 5 proxy), the commands the transfer cycles use, and one data
// connection per transfer. Every wait is cut into 50 ms slices with the idle
// pump of its events in between. Every command sent enters one queue with the
// replies it can have, and replies are matched to it in order: a reply no
// command waiting can have (a server's second "226") is traced and skipped,
// never taken for the next command's.
#include "ftp/FtpErrors.h"
#include "ftp/FtpEvents.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace kv {

enum class TransferType { Binary = 0, Ascii = 1 };
enum class SocksVersion { None = 0, Socks4 = 1, Socks4A = 2, Socks5 = 3 };
enum class SocksAuthentication { None = 0, UserPassword = 1 };

struct ProxySettings {
    SocksVersion Version = SocksVersion::None;
    SocksAuthentication Authentication = SocksAuthentication::None;
    std::string Host;
    int Port = 0;
    std::string UserID;
    std::string Password;
};

// How a download ended.
struct GetResult {
    int64_t Bytes = 0;     // bytes written to the local file
    bool Complete = false; // false when aborted, or the server ended it with 426
};

// Owners hold the session in a std::shared_ptr: a running operation keeps the
// object alive when the idle pump releases it during a wait, and ends with an
// error instead of touching freed memory.
class FtpSession : public std::enable_shared_from_this<FtpSession> {
public:
    FtpSession();
    ~FtpSession();
    FtpSession(const FtpSession&) = delete;
    FtpSession& operator=(const FtpSession&) = delete;

    // Settings, set before Connect.
    std::string Host;
    int Port = 21;
    std::string User;
    std::string Password;
    bool Passive = false;
    TransferType Type = TransferType::Binary;
    ProxySettings Proxy;
    std::string BoundIP;
    // Seconds without progress before a wait fails with socket error 10060
    // (connecting, a reply, a data read or write); 300 when not positive.
    int NetTimeOut = 300;
    // A transfer or listing that moves fewer bytes a second than this, over a
    // whole NetTimeOut, fails (a server that trickles cannot hold a run for
    // hours); 0 switches the floor off.
    int64_t MinBytesPerSecond = 1024;
    // Phase changes of the session go to the trace too.
    bool TracePhases = false;
    // Largest listing accepted, in bytes; a larger one fails with FtpLimitError.
    int64_t MaxListingBytes = 256LL * 1024 * 1024;
    // Explicit FTPS: AUTH TLS right after the greeting (before the login),
    // PBSZ 0 and PROT P, and every data connection TLS too, resuming the
    // control connection's TLS session. Any failure to secure a connection
    // fails with TlsError and closes the session: never a fall-back to clear text.
    bool UseTls = false;
    // PEM file of trusted certificates; empty: the system's store.
    std::string TlsCAFile;
    // SHA-256 fingerprint of the server's certificate (64 hex digits, colons
    // and letter case ignored); when set, the certificate is pinned to it
    // instead of being checked against a store.
    std::string TlsFingerprint;
    // When above 0, a download starts the disk write-back of its local file
    // every this many bytes (sync_file_range), so that a flush at its end
    // has little left to write. 0: the kernel decides when.
    int64_t WriteBackBytes = 0;

    // Events go to events (none: dropped); trace lines only while tracing is on.
    void SetEvents(ftp::Events* events);
    void SetTraceEnabled(bool on);

    void Connect(bool login = true);
    void SetTransferType(TransferType type);
    void ChangeDir(const std::string& folder);
    void ChangeDirUp();
    std::string RetrieveCurrentDir();
    // A listing cut short (426 or Abort) fails; dest changes only on success.
    void List(std::vector<std::string>& dest, const std::string& specifier, bool details = true);
    // Complete is false when Abort cut the download short or the server ended
    // it with 426; the local file then holds the bytes received so far.
    // With remoteSize, the file's SIZE is asked first, in the same round trip
    // as the passive-mode command where possible; the answer (-1: none) is
    // stored there before the transfer starts.
    // With remoteTime as well, the file's MDTM goes with the SIZE (empty: no
    // answer). A download that passes maxBytes (when not negative) is stopped
    // and fails with FtpLimitError: a server may not fill the disk with a
    // file that never ends.
    GetResult Get(const std::string& remoteName, const std::string& localName, bool overwrite,
                  int64_t* remoteSize = nullptr, std::string* remoteTime = nullptr,
                  int64_t maxBytes = -1);
    // An upload the server ends with 426 fails with that reply; an aborted one
    // with ConnClosedGracefullyError. Either way the session stays in step.
    void Put(const std::string& localName, const std::string& remoteName, bool append = false);
    struct SizeAnswer {
        int64_t size = -1;
        int code = 0;
    };
    // Uploads to remoteName only when the server holds nothing under any of
    // absentNames: their SIZE queries go in the same write as the passive-
    // mode command where possible. Returns the answers (in order); the upload
    // ran exactly when every answer is 550.
    std::vector<SizeAnswer> PutIfAbsent(const std::string& localName, const std::string& remoteName,
                                        const std::vector<std::string>& absentNames);
    // RNFR and RNTO are sent together (one round trip); a refused RNFR makes
    // the server refuse the RNTO too, and its reply is the one thrown.
    void Rename(const std::string& oldName, const std::string& newName);
    void Delete(const std::string& remoteName);
    // DELE of each name, sent together and the replies read in turn (one
    // round trip). results gets, name by name, null when deleted or the
    // refusal; a failure that ends the session is thrown, results then
    // holding the names answered before it.
    void Delete(const std::vector<std::string>& remoteNames,
                std::vector<std::exception_ptr>& results);
    // RNFR and RNTO of each pair, all sent together and the replies read in
    // turn (one round trip). results gets, pair by pair, null when renamed or
    // the refusal (the RNFR's when it was refused); a failure that ends the
    // session is thrown, results then holding the pairs answered before it.
    void Rename(const std::vector<std::pair<std::string, std::string>>& pairs,
                std::vector<std::exception_ptr>& results);
    // What a remote file looks like now: its size (-1 without a 213 answer,
    // with the reply's code) and its modification time (MDTM; empty without
    // one). The queries of all names go together, in binary type (the
    // session's type comes back after).
    struct Stamp {
        int64_t size = -1;
        int sizeCode = 0;
        std::string time;
    };
    std::vector<Stamp> Stamps(const std::vector<std::string>& remoteNames);
    int64_t Size(const std::string& remoteName);
    // SIZE of each name, the queries sent together and their replies read in
    // turn (one round trip): the size, or -1 with the reply's code.
    std::vector<SizeAnswer> Sizes(const std::vector<std::string>& remoteNames);
    // Does nothing while another command of this session waits for its reply.
    void Noop();
    // Sends queries whose replies a later operation will want (SIZE, MDTM,
    // PASV or NOOP commands, as "SIZE name"): that operation takes their
    // replies instead of sending them again, so it saves their round trip.
    // An operation that sends anything else first reads and drops them.
    void SendAhead(const std::vector<std::string>& commands);
    // Stops the running transfer (called from a work event): sends ABOR and
    // closes the data connection. Does nothing when no transfer runs.
    void Abort();
    void Disconnect();
    bool Connected() const;

    // True while a command waits for its reply (the keep-alive skips then).
    bool Busy() const;
    // Transfer commands (STOR, RETR, LIST...) handed to the connection so
    // far: after a failure, whether the server may have begun one (an upload
    // may have left a file behind even when no reply came).
    int64_t TransferCommandsSent() const;
    int LastReplyCode() const;
    const std::vector<std::string>& LastReplyLines() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kv
