#pragma once
// The SFTP client session: one SSH connection (directly or through a SOCKS 4,
// 4A or 5 proxy) to a server whose host key is pinned, a password or key
// login (libssh), and the SFTP protocol (version 3, with many requests in
// flight) for the operations the transfer cycles use. Every wait is cut into
// 50 ms slices with the idle pump of its events in between. Refusals are
// ProtocolReplyError with the code an FTP server would give (550 no such
// file, 553 not allowed, 451 a failure of the server), the SFTP status text
// as their message.
#include "remote/RemoteSession.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kv {

class SftpSession final : public RemoteSession {
public:
    SftpSession();
    ~SftpSession() override;
    SftpSession(const SftpSession&) = delete;
    SftpSession& operator=(const SftpSession&) = delete;

    // SFTP's own settings, set before Connect (the common ones are the base's;
    // Port 22 is the usual one).
    //
    // The pinned host key: its SHA-256 fingerprint as "ssh-keygen -l -E
    // sha256" prints it ("SHA256:" and 43 base64 characters). A server
    // presenting another key is refused before any login is sent.
    std::string HostKey;
    // Asked with the server's fingerprint and key type when HostKey is empty;
    // true accepts the key for this connection (the caller pins it). Without
    // it an unpinned key is refused.
    std::function<bool(const std::string& fingerprint, const std::string& keyType)> AcceptHostKey;
    // A private key file (OpenSSH or PEM format) for a key login instead of
    // the password, and its passphrase (empty: none). A refused key ends the
    // connection: the password is never tried instead.
    std::string KeyFile;
    std::string KeyPassword;

    void SetEvents(remote::Events* events) override;
    void SetTraceEnabled(bool on) override;

    void Connect(bool login = true) override;
    // SFTP moves bytes unchanged: the type is only kept (ASCII files go as
    // they are).
    void SetTransferType(TransferType type) override;
    // The folder is checked on the server; relative names of later calls are
    // taken from it.
    void ChangeDir(const std::string& folder) override;
    void ChangeDirUp() override;
    std::string RetrieveCurrentDir() override;
    // Lines in the UNIX "ls -l" form made from each entry's attributes; a last
    // path part with "*", "?" or "[" is a pattern over the names of its folder.
    // Names starting with "." are left out, as "ls" and FTP servers do.
    void List(std::vector<std::string>& dest, const std::string& specifier,
              bool details = true) override;
    // Entries straight from each name's attributes (a size or time the
    // server leaves out stays unknown); names starting with "." are left
    // out, as above.
    RemoteListing ListFolder(const std::string& folder, const std::string& pattern,
                             bool onlyMatching = false) override;
    // Reads to the server's end of file with several requests in flight.
    GetResult Get(const std::string& remoteName, const std::string& localName, bool overwrite,
                  int64_t* remoteSize = nullptr, std::string* remoteTime = nullptr,
                  int64_t expectedSize = -1) override;
    void Put(const std::string& localName, const std::string& remoteName,
             bool append = false) override;
    // remoteName is created exclusively (it is never replaced): a name taken
    // there answers 213 with its size. The other names are asked by stat.
    std::vector<SizeAnswer> PutIfAbsent(const std::string& localName, const std::string& remoteName,
                                        const std::vector<std::string>& absentNames) override;
    // SFTP's rename refuses to replace an existing file (the POSIX rename
    // extension, which replaces, is never used).
    void Rename(const std::string& oldName, const std::string& newName) override;
    void Rename(const std::vector<std::pair<std::string, std::string>>& pairs,
                std::vector<std::exception_ptr>& results) override;
    void Delete(const std::string& remoteName) override;
    void Delete(const std::vector<std::string>& remoteNames,
                std::vector<std::exception_ptr>& results) override;
    std::vector<Stamp> Stamps(const std::vector<std::string>& remoteNames) override;
    int64_t Size(const std::string& remoteName) override;
    std::vector<SizeAnswer> Sizes(const std::vector<std::string>& remoteNames) override;
    // A stat of the current folder: the server must answer.
    void Noop() override;
    void Abort() override;
    void Disconnect() override;
    bool Connected() const override;
    bool Busy() const override;
    int64_t TransferCommandsSent() const override;
    bool RenameKeepsExisting() const override { return true; }

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace kv
