#pragma once
// The inside of FtpSession, shared by the files that implement it by
// operation: FtpControl (the queue of commands in flight and the replies),
// FtpLogon (connecting, TLS, login), FtpTransfer (data connections and the
// generic transfer), FtpListing, FtpDownload and FtpUpload. Used only within
// src/core/ftp.
#include "ftp/FtpReply.h"
#include "ftp/FtpSession.h"
#include "ftp/NetSocket.h"
#include "ftp/Tls.h"
#include "remote/ReentryGuard.h"
#include "remote/RemoteEvents.h"
#include "remote/RemoteTransfer.h"

#include <cstddef>
#include <cstdint>
#include <deque>
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
    remote::Events* events = nullptr;
    remote::Events quiet; // stands in while no one listens
    bool trace = false;

    std::unique_ptr<tls::Context> tlsContext; // with UseTls, from Connect on
    net::NetSocket control;
    std::string inbuf;       // received control bytes not yet consumed
    bool peerClosed = false; // the server closed the control connection
    net::Address peer;       // where the control connection goes (the proxy, with one)
    std::string peerText;
    std::string proxyTarget; // the FTP host as the proxy is asked for it

    // The last reply an operation read.
    int lastCode = 0;
    std::vector<std::string> lastLines;

    // --- the protocol's state ------------------------------------------------
    // Where the session is; changed only by SetPhase, which can trace it.
    enum class Phase {
        Idle,     // nothing owed
        Command,  // commands in flight, no transfer
        Transfer, // a data transfer runs
        Aborting, // the running transfer is being stopped (ABOR)
        Closing,  // the control connection is being closed
    };
    Phase phase = Phase::Idle;
    void SetPhase(Phase p);

    // A command sent whose reply is owed. Replies are matched in order: a
    // reply the oldest command cannot have is unsolicited (traced, skipped).
    struct InFlight {
        enum class Kind { Plain, Transfer, Abort, Marker };
        std::string command;     // as traced
        std::vector<int> finals; // the positive final codes it can have
        Kind kind = Kind::Plain;
        bool preliminary = false; // a 1xx may come first (transfer commands)
        bool optional = false;    // its reply may never come
        // Await: the running operation reads it. Ahead: sent ahead for a later
        // operation, which takes it by sending the same command. Drop: read
        // and forgotten.
        enum class Use { Await, Ahead, Drop } use = Use::Await;
    };
    std::deque<InFlight> inFlight;
    // The final reply of the last transfer command answered (0: none yet).
    int transferFinal = 0;
    std::vector<std::string> transferFinalLines;

    static InFlight Expect(std::string command, std::initializer_list<int> finals,
                           InFlight::Kind kind = InFlight::Kind::Plain);
    // Whether a reply with that code can be the command's.
    static bool Accepts(const InFlight& c, int code);

    bool writing = false;     // a command line is half written (Abort waits)
    bool inOperation = false; // a public operation runs (remote::ReentryGuard)
    // Transfer commands (RETR, STOR, LIST...) handed to the connection so far.
    int64_t transferCommands = 0;

    // The running transfer. Abort and Disconnect close these sockets; the
    // transfer code holds its own references so nothing is freed under it.
    std::shared_ptr<net::NetSocket> data;
    std::shared_ptr<net::NetSocket> listener;

    remote::WorkEvents work{events};

    std::vector<char> chunk;

    remote::Events& E() { return events ? *events : quiet; }
    net::Waiter MakeWaiter() { return net::Waiter(events, self.NetTimeOut); }
    bool ControlUsable() const { return control.IsOpen() && !peerClosed; }

    void Status(const std::string& text) { E().Status(text); }
    void Trace(const std::string& text) {
        if (trace)
            E().Trace(ftp::TraceLine(ftp::TraceStamp(), text));
    }

    // --- work events ----------------------------------------------------------
    // count bytes moved; an abort from a handler ends the events of that call.
    void Work(WorkDirection d, int64_t count) {
        work.Moved(d, count, [this] { return phase == Phase::Aborting; });
    }

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

    // --- the control connection (FtpControl.cpp) ----------------------------
    // Sends the commands in one write and queues what each awaits. A command
    // equal to the next one sent ahead is not sent again: it takes that one's
    // reply; any other drops the replies of those sent ahead. `traced` stands
    // in for the first command in the trace (a password). Before anything is
    // sent with nothing in flight, replies already there are skipped.
    void Send(std::vector<InFlight> commands, const char* traced = nullptr);
    void SendCommand(const std::string& command, std::initializer_list<int> finals) {
        Send({Expect(command, finals)});
    }
    // Queues commands for a later operation (InFlight::Use::Ahead).
    void SendAhead(std::vector<InFlight> commands);

    // Reads replies until the oldest command the operation awaits has its
    // reply (a 1xx keeps it awaiting its final one); returns the code, with
    // the reply in lastCode and lastLines. Replies of dropped commands are
    // read and forgotten, unsolicited ones traced and skipped.
    int Await();
    // Await; a code outside `accepted` (when not empty) raises
    // ProtocolReplyError with the reply's last line.
    int ReadReply(std::initializer_list<int> accepted);
    // One whole reply from the connection into lastCode and lastLines.
    void ReadWholeReply();
    // With nothing in flight: complete replies that came anyway are skipped.
    void SkipUnsolicited();
    // After a failure: what the failed operation still awaited is dropped;
    // true when the session can go on (the replies owed will be read first).
    bool InStep() const;

    // RFC 2428's commands on IPv6, where PASV and PORT cannot name an
    // address; IPv4 keeps the wire it always had.
    bool Extended() const {
        return self.Proxy.Version == SocksVersion::None && peer.Family() == AF_INET6;
    }
    bool PassiveWithPasv() const { return self.Passive && !Extended(); }

    // "SIZE " + name for each name (and "MDTM " + name after each with
    // times), each checked as a remote file name.
    static std::vector<InFlight> SizeCommands(const std::vector<std::string>& names,
                                              bool times = false);
    // Reads the reply to one SIZE: the size on 213, else -1, with the code.
    SizeAnswer ReadSizeAnswer();
    // Reads the reply to one MDTM: the time on 213, else empty.
    std::string ReadTimeAnswer();

    // --- operations ----------------------------------------------------------
    // Runs one public operation: keeps the object alive, refuses re-entry, and
    // closes the session after failures that leave the control connection
    // unusable or out of step.
    template <class F> auto Run(F&& body) -> decltype(body()) {
        remote::ReentryGuard guard(self, inOperation, [this] { Settle(); });
        try {
            return body();
        } catch (const TlsError&) {
            CloseControl();
            throw;
        } catch (const FtpError&) {
            if (!InStep())
                CloseControl();
            throw;
        } catch (...) {
            if (!InStep())
                CloseControl();
            throw;
        }
    }
    // After an operation: what it still awaited is dropped, and the phase
    // follows what is in flight.
    void Settle();

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

    // The SIZE (and MDTM) queries of first, with PASV in the same write where
    // the transfer uses it; true when that PASV's reply was read.
    bool AskSizesFirst(SizesFirst& first);
    // Opens the data connection (passive or active) and sends the transfer
    // command; the server has answered it with 1xx when this returns.
    void OpenDataAndStart(const std::string& command, Kind kind, net::NetSocket& sock,
                          net::Waiter& w, bool passiveReplyRead);

    // One data transfer: data connection, transfer command, the bytes, the
    // final reply. Returns true when the server confirmed a complete transfer.
    bool Transfer(const std::string& command, Kind kind, const Mover& move,
                  SizesFirst* first = nullptr);

    // Stops the server's side of the running transfer (ABOR, unless one is
    // in flight already) and reads what it owes up to a marker command (PWD,
    // whose 257 no transfer or ABOR reply carries), so the next command reads
    // its own reply whatever the server answered, or did not. The last reply
    // is the transfer's own final one afterwards, when it came.
    void StopTransfer();

    // The data connection was closed locally: by Abort (the transfer ends
    // early) or by Disconnect (the operation fails).
    void CheckClosedLocally();

    // --- listing, download, upload (FtpListing, FtpDownload, FtpUpload) ------
    // Reads a data connection to its end; `sink` takes each chunk.
    bool ReadAll(net::NetSocket& s, net::Waiter& w,
                 const std::function<void(const char*, size_t)>& sink);

    void List(std::vector<std::string>& dest, const std::string& specifier, bool details);
    // The lines of one listing command's data, whole or failing.
    std::vector<std::string> ListingText(const std::string& command);
    RemoteListing ListFolder(const std::string& folder, const std::string& pattern,
                             bool onlyMatching);
    RemoteListing MlsdListing(const std::string& folder, const std::string& pattern);
    // Whether FEAT offers MLST / MLSD; asked once per connection.
    bool OffersMlsd();
    enum class Features { Unknown, Plain, Mlsd };
    Features features = Features::Unknown;

    GetResult Get(const std::string& remoteName, const std::string& localName, bool overwrite,
                  int64_t* remoteSize, std::string* remoteTime, int64_t expectedSize);

    // A TLS stream that ended without close_notify may have been cut by a
    // third party: the download counts only when the server's size matches.
    // The last reply stays the transfer's.
    bool RemoteSizeIs(const std::string& remoteName, int64_t bytes);

    void Put(const std::string& localName, const std::string& remoteName, bool append,
             SizesFirst* first = nullptr);

    void Abort();
};

} // namespace kv
