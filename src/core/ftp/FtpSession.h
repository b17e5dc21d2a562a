#pragma once
// The FTP client session: one control connection (directly or through a SOCKS
// 4, 4A or 5 proxy), the commands the transfer cycles use, and one data
// connection per transfer. Every wait is cut into 50 ms slices with the idle
// pump of its events in between. Every command sent enters one queue with the
// replies it can have, and replies are matched to it in order: a reply no
// command waiting can have (a server's second "226") is traced and skipped,
// never taken for the next command's.
#include "remote/RemoteSession.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace kv {

class FtpSession final : public RemoteSession {
public:
    FtpSession();
    ~FtpSession();
    FtpSession(const FtpSession&) = delete;
    FtpSession& operator=(const FtpSession&) = delete;

    // FTP's own settings, set before Connect (the common ones are the base's).
    bool Passive = false;
    std::string BoundIP;
    // Phase changes of the session go to the trace too.
    bool TracePhases = false;
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

    // Events go to events (none: dropped); trace lines only while tracing is on.
    void SetEvents(remote::Events* events) override;
    void SetTraceEnabled(bool on) override;

    void Connect(bool login = true) override;
    void SetTransferType(TransferType type) override;
    void ChangeDir(const std::string& folder) override;
    void ChangeDirUp() override;
    std::string RetrieveCurrentDir() override;
    // A listing cut short (426 or Abort) fails; dest changes only on success.
    void List(std::vector<std::string>& dest, const std::string& specifier,
              bool details = true) override;
    // MLSD where FEAT offers it; else LIST of folder/pattern completed by LIST
    // of the folder, the latter filtered by the pattern when the server
    // refuses the pattern.
    RemoteListing ListFolder(const std::string& folder, const std::string& pattern,
                             bool onlyMatching = false) override;
    // With remoteSize, the file's SIZE is asked first, in the same round trip
    // as the passive-mode command where possible (and MDTM with remoteTime).
    GetResult Get(const std::string& remoteName, const std::string& localName, bool overwrite,
                  int64_t* remoteSize = nullptr, std::string* remoteTime = nullptr,
                  int64_t expectedSize = -1) override;
    // An upload the server ends with 426 fails with that reply; an aborted one
    // with ConnClosedGracefullyError. Either way the session stays in step.
    void Put(const std::string& localName, const std::string& remoteName,
             bool append = false) override;
    // The SIZE queries of absentNames go in the same write as the PASV.
    std::vector<SizeAnswer> PutIfAbsent(const std::string& localName, const std::string& remoteName,
                                        const std::vector<std::string>& absentNames) override;
    // RNFR and RNTO of each pair, all sent together and the replies read in
    // turn (one round trip); a refused RNFR makes the server refuse the RNTO
    // too, and its reply is the one reported. FTP may replace a file under
    // the new name: callers check the name is free first.
    void Rename(const std::string& oldName, const std::string& newName) override;
    void Rename(const std::vector<std::pair<std::string, std::string>>& pairs,
                std::vector<std::exception_ptr>& results) override;
    // DELE of each name, sent together and the replies read in turn.
    void Delete(const std::string& remoteName) override;
    void Delete(const std::vector<std::string>& remoteNames,
                std::vector<std::exception_ptr>& results) override;
    // SIZE and MDTM of all names in one round trip, in binary type (the
    // session's type comes back after).
    std::vector<Stamp> Stamps(const std::vector<std::string>& remoteNames) override;
    int64_t Size(const std::string& remoteName) override;
    // SIZE of each name, sent together: the size, or -1 with the reply's code.
    std::vector<SizeAnswer> Sizes(const std::vector<std::string>& remoteNames) override;
    void Noop() override;
    // Sends queries whose replies a later operation will want (SIZE, MDTM,
    // PASV or NOOP commands, as "SIZE name"): that operation takes their
    // replies instead of sending them again, so it saves their round trip.
    // An operation that sends anything else first reads and drops them.
    void SendAhead(const std::vector<std::string>& commands);
    // Sends ABOR and closes the data connection (called from a work event).
    // Does nothing when no transfer runs.
    void Abort() override;
    void Disconnect() override;
    bool Connected() const override;
    bool Busy() const override;
    int64_t TransferCommandsSent() const override;
    int LastReplyCode() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kv
