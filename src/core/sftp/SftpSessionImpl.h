#pragma once
// The inside of SftpSession, shared by its files: the SSH connection (libssh,
// non-blocking) and its "sftp" channel, the SFTP packet layer on it, the
// waits with their idle pump, the run of one operation, and the work events.
// SftpSession.cpp holds the public operations, the waits and the closing,
// SftpConnect.cpp the connection and login, SftpWire.cpp the requests and
// answers on the channel, SftpNames.cpp paths, listings, stats, renames and
// deletes, SftpTransfer.cpp downloads and uploads.
#include "sftp/SftpPacket.h"
#include "sftp/SftpSession.h"

#include "ftp/NetSocket.h"
#include "remote/ReentryGuard.h"
#include "remote/RemoteTransfer.h"

#include <libssh/libssh.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kv {

struct SftpSession::Impl {
    explicit Impl(SftpSession& s) : self(s) {}

    SftpSession& self;
    remote::Events* events = nullptr;
    remote::Events quiet;
    bool trace = false;

    // The TCP connection; libssh works on a duplicate of its descriptor
    // (libssh closes the one it was given).
    std::shared_ptr<net::NetSocket> socket;
    ssh_session ssh = nullptr;
    ssh_channel channel = nullptr; // the "sftp" subsystem, once open
    std::string peerText;          // the address reached, for the status texts
    std::string cwd;               // the current folder on the server (absolute)

    // The server's limits (limits@openssh.com), else version 3's 32 KiB.
    uint32_t readChunk = 32768;
    uint32_t writeChunk = 32768;

    // Where the session is.
    enum class Phase {
        Closed,   // no connection
        Opening,  // connecting and logging in (a connection test stays here)
        Ready,    // the SFTP channel answers requests
        Transfer, // a download or upload runs
        Aborting, // Abort asked the running transfer to stop
        Broken,   // the connection failed: only closing is left
        Closing,  // Disconnect ran during a wait: the operation ends, then closes
    };
    Phase phase = Phase::Closed;
    bool inOperation = false; // a public operation runs (remote::ReentryGuard)
    int64_t transfers = 0;    // remote files opened for a transfer so far

    remote::WorkEvents work{events};

    remote::Events& E() { return events ? *events : quiet; }
    net::Waiter MakeWaiter() { return net::Waiter(events, self.NetTimeOut); }
    void Status(const std::string& text) { E().Status(text); }
    void Trace(const std::string& text);
    int Fd() const { return socket ? socket->Descriptor() : -1; }
    bool Usable() const {
        return ssh &&
               (phase == Phase::Ready || phase == Phase::Transfer || phase == Phase::Aborting);
    }
    // Whether the connection is finished, by a failure or by Disconnect.
    bool Ended() const { return phase == Phase::Broken || phase == Phase::Closing; }

    // --- waiting (SftpSession.cpp) -------------------------------------------
    // Waits one slice with the idle pump until the socket is readable (or
    // writable, when libssh holds bytes to send). Throws
    // ConnClosedGracefullyError when the session was closed meanwhile,
    // SocketError 10060 once a time-out passed since `since` (the last
    // progress), whether or not the socket has bytes: SSH messages that
    // bring nothing never hold a wait open.
    void WaitSocket(net::Waiter& w, std::chrono::steady_clock::time_point since);
    // Calls f until it answers something other than `again` (libssh's
    // SSH_AGAIN, or SSH_AUTH_AGAIN for the logins).
    template <class F> int Retry(F&& f, int again, net::Waiter& w) {
        const auto since = std::chrono::steady_clock::now();
        for (;;) {
            CheckOpen();
            const int rc = f();
            if (rc != again)
                return rc;
            WaitSocket(w, since);
        }
    }
    // ConnClosedGracefullyError when the session can no longer be used.
    void CheckOpen() const;

    // --- failures (SftpSession.cpp) -------------------------------------------
    // The connection failed during `what`: it is finished and the error
    // thrown says why (socket errors 10054/10060 as over FTP).
    [[noreturn]] void Fail(const std::string& what);
    // The server refused `what` with an SFTP status: a ProtocolReplyError
    // with the FTP code it stands for.
    [[noreturn]] void Refused(uint32_t status, const std::string& what);
    // libssh's last error message.
    std::string LastError() const;

    // --- operations (SftpSession.cpp) ------------------------------------------
    // Runs one public operation: keeps the object alive, refuses re-entry,
    // and releases the SSH session once a failure or a Disconnect during the
    // operation has finished it.
    template <class F> auto Run(F&& body) -> decltype(body()) {
        remote::ReentryGuard guard(self, inOperation, [this] {
            if (Ended())
                Release();
        });
        return body();
    }
    // Frees the channel and the SSH session and closes the socket; the
    // Disconnected event follows when a connection was open.
    void Release();
    // Marks the connection finished: nothing more is sent on it.
    void Break();

    // --- work events ------------------------------------------------------------
    // count bytes moved; an abort from a handler ends the events of that call.
    void Work(WorkDirection d, int64_t count) {
        work.Moved(d, count, [this] { return phase == Phase::Aborting; });
    }

    // The Transfer phase, from the opening of the remote file to the end of
    // the transfer however it ends.
    struct TransferScope {
        Impl& i;
        explicit TransferScope(Impl& impl) : i(impl) {
            if (i.phase == Phase::Ready)
                i.phase = Phase::Transfer;
        }
        ~TransferScope() {
            if (i.phase == Phase::Transfer || i.phase == Phase::Aborting)
                i.phase = Phase::Ready;
        }
        TransferScope(const TransferScope&) = delete;
        TransferScope& operator=(const TransferScope&) = delete;
    };

    // --- connection and login (SftpConnect.cpp) ---------------------------------
    void Connect(bool login);
    void OpenSocket(net::Waiter& w);
    void Handshake(net::Waiter& w);
    void CheckHostKey();
    void Login(net::Waiter& w);
    void OpenSftp(net::Waiter& w);

    // --- SFTP requests and answers (SftpWire.cpp) --------------------------------
    struct Answer {
        uint8_t type = 0;
        std::string body; // after the type and id
    };
    std::string out; // packets not yet taken by the channel
    size_t outAt = 0;
    std::string in; // bytes received, not yet cut into packets
    size_t inAt = 0;
    std::vector<char> scratch; // what one read from the channel takes
    uint32_t nextId = 1;
    std::unordered_set<uint32_t> awaited; // answers still wanted
    std::unordered_map<uint32_t, Answer> answers;
    // A new request with the next id.
    sftp::Request NewRequest(uint8_t type) { return sftp::Request(type, nextId++); }
    // Queues a request and sends what the channel takes; its id.
    uint32_t Send(sftp::Request&& r);
    // Sends and receives what the connection allows without waiting; true
    // when bytes moved.
    bool Exchange();
    // Hands queued packets to the channel as far as its window allows.
    bool Push();
    // Whether the answer to id is in.
    bool Has(uint32_t id) const { return answers.count(id) != 0; }
    // Waits for the answer to id (in slices, with the idle pump). Fails with
    // SocketError 10060 after NetTimeOut seconds without progress on this
    // request, or when its progress stays below MinBytesPerSecond over a
    // whole NetTimeOut (a trickled answer).
    Answer Await(uint32_t id, net::Waiter& w);
    // The bytes that count as progress on the request id so far: all sent,
    // and those of its answer while it comes in.
    uint64_t ProgressOn(uint32_t id) const;
    uint64_t requestBytesSent = 0; // bytes of requests taken by the channel
    // The answer to id is no longer wanted (dropped when it comes).
    void Forget(uint32_t id);
    Answer Call(sftp::Request&& r, net::Waiter& w) { return Await(Send(std::move(r)), w); }
    // The status of an answer (kBadMessage for another packet type).
    static uint32_t StatusOf(const Answer& a);
    // An answer of another type than `type`: refused with its status, or a
    // failure of the connection for a malformed answer.
    void Expect(const Answer& a, uint8_t type, const std::string& what);
    // False with the status when the server answered with one, true when
    // it answered with `type` (anything else: as Expect).
    bool Answered(const Answer& a, uint8_t type, uint32_t& status, const std::string& what);
    // Clears the packet layer (a new connection starts without state).
    void ResetWire();

    // --- names (SftpNames.cpp) --------------------------------------------------
    // The server path of a name given relative to the current folder.
    std::string Path(const std::string& name) const;
    // The attributes of a path; false with the status when the server refused.
    bool Stat(const std::string& path, sftp::Attrs& attrs, uint32_t& status, net::Waiter& w);
    std::string RealPath(const std::string& path, net::Waiter& w);
    void List(std::vector<std::string>& dest, const std::string& specifier, bool details);
    RemoteListing ListFolder(const std::string& folder, const std::string& pattern,
                             bool onlyMatching);
    // Reads a folder's names with their attributes, hidden names left out,
    // within the listing limits.
    void ReadFolder(const std::string& folder, net::Waiter& w,
                    const std::function<void(const std::string&, const sftp::Attrs&)>& take);
    void Rename(const std::string& from, const std::string& to, net::Waiter& w);
    void Delete(const std::string& name, net::Waiter& w);
    SizeAnswer SizeOf(const std::string& name, std::string* time, net::Waiter& w);
    // Opens a file or folder; false with the status when the server refused.
    bool Open(const std::string& path, uint8_t type, uint32_t flags, uint32_t mode,
              std::string& handle, uint32_t& status, net::Waiter& w);
    // Closes a remote handle; its answer counts (an upload is whole only then).
    void CloseHandle(const std::string& handle, const std::string& what, net::Waiter& w);
    // CloseHandle on the way out of a failed operation, while still usable.
    void CloseQuietly(const std::string& handle, const std::string& what, net::Waiter& w);

    // --- transfers (SftpTransfer.cpp) -------------------------------------------
    GetResult Get(const std::string& remoteName, const std::string& localName, bool overwrite,
                  int64_t* remoteSize, std::string* remoteTime, int64_t expectedSize);
    // Uploads into a remote file opened with flags; with exclusive, a name
    // taken answers false (nothing sent).
    bool Put(const std::string& localName, const std::string& remoteName, uint32_t flags,
             bool exclusive);
};

} // namespace kv
