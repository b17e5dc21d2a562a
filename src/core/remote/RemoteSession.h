#pragma once
// The file-transfer session the transfer cycles work with, whatever the
// protocol under it (FTP, explicit FTPS, SFTP): folders, typed listings
// (and FTP-style text listings), sizes and times, download, upload, renames and deletes
// (several at once where the protocol lets their answers be awaited together),
// keep-alive and abort. Every wait runs the events' idle pump in slices.
// Failures are the error types of RemoteErrors.h; a server's refusal is a
// ProtocolReplyError carrying the code an FTP server would give it.
#include "remote/RemoteErrors.h"
#include "remote/RemoteEvents.h"
#include "remote/RemoteListing.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>
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
    bool Complete = false; // false when aborted, or the server ended it early
};

// Owners hold a session in a std::shared_ptr: a running operation keeps the
// object alive when the idle pump releases it during a wait, and ends with an
// error instead of touching freed memory.
class RemoteSession : public std::enable_shared_from_this<RemoteSession> {
public:
    virtual ~RemoteSession() = default;

    // Settings, set before Connect.
    std::string Host;
    int Port = 21;
    std::string User;
    std::string Password;
    TransferType Type = TransferType::Binary;
    ProxySettings Proxy;
    // Seconds without progress before a wait fails with socket error 10060;
    // 300 when not positive.
    int NetTimeOut = 300;
    // A transfer or listing that moves fewer bytes a second than this, over a
    // whole NetTimeOut, fails; 0 switches the floor off.
    int64_t MinBytesPerSecond = 1024;
    // Largest listing accepted, in bytes; a larger one fails with FtpLimitError.
    int64_t MaxListingBytes = 256LL * 1024 * 1024;
    // When above 0, a download starts the disk write-back of its local file
    // every this many bytes, so that a flush at its end has little left.
    int64_t WriteBackBytes = 0;

    // Events go to events (none: dropped); trace lines only while tracing is on.
    virtual void SetEvents(remote::Events* events) = 0;
    virtual void SetTraceEnabled(bool on) = 0;

    virtual void Connect(bool login = true) = 0;
    // FTP's transfer type; nothing else changes bytes on the way.
    virtual void SetTransferType(TransferType type) = 0;
    virtual void ChangeDir(const std::string& folder) = 0;
    virtual void ChangeDirUp() = 0;
    virtual std::string RetrieveCurrentDir() = 0;
    // Lines in the UNIX "ls -l" form (details) or bare names. A listing cut
    // short fails; dest changes only on success.
    virtual void List(std::vector<std::string>& dest, const std::string& specifier,
                      bool details = true) = 0;
    // Every entry of folder, those whose names match pattern ("*.*") first.
    // With onlyMatching, only
    // those that match (one listing where the protocol allows). Fails when
    // no way of listing the folder works (with the server's last refusal).
    virtual RemoteListing ListFolder(const std::string& folder, const std::string& pattern,
                                     bool onlyMatching = false) = 0;
    // Complete is false when Abort cut the download short or the server ended
    // it early; the local file then holds the bytes received so far. With
    // remoteSize (and remoteTime) the file's size (and modification time) are
    // asked too, as cheaply as the protocol allows (-1 / empty: no answer). A
    // download that passes the file's size (that answer, else expectedSize
    // when not negative; in ASCII type twice that) is stopped with
    // FtpLimitError.
    virtual GetResult Get(const std::string& remoteName, const std::string& localName,
                          bool overwrite, int64_t* remoteSize = nullptr,
                          std::string* remoteTime = nullptr, int64_t expectedSize = -1) = 0;
    // An upload the server ends early fails; so does an aborted one.
    virtual void Put(const std::string& localName, const std::string& remoteName,
                     bool append = false) = 0;
    struct SizeAnswer {
        int64_t size = -1;
        int code = 0; // 213: the size is known; 550: no such file; other: it says nothing
        RemoteRefusal refusal = RemoteRefusal::None; // why there is no size, by protocol
        bool Missing() const { return refusal == RemoteRefusal::NoSuchFile; }
    };
    // Uploads to remoteName only when nothing is under any of absentNames.
    // Returns the answers of those names (in order); the upload ran exactly
    // when every answer is 550.
    virtual std::vector<SizeAnswer> PutIfAbsent(const std::string& localName,
                                                const std::string& remoteName,
                                                const std::vector<std::string>& absentNames) = 0;
    // A rename that never replaces a file under the new name where the
    // protocol can promise it (see RenameKeepsExisting).
    virtual void Rename(const std::string& oldName, const std::string& newName) = 0;
    // Each pair renamed; results gets, pair by pair, null when renamed or the
    // refusal; a failure that ends the session is thrown, results then
    // holding the pairs answered before it.
    virtual void Rename(const std::vector<std::pair<std::string, std::string>>& pairs,
                        std::vector<std::exception_ptr>& results) = 0;
    virtual void Delete(const std::string& remoteName) = 0;
    // As the renames: results name by name, null when deleted.
    virtual void Delete(const std::vector<std::string>& remoteNames,
                        std::vector<std::exception_ptr>& results) = 0;
    // What a remote file looks like now: its size (-1 without a known size,
    // with the code) and modification time (empty: none).
    struct Stamp {
        int64_t size = -1;
        int sizeCode = 0; // 0: no answer
        RemoteRefusal sizeRefusal = RemoteRefusal::None;
        std::string time;
        bool Missing() const { return sizeRefusal == RemoteRefusal::NoSuchFile; }
    };
    virtual std::vector<Stamp> Stamps(const std::vector<std::string>& remoteNames) = 0;
    virtual int64_t Size(const std::string& remoteName) = 0;
    virtual std::vector<SizeAnswer> Sizes(const std::vector<std::string>& remoteNames) = 0;
    // Keep-alive; does nothing while another operation waits.
    virtual void Noop() = 0;
    // Stops the running transfer (called from a work event).
    virtual void Abort() = 0;
    virtual void Disconnect() = 0;
    virtual bool Connected() const = 0;
    // True while an operation runs (the keep-alive skips then).
    virtual bool Busy() const = 0;
    // Transfers begun so far: after a failure, whether the server may have
    // begun one (an upload may have left a file behind even without an answer).
    virtual int64_t TransferCommandsSent() const = 0;
    // True when Rename never replaces a file under the new name but is
    // refused instead (SFTP): a free name need not be probed for beforehand.
    virtual bool RenameKeepsExisting() const { return false; }
};

} // namespace kv
