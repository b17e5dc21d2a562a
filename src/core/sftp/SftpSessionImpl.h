#pragma once
// The inside of SftpSession, shared by its files: the SSH connection and the
// SFTP channel, the waits with their idle pump, the run of one operation, and
// the work events. SftpSession.cpp holds the public operations and the
// closing, SftpConnect.cpp the connection and login, SftpNames.cpp paths,
// listings, stats, renames and deletes, SftpTransfer.cpp downloads and uploads.
#include "sftp/SftpSession.h"

#include "ftp/NetSocket.h"
#include "remote/RemoteTransfer.h"

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace kv {

struct SftpSession::Impl {
    explicit Impl(SftpSession& s) : self(s) {}

    SftpSession& self;
    remote::Events* events = nullptr;
    remote::Events quiet;
    bool trace = false;

    // The TCP connection; libssh2 works on its descriptor.
    std::shared_ptr<net::NetSocket> socket;
    LIBSSH2_SESSION* ssh = nullptr;
    LIBSSH2_SFTP* sftp = nullptr;
    // Every block libssh2 holds for this session. libssh2 never frees the
    // file handles of a connection that failed mid-transfer (with up to an
    // upload window of data each), so what is left after the session is
    // freed goes here; a service dropped once per cycle would grow forever.
    std::unordered_set<void*> sshBlocks;
    std::string peerText; // the address reached, for the status texts
    std::string cwd;      // the current folder on the server (absolute)

    int depth = 0;              // operations running
    bool closedLocally = false; // Disconnect ran during a wait
    bool broken = false;        // the connection failed: only closing is left
    bool aborting = false;      // Abort during a transfer
    int64_t transfers = 0;      // remote files opened for a transfer so far

    remote::WorkEvents work{events};

    remote::Events& E() { return events ? *events : quiet; }
    net::Waiter MakeWaiter() { return net::Waiter(events, self.NetTimeOut); }
    void Status(const std::string& text) { E().Status(text); }
    void Trace(const std::string& text);
    int Fd() const { return socket ? socket->Descriptor() : -1; }
    bool Usable() const { return ssh && sftp && !broken && !closedLocally; }

    // --- waiting (SftpSession.cpp) -------------------------------------------
    // Waits, in slices with the idle pump, until the socket is ready the way
    // libssh2 asked. Throws ConnClosedGracefullyError when the session was
    // closed meanwhile, SocketError 10060 after a time-out without progress.
    void WaitSocket(net::Waiter& w, std::chrono::steady_clock::time_point since);
    // Calls f until it answers something other than "would block".
    template <class F> auto Retry(F&& f, net::Waiter& w) -> decltype(f()) {
        const auto since = std::chrono::steady_clock::now();
        for (;;) {
            CheckOpen();
            auto rc = f();
            if (rc != LIBSSH2_ERROR_EAGAIN)
                return rc;
            WaitSocket(w, since);
        }
    }
    // The same for calls that answer a pointer (null: failed or would block).
    template <class T, class F> T* RetryPointer(F&& f, net::Waiter& w) {
        const auto since = std::chrono::steady_clock::now();
        for (;;) {
            CheckOpen();
            T* p = f();
            if (p || libssh2_session_last_errno(ssh) != LIBSSH2_ERROR_EAGAIN)
                return p;
            WaitSocket(w, since);
        }
    }
    // ConnClosedGracefullyError when the session can no longer be used.
    void CheckOpen() const;

    // --- failures (SftpSession.cpp) -------------------------------------------
    // For a libssh2 call that failed with rc: the server's refusal
    // (ProtocolReplyError with the SFTP status) when it answered, else the
    // connection is finished and the error thrown says why.
    [[noreturn]] void Fail(int rc, const std::string& what);
    // libssh2's last error message.
    std::string LastError() const;

    // --- operations (SftpSession.cpp) ------------------------------------------
    // Runs one public operation: keeps the object alive, refuses re-entry,
    // and releases the SSH session once a failure or a Disconnect during the
    // operation has finished it.
    template <class F> auto Run(F&& body) -> decltype(body()) {
        auto keep = self.weak_from_this().lock();
        if (depth > 0)
            throw FtpBusyError();
        ++depth;
        struct Depth {
            Impl& i;
            ~Depth() {
                if (--i.depth == 0 && (i.broken || i.closedLocally))
                    i.Release();
            }
        } guard{*this};
        return body();
    }
    // Frees the SFTP channel and the SSH session and closes the socket; the
    // Disconnected event follows when a connection was open.
    void Release();
    // Marks the connection finished: nothing more is sent on it.
    void Break();

    // --- work events ------------------------------------------------------------
    // count bytes moved; an abort from a handler ends the events of that call.
    void Work(WorkDirection d, int64_t count) {
        work.Moved(d, count, [this] { return aborting; });
    }

    // --- connection and login (SftpConnect.cpp) ---------------------------------
    void Connect(bool login);
    // libssh2's allocator for this session, recording each block.
    static void* SshAlloc(size_t size, void** abstract);
    static void* SshRealloc(void* block, size_t size, void** abstract);
    static void SshFree(void* block, void** abstract);
    void FreeLeftBlocks();
    void OpenSocket(net::Waiter& w);
    void Handshake(net::Waiter& w);
    void CheckHostKey();
    void Login(net::Waiter& w);
    void OpenSftp(net::Waiter& w);

    // --- names (SftpNames.cpp) --------------------------------------------------
    // The server path of a name given relative to the current folder.
    std::string Path(const std::string& name) const;
    // The attributes of a path; false with the status when the server refused.
    bool Stat(const std::string& path, LIBSSH2_SFTP_ATTRIBUTES& attrs, unsigned long& status,
              net::Waiter& w);
    std::string RealPath(const std::string& path, net::Waiter& w);
    void List(std::vector<std::string>& dest, const std::string& specifier, bool details);
    void Rename(const std::string& from, const std::string& to, net::Waiter& w);
    void Delete(const std::string& name, net::Waiter& w);
    SizeAnswer SizeOf(const std::string& name, std::string* time, net::Waiter& w);

    // --- transfers (SftpTransfer.cpp) -------------------------------------------
    GetResult Get(const std::string& remoteName, const std::string& localName, bool overwrite,
                  int64_t* remoteSize, std::string* remoteTime, int64_t expectedSize);
    // Uploads into a remote file opened with flags; with exclusive, a name
    // taken answers false (nothing sent).
    bool Put(const std::string& localName, const std::string& remoteName, unsigned long flags,
             bool exclusive);
    // Closes a remote file; its answer counts (an upload is whole only then).
    void CloseHandle(LIBSSH2_SFTP_HANDLE* h, const std::string& what, net::Waiter& w);
};

} // namespace kv
