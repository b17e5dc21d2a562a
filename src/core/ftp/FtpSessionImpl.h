#pragma once
// The inside of FtpSession, shared by the files that implement it by
// operation: FtpControl (commands and replies), FtpLogon (connecting, TLS,
// login), FtpTransfer (data connections and the generic transfer),
// FtpListing, FtpDownload and FtpUpload. Used only within src/core/ftp.
#include "ftp/FtpReply.h"
#include "ftp/FtpSession.h"
#include "ftp/NetSocket.h"
#include "ftp/Tls.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace kv {

inline constexpr size_t kChunk = 32768;
// Pipe capacity asked for downloads (the unprivileged limit by default).
inline constexpr int kSpliceBytes = 1 << 20;

// A command argument must stay one line: a line break would smuggle a second
// command onto the control connection.
void CheckArgument(const std::string& value, const std::string& what, bool showValue = true);

std::string ErrnoMessage(int err);

// A file descriptor closed when the operation ends, also on failure.
struct FileGuard {
    int fd = -1;
    ~FileGuard() {
        if (fd >= 0)
            ::close(fd);
    }
};

struct FtpSession::Impl {
    explicit Impl(FtpSession& s) : self(s), chunk(kChunk) {}

    FtpSession& self;
    kv::Host* host = nullptr;
    kv::Host quietHost; // stands in while no host is set
    bool trace = false;

    std::unique_ptr<tls::Context> tlsContext; // with UseTls, from Connect on
    net::NetSocket control;
    std::string inbuf;       // received control bytes not yet consumed
    bool peerClosed = false; // the server closed the control connection
    bool closing = false;
    net::Address peer; // where the control connection goes (the proxy, with one)
    std::string peerText;
    std::string proxyTarget; // the FTP host as the proxy is asked for it

    int lastCode = 0;
    std::vector<std::string> lastLines;

    // The running transfer. Abort and Disconnect close these sockets; the
    // transfer code holds its own references so nothing is freed under it.
    std::shared_ptr<net::NetSocket> data;
    std::shared_ptr<net::NetSocket> listener;
    bool transferRunning = false;
    bool aborted = false;      // ABOR went out for the running transfer
    bool aborDeferred = false; // Abort came while a command was half sent
    bool sending = false;
    bool completionPending = false; // the server owes the transfer's final reply
    bool keepOpen = false;          // the failing operation left the session in step
    // The SIZE queries and PASV of an upload, sent ahead with a rename
    // (RenameThenAsk); their replies are still owed. The upload with those
    // names reads them; any other command reads and drops them first.
    std::vector<std::string> askedAhead;
    bool askedAheadOwed = false;
    int depth = 0; // operations running (more than one: re-entry)
    // Transfer commands (RETR, STOR, LIST...) handed to the connection so far.
    int64_t transferCommands = 0;

    struct WorkState {
        int level = 0;
        int64_t size = 0;
        int64_t total = 0;
    } work[2];

    std::vector<char> chunk;

    kv::Host& H() { return host ? *host : quietHost; }
    net::Waiter MakeWaiter() { return net::Waiter(host, self.NetTimeOut); }
    bool ControlUsable() const { return control.IsOpen() && !peerClosed; }

    void Status(const std::string& text) { H().FtpStatus(text); }
    void Trace(const std::string& text) {
        if (trace)
            H().FtpTrace(ftp::TraceLine(ftp::TraceStamp(), text));
    }

    // --- work events (FtpTransfer.cpp) ---------------------------------------
    void WorkBegin(WorkDirection d, int64_t size);
    // One event per chunk of at most kChunk bytes, however many bytes one
    // call moved: hosts see the same steps whatever the transfer path. An
    // abort from a handler ends the events of that call.
    void Work(WorkDirection d, int64_t count);
    void WorkEnd(WorkDirection d);
    struct WorkScope {
        Impl& impl;
        WorkDirection dir;
        WorkScope(Impl& i, WorkDirection d, int64_t size) : impl(i), dir(d) {
            impl.WorkBegin(d, size);
        }
        ~WorkScope() {
            try {
                impl.WorkEnd(dir);
            } catch (...) {
                // A failing host handler must not hide the operation's own result.
            }
        }
    };

    // --- closing (FtpControl.cpp; the splice pipe: FtpDownload.cpp) --------------
    void CloseData();

    // The pipe downloads splice through, kept for the session (one pipe and
    // its resizing per file cost more than a small file's bytes). Empty
    // between downloads. False when no pipe can be made.
    FileGuard splicePipe[2];
    size_t splicePipeBytes = kChunk;
    bool OpenSplicePipe();
    void DropSplicePipe();

    void CloseControl();

    // --- control connection (FtpControl.cpp) ---------------------------------
    void SendRaw(const std::string& line, const char* traced);

    void SendCommand(const std::string& command) { SendRaw(command + "\r\n", nullptr); }

    // Several commands in one write; their replies are read in turn.
    void SendCommands(const std::vector<std::string>& commands);

    // RFC 2428's commands on IPv6, where PASV and PORT cannot name an
    // address; IPv4 keeps the wire it always had.
    bool Extended() const {
        return self.Proxy.Version == SocksVersion::None && peer.Family() == AF_INET6;
    }
    bool PassiveWithPasv() const { return self.Passive && !Extended(); }

    // "SIZE " + name for each name (and "MDTM " + name after each with
    // times), each checked as a remote file name.
    static std::vector<std::string> SizeCommands(const std::vector<std::string>& names,
                                                 bool times = false);
    // Reads the reply to one MDTM: the time on 213, else empty.
    std::string ReadTimeAnswer();
    // Reads the reply to one SIZE: the size on 213, else -1, with the code.
    SizeAnswer ReadSizeAnswer();

    // Reads the owed replies of commands sent ahead for an upload that did
    // not follow, so that the next command reads its own reply.
    void DropAskedAhead();

    // Reads one reply; a code outside `accepted` (when not empty) raises
    // ProtocolReplyError with the reply's last line.
    int ReadReply(std::initializer_list<int> accepted);
    void ReadWholeReply();

    // Brings the control connection back in step after a transfer that ended
    // early (ABOR sent, or the server's 426). Servers owe one to three replies
    // then, in varying order and sometimes merged, and a hostile one may answer
    // ABOR with any code: counting alone cannot tell where they end. A PWD
    // follows them, and the replies are read up to its 257, a code no transfer
    // or ABOR reply carries. The last reply afterwards is the transfer's own
    // final one: the first final reply read when it was still owed.
    void Drain(bool finalOwed);

    // --- operations ----------------------------------------------------------
    // Runs one public operation: keeps the object alive, refuses re-entry, and
    // closes the session after failures that leave the control connection
    // unusable or out of step.
    template <class F> auto Run(F&& body) -> decltype(body()) {
        std::shared_ptr<FtpSession> keep = self.weak_from_this().lock();
        if (depth > 0)
            throw FtpBusyError();
        ++depth;
        struct Depth {
            int& d;
            ~Depth() { --d; }
        } guard{depth};
        keepOpen = false;
        try {
            return body();
        } catch (const SocketError&) {
            CloseUnlessInStep();
            throw;
        } catch (const ConnClosedGracefullyError&) {
            CloseUnlessInStep();
            throw;
        } catch (const FtpLimitError&) {
            CloseUnlessInStep();
            throw;
        } catch (const TlsError&) {
            CloseControl();
            throw;
        }
    }

    void CloseUnlessInStep();

    // --- logon (FtpLogon.cpp) ------------------------------------------------
    void Connect(bool login);

    // Connects to the first of the addresses that answers, in order.
    void ConnectControl(const std::vector<net::Address>& targets, net::Waiter& w);

    // AUTH TLS, the handshake, then PBSZ 0 and PROT P: from here on nothing,
    // the password included, crosses in clear.
    void SecureControl(net::Waiter& w);

    // --- data connections, transfers, Abort (FtpTransfer.cpp) ----------------
    // With TLS, secures a data connection once the server has taken the
    // transfer command, resuming the control connection's session.
    void SecureData(net::NetSocket& s, net::Waiter& w);

    // Opens the data connection of a passive transfer: to the address the
    // control connection reached (never a third host a PASV reply may name),
    // or through the proxy to the configured host.
    void OpenPassive(net::NetSocket& s, int port, net::Waiter& w);

    // PORT h1,h2,h3,h4,p1,p2, or EPRT |2|address|port| on IPv6.
    static std::string PortCommand(const net::Address& local, bool extended);

    enum class Kind { Read, Write };
    // Moves the bytes; returns false when Abort cut the transfer short.
    using Mover = std::function<bool(net::NetSocket&, net::Waiter&)>;

    // SIZE queries asked before a transfer, in the same write as PASV where
    // possible. With onlyIfAbsent the transfer runs only when every answer
    // is 550 (nothing under that name); skipped says it did not.
    struct SizesFirst {
        std::vector<std::string> names;
        std::vector<SizeAnswer> answers;
        bool withTimes = false;         // MDTM of each name after its SIZE
        std::vector<std::string> times; // their answers (empty: none)
        bool onlyIfAbsent = false;
        bool skipped = false;
    };

    // One data transfer: data connection, transfer command, the bytes, the
    // final reply. Returns true when the server confirmed a complete transfer.
    bool Transfer(const std::string& command, Kind kind, const Mover& move,
                  SizesFirst* first = nullptr);

    // The data connection was closed locally: by Abort (the transfer ends
    // early) or by Disconnect (the operation fails).
    void CheckClosedLocally();

    // --- listing, download, upload (FtpListing, FtpDownload, FtpUpload) ------
    // Reads a data connection to its end; `sink` takes each chunk.
    bool ReadAll(net::NetSocket& s, net::Waiter& w,
                 const std::function<void(const char*, size_t)>& sink);

    void List(std::vector<std::string>& dest, const std::string& specifier, bool details);

    GetResult Get(const std::string& remoteName, const std::string& localName, bool overwrite,
                  int64_t* remoteSize, std::string* remoteTime);

    // A TLS stream that ended without close_notify may have been cut by a
    // third party: the download counts only when the server's size matches.
    // The last reply stays the transfer's.
    bool RemoteSizeIs(const std::string& remoteName, int64_t bytes);

    static void WriteAll(int fd, const char* p, size_t n, const std::string& name);

    void Put(const std::string& localName, const std::string& remoteName, bool append,
             SizesFirst* first = nullptr);

    void Abort();
};

} // namespace kv
