#include "ftp/FtpSession.h"

#include "ftp/FtpReply.h"
#include "ftp/NetSocket.h"
#include "ftp/Socks.h"
#include "ftp/Tls.h"
#include "util/Errors.h"
#include "util/Text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

constexpr size_t kChunk = 32768;
// Pipe capacity asked for downloads (the unprivileged limit by default).
constexpr int kSpliceBytes = 1 << 20;
// Replies read while bringing the control connection back in step after an
// interrupted transfer, before giving up on the server.
constexpr int kMaxDrainReplies = 16;
const char* const kMaskedPass = "pass ********\r\n";

// A command argument must stay one line: a line break would smuggle a second
// command onto the control connection.
void CheckArgument(const std::string& value, const std::string& what, bool showValue = true) {
    if (value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos)
        return;
    std::string msg = "The " + what;
    if (showValue)
        msg += " \"" + FirstCrLfToBlank(value) + "\"";
    throw FtpArgumentError(msg + " holds a line break or a zero byte, which cannot be sent to " +
                           "the FTP server; rename it or correct the settings.");
}

void CheckPort(int port, const std::string& what) {
    if (port < 1 || port > 65535)
        throw FtpError("The " + what + " " + std::to_string(port) +
                       " is not a valid TCP port (1 to 65535); correct it in the settings.");
}

std::string ErrnoMessage(int err) {
    return std::strerror(err);
}

// A file descriptor closed when the operation ends, also on failure.
struct FileGuard {
    int fd = -1;
    ~FileGuard() {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

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

    // --- work events ---------------------------------------------------------
    void WorkBegin(WorkDirection d, int64_t size) {
        WorkState& s = work[static_cast<int>(d)];
        if (++s.level == 1) {
            s.size = size;
            s.total = 0;
            H().FtpWorkBegin(d, size);
        }
    }
    // One event per chunk of at most kChunk bytes, however many bytes one
    // call moved: hosts see the same steps whatever the transfer path. An
    // abort from a handler ends the events of that call.
    void Work(WorkDirection d, int64_t count) {
        WorkState& s = work[static_cast<int>(d)];
        if (s.level < 1)
            return;
        while (count > 0 && !aborted) {
            const int64_t step = std::min<int64_t>(count, kChunk);
            s.total += step;
            count -= step;
            H().FtpWork(d, s.total);
        }
    }
    void WorkEnd(WorkDirection d) {
        WorkState& s = work[static_cast<int>(d)];
        if (s.level == 1)
            H().FtpWorkEnd(d);
        if (s.level > 0)
            --s.level;
    }
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

    // --- closing -------------------------------------------------------------
    void CloseData() {
        if (data)
            data->Close();
        if (listener)
            listener->Close();
    }

    // The pipe downloads splice through, kept for the session (one pipe and
    // its resizing per file cost more than a small file's bytes). Empty
    // between downloads. False when no pipe can be made.
    FileGuard splicePipe[2];
    size_t splicePipeBytes = kChunk;
    bool OpenSplicePipe() {
        if (splicePipe[0].fd >= 0)
            return true;
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        splicePipe[0].fd = fds[0];
        splicePipe[1].fd = fds[1];
        // A larger pipe moves what the socket holds in fewer calls.
        const int capacity = ::fcntl(fds[1], F_SETPIPE_SZ, kSpliceBytes);
        splicePipeBytes =
            capacity > static_cast<int>(kChunk) ? static_cast<size_t>(capacity) : kChunk;
        return true;
    }
    void DropSplicePipe() {
        for (FileGuard& g : splicePipe) {
            if (g.fd >= 0)
                ::close(g.fd);
            g.fd = -1;
        }
    }

    void CloseControl() {
        CloseData();
        if (closing || !control.IsOpen())
            return;
        closing = true;
        struct Reset {
            bool& b;
            ~Reset() { b = false; }
        } reset{closing};
        Status("Disconnecting from " + peerText + ".");
        control.Close();
        peerClosed = false;
        inbuf.clear();
        askedAheadOwed = false;
        Trace("Disconnected.");
        H().FtpDisconnected();
        Status("Not connected.");
    }

    // --- control connection --------------------------------------------------
    void SendRaw(const std::string& line, const char* traced) {
        DropAskedAhead();
        if (!ControlUsable())
            throw ConnClosedGracefullyError();
        net::Waiter w = MakeWaiter();
        bool sent;
        sending = true;
        try {
            sent = control.Send(line.data(), line.size(), w);
        } catch (const SocketError&) {
            sending = false;
            CloseControl();
            throw;
        }
        sending = false;
        if (!sent) {
            CloseControl();
            throw ConnClosedGracefullyError();
        }
        Trace(std::string("Sent: ") + (traced ? traced : line.c_str()));
        if (aborDeferred) {
            aborDeferred = false;
            SendRaw("ABOR\r\n", nullptr);
        }
    }

    void SendCommand(const std::string& command) { SendRaw(command + "\r\n", nullptr); }

    // Several commands in one write; their replies are read in turn.
    void SendCommands(const std::vector<std::string>& commands) {
        std::string all;
        for (const std::string& c : commands)
            all += c + "\r\n";
        SendRaw(all, commands.front().c_str());
        for (size_t i = 1; i < commands.size(); ++i)
            Trace("Sent: " + commands[i]);
    }

    // RFC 2428's commands on IPv6, where PASV and PORT cannot name an
    // address; IPv4 keeps the wire it always had.
    bool Extended() const {
        return self.Proxy.Version == SocksVersion::None && peer.Family() == AF_INET6;
    }
    bool PassiveWithPasv() const { return self.Passive && !Extended(); }

    // Reads the owed replies of commands sent ahead for an upload that did
    // not follow, so that the next command reads its own reply.
    void DropAskedAhead() {
        if (!askedAheadOwed)
            return;
        askedAheadOwed = false;
        for (size_t i = 0; i <= askedAhead.size(); ++i)
            ReadReply({});
    }

    // Reads one reply; a code outside `accepted` (when not empty) raises
    // ProtocolReplyError with the reply's last line.
    int ReadReply(std::initializer_list<int> accepted) {
        try {
            ReadWholeReply();
        } catch (const FtpError&) {
            // The control connection broke, went silent or sent garbage.
            CloseControl();
            throw;
        }
        if (accepted.size() > 0 &&
            std::find(accepted.begin(), accepted.end(), lastCode) == accepted.end())
            throw ProtocolReplyError(lastCode, lastLines.back());
        return lastCode;
    }

    void ReadWholeReply() {
        net::Waiter w = MakeWaiter();
        w.LimitWholeExchange();
        ftp::ReplyReader reader;
        for (;;) {
            size_t used = reader.Consume(inbuf);
            inbuf.erase(0, used);
            if (reader.Done())
                break;
            if (peerClosed || !control.IsOpen())
                throw ConnClosedGracefullyError();
            long n = control.Receive(chunk.data(), chunk.size(), w);
            if (n < 0)
                throw ConnClosedGracefullyError();
            if (n == 0) {
                peerClosed = true;
                continue;
            }
            Trace("Recv: " + std::string(chunk.data(), static_cast<size_t>(n)));
            inbuf.append(chunk.data(), static_cast<size_t>(n));
        }
        lastLines = reader.Lines();
        lastCode = reader.Code();
    }

    // Brings the control connection back in step after a transfer that ended
    // early (ABOR sent, or the server's 426). Servers owe one to three replies
    // then, in varying order and sometimes merged, and a hostile one may answer
    // ABOR with any code: counting alone cannot tell where they end. A PWD
    // follows them, and the replies are read up to its 257, a code no transfer
    // or ABOR reply carries. The last reply afterwards is the transfer's own
    // final one: the first final reply read when it was still owed.
    void Drain(bool finalOwed) {
        int savedCode = lastCode;
        std::vector<std::string> savedLines = lastLines;
        SendCommand("PWD");
        for (int i = 0; i < kMaxDrainReplies; ++i) {
            int code = ReadReply({});
            if (code == 257) {
                lastCode = savedCode;
                lastLines = std::move(savedLines);
                return;
            }
            if (finalOwed && code >= 200) {
                finalOwed = false;
                savedCode = code;
                savedLines = lastLines;
            }
        }
        CloseControl();
        throw FtpLimitError("The FTP server's replies after an interrupted transfer do not match "
                            "the commands sent; the connection was closed. Connect again.");
    }

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

    void CloseUnlessInStep() {
        if (keepOpen && ControlUsable()) {
            keepOpen = false;
            return;
        }
        keepOpen = false;
        CloseControl();
    }

    void Connect(bool login) {
        if (control.IsOpen()) {
            CloseControl();
            throw AlreadyConnectedError();
        }
        const bool viaProxy = self.Proxy.Version != SocksVersion::None;
        CheckPort(self.Port, "FTP port");
        if (viaProxy)
            CheckPort(self.Proxy.Port, "proxy port");
        socks::CheckSettings(self.Proxy, self.Host);
        CheckArgument(self.User, "user name");
        CheckArgument(self.Password, "password", false);
        inbuf.clear();
        peerClosed = false;
        tlsContext.reset();
        if (self.UseTls)
            tlsContext = std::make_unique<tls::Context>(
                tls::TrustSettings{self.TlsCAFile, self.TlsFingerprint});
        const std::string name = viaProxy ? self.Proxy.Host : self.Host;
        const int port = viaProxy ? self.Proxy.Port : self.Port;
        net::Waiter w = MakeWaiter();
        try {
            if (!net::IsLiteralAddress(name))
                Status("Resolving hostname " + name + ".");
            ConnectControl(net::Resolve(name, port, w), w);
            Trace("Connected.");
            // SOCKS 4 carries an address: the host is looked up once per
            // session, so every data connection reaches the same server.
            proxyTarget = net::HostWithoutBrackets(self.Host);
            if (self.Proxy.Version == SocksVersion::Socks4)
                proxyTarget =
                    net::AddressText(net::Resolve(self.Host, self.Port, w, AF_INET).front());
            if (viaProxy)
                socks::Handshake(control, self.Proxy, proxyTarget, self.Port, w);
            Status("Connected.");
            ReadReply({220});
            if (self.UseTls)
                SecureControl(w);
            if (login) {
                SendCommand("user " + self.User);
                if (ReadReply({230, 331}) == 331) {
                    SendRaw("pass " + self.Password + "\r\n", kMaskedPass);
                    ReadReply({230});
                }
                SendCommand(self.Type == TransferType::Binary ? "type I" : "type A");
                ReadReply({200});
                SendCommand("syst");
                ReadReply({200, 215, 500});
            }
        } catch (...) {
            CloseControl();
            throw;
        }
    }

    // Connects to the first of the addresses that answers, in order.
    void ConnectControl(const std::vector<net::Address>& targets, net::Waiter& w) {
        for (size_t i = 0; i < targets.size(); ++i) {
            peer = targets[i];
            peerText = net::AddressText(peer);
            Status("Connecting to " + peerText + ".");
            try {
                control.Connect(peer, self.BoundIP, w);
                return;
            } catch (const SocketError&) {
                if (i + 1 == targets.size())
                    throw;
            }
        }
    }

    // AUTH TLS, the handshake, then PBSZ 0 and PROT P: from here on nothing,
    // the password included, crosses in clear.
    void SecureControl(net::Waiter& w) {
        SendCommand("AUTH TLS");
        if (ReadReply({}) != 234)
            throw TlsError("The FTP server refused AUTH TLS (\"" + lastLines.back() +
                           "\"): it offers no explicit TLS, and the session does not fall "
                           "back to clear text. Turn FTPS off only if the server is trusted.");
        // Bytes that came with the 234 were sent in clear: a man in the middle
        // could have placed them to be read as replies from the secure channel.
        if (!inbuf.empty())
            throw TlsError("The FTP server sent clear-text bytes after accepting AUTH TLS; the "
                           "connection was closed.");
        control.StartTls(*tlsContext, net::HostWithoutBrackets(self.Host), nullptr, w);
        Trace("TLS: " + control.Tls()->Description() + ".");
        SendCommand("PBSZ 0");
        ReadReply({200});
        SendCommand("PROT P");
        ReadReply({200});
    }

    // With TLS, secures a data connection once the server has taken the
    // transfer command, resuming the control connection's session.
    void SecureData(net::NetSocket& s, net::Waiter& w) {
        if (!tlsContext)
            return;
        try {
            s.StartTls(*tlsContext, net::HostWithoutBrackets(self.Host), control.Tls()->Session(),
                       w);
        } catch (const TlsError& e) {
            throw TlsError(std::string("The data connection could not be secured: ") + e.what());
        }
    }

    // Opens the data connection of a passive transfer: to the address the
    // control connection reached (never a third host a PASV reply may name),
    // or through the proxy to the configured host.
    void OpenPassive(net::NetSocket& s, int port, net::Waiter& w) {
        if (self.Proxy.Version != SocksVersion::None) {
            s.Connect(peer, "", w);
            socks::Handshake(s, self.Proxy, proxyTarget, port, w);
        } else {
            net::Address target = peer;
            target.SetPort(port);
            s.Connect(target, "", w);
        }
    }

    // PORT h1,h2,h3,h4,p1,p2, or EPRT |2|address|port| on IPv6.
    static std::string PortCommand(const net::Address& local, bool extended) {
        const int p = local.Port();
        if (extended)
            return "EPRT |" + std::string(local.Family() == AF_INET6 ? "2" : "1") + "|" +
                   net::AddressText(local) + "|" + std::to_string(p) + "|";
        std::string dotted = net::AddressText(local);
        std::replace(dotted.begin(), dotted.end(), '.', ',');
        return "PORT " + dotted + "," + std::to_string(p >> 8) + "," + std::to_string(p & 255);
    }

    enum class Kind { Read, Write };
    // Moves the bytes; returns false when Abort cut the transfer short.
    using Mover = std::function<bool(net::NetSocket&, net::Waiter&)>;

    // SIZE queries asked before a transfer, in the same write as PASV where
    // possible. With onlyIfAbsent the transfer runs only when every answer
    // is 550 (nothing under that name); skipped says it did not.
    struct SizesFirst {
        std::vector<std::string> names;
        std::vector<SizeAnswer> answers;
        bool onlyIfAbsent = false;
        bool skipped = false;
    };

    // One data transfer: data connection, transfer command, the bytes, the
    // final reply. Returns true when the server confirmed a complete transfer.
    bool Transfer(const std::string& command, Kind kind, const Mover& move,
                  SizesFirst* first = nullptr) {
        if (!ControlUsable())
            throw ConnClosedGracefullyError();
        transferRunning = true;
        aborted = false;
        aborDeferred = false;
        completionPending = false;
        auto sock = std::make_shared<net::NetSocket>();
        data = sock;
        struct End {
            Impl& i;
            ~End() {
                i.CloseData();
                i.data.reset();
                i.listener.reset();
                i.transferRunning = false;
                i.completionPending = false;
            }
        } end{*this};
        net::Waiter w = MakeWaiter();
        bool passiveReplyRead = false;
        // Abort may come from the idle pump before the data connection exists.
        auto stopIfAborted = [&] {
            if (aborted)
                throw ConnClosedGracefullyError();
        };
        try {
            const bool extended = Extended();
            if (first) {
                const bool together = PassiveWithPasv();
                if (together && askedAheadOwed && askedAhead == first->names) {
                    askedAheadOwed = false; // sent already: only the replies
                } else {
                    std::vector<std::string> commands;
                    for (const std::string& name : first->names)
                        commands.push_back("SIZE " + name);
                    if (together)
                        commands.push_back("PASV");
                    SendCommands(commands);
                }
                bool absent = true;
                for (size_t i = 0; i < first->names.size(); ++i) {
                    SizeAnswer a;
                    a.code = ReadReply({});
                    if (a.code == 213)
                        a.size = ftp::ParseSizeReply(lastLines);
                    absent = absent && a.code == 550;
                    first->answers.push_back(a);
                }
                if (together) {
                    ReadReply({227});
                    passiveReplyRead = true;
                }
                if (first->onlyIfAbsent && !absent) {
                    // The passive port opened for nothing; the server closes
                    // it at the next PASV.
                    first->skipped = true;
                    return false;
                }
            }
            if (self.Passive) {
                int port;
                if (extended) {
                    SendCommand("EPSV");
                    ReadReply({229});
                    port = ftp::ParseEpsvReply(lastLines.back());
                } else {
                    if (!passiveReplyRead) {
                        SendCommand("PASV");
                        ReadReply({227});
                    }
                    port = ftp::ParsePasvReply(lastLines.back()).Port;
                }
                stopIfAborted();
                OpenPassive(*sock, port, w);
                stopIfAborted();
                SendCommand(command);
                if (kind == Kind::Write)
                    ReadReply({110, 125, 150});
                else
                    ReadReply({125, 150});
                completionPending = true;
                SecureData(*sock, w);
            } else {
                auto lst = std::make_shared<net::NetSocket>();
                listener = lst;
                stopIfAborted();
                lst->Listen(control.LocalAddress());
                SendCommand(PortCommand(lst->LocalAddress(), extended));
                ReadReply({200});
                SendCommand(command);
                ReadReply({125, 150});
                completionPending = true;
                stopIfAborted();
                // Only the server may connect: another host could slip in
                // bytes of its own.
                const net::Address server = control.PeerAddress();
                if (!lst->Accept(*sock, w, &server))
                    throw ConnClosedGracefullyError();
                lst->Close();
                SecureData(*sock, w);
            }
            const bool moved = move(*sock, w);
            const bool cut = aborted;
            if (!cut)
                sock->EndTls(w);
            sock->Close();
            int code = 0;
            if (!cut) {
                // A refusal here is the transfer's final word: nothing more is owed.
                code = ReadReply({});
                completionPending = false;
                if (code != 225 && code != 226 && code != 250 && code != 426)
                    throw ProtocolReplyError(lastCode, lastLines.back());
            }
            if (aborted || code == 426)
                Drain(completionPending);
            completionPending = false;
            return moved && !cut && code != 426;
        } catch (...) {
            // Leave the control connection in step when it is still usable:
            // stop the server's side of an unfinished transfer and read what it
            // owes, so the caller may go on with its next command.
            CloseData();
            if (ControlUsable() && (completionPending || aborted)) {
                if (!aborted) {
                    aborted = true;
                    SendCommand("ABOR");
                }
                const bool finalOwed = completionPending;
                completionPending = false;
                Drain(finalOwed);
                keepOpen = true;
            }
            throw;
        }
    }

    // The data connection was closed locally: by Abort (the transfer ends
    // early) or by Disconnect (the operation fails).
    void CheckClosedLocally() {
        if (!aborted || !ControlUsable())
            throw ConnClosedGracefullyError();
    }

    // Reads a data connection to its end; `sink` takes each chunk.
    bool ReadAll(net::NetSocket& s, net::Waiter& w,
                 const std::function<void(const char*, size_t)>& sink) {
        WorkScope scope(*this, WorkDirection::Read, 0);
        for (;;) {
            long n = s.Receive(chunk.data(), chunk.size(), w);
            if (n < 0) {
                CheckClosedLocally();
                return false;
            }
            if (n == 0)
                return true;
            sink(chunk.data(), static_cast<size_t>(n));
            Work(WorkDirection::Read, n);
        }
    }

    void List(std::vector<std::string>& dest, const std::string& specifier, bool details) {
        CheckArgument(specifier, "listing specifier");
        std::string text;
        const int64_t limit = self.MaxListingBytes;
        bool whole = Transfer(Trim((details ? "list " : "nlst ") + specifier), Kind::Read,
                              [&](net::NetSocket& s, net::Waiter& w) {
                                  return ReadAll(s, w, [&](const char* p, size_t n) {
                                      if (static_cast<int64_t>(text.size() + n) > limit)
                                          throw FtpLimitError(
                                              "The listing sent by the FTP server is larger "
                                              "than " +
                                              std::to_string(limit) +
                                              " bytes; it was refused. Check the remote folder.");
                                      text.append(p, n);
                                  });
                              });
        if (!whole) {
            // A listing cut short could name files that do not exist.
            if (lastCode == 426 && !lastLines.empty())
                throw ProtocolReplyError(lastCode, lastLines.back());
            throw ConnClosedGracefullyError();
        }
        std::vector<std::string> lines;
        try {
            lines = ftp::SplitListing(text);
        } catch (const FtpLimitError&) {
            keepOpen = true; // the transfer is over, the session in step
            throw;
        }
        dest = std::move(lines);
    }

    GetResult Get(const std::string& remoteName, const std::string& localName, bool overwrite,
                  int64_t* remoteSize) {
        CheckArgument(remoteName, "remote file name");
        if (!overwrite && (::access(localName.c_str(), F_OK) == 0))
            throw FileAlreadyExistsError();
        if (!ControlUsable())
            throw ConnClosedGracefullyError();
        FileGuard file;
        int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL);
        file.fd = ::open(localName.c_str(), flags, 0644);
        if (file.fd < 0) {
            if (errno == EEXIST)
                throw FileAlreadyExistsError();
            throw FileError("Cannot create the local file " + localName + ": " +
                            ErrnoMessage(errno) + ". Check the folder and its permissions.");
        }
        // The bytes go from the socket to the file through a pipe, without a
        // copy in this process; where that is not possible, through a buffer.
        bool zeroCopy = OpenSplicePipe();
        int pipeFds[2] = {splicePipe[0].fd, splicePipe[1].fd};
        // A download that ends early may leave bytes in the pipe.
        struct DropPipeUnlessDone {
            Impl& i;
            bool done = false;
            ~DropPipeUnlessDone() {
                if (!done)
                    i.DropSplicePipe();
            }
        } pipeGuard{*this};
        GetResult result;
        SizesFirst first;
        first.names.push_back(remoteName);
        int64_t writtenBack = 0;
        bool truncated = false; // TLS ended without close_notify
        bool whole = Transfer(
            "retr " + remoteName, Kind::Read,
            [&](net::NetSocket& s, net::Waiter& w) {
                WorkScope scope(*this, WorkDirection::Read, 0);
                for (;;) {
                    long n;
                    if (zeroCopy) {
                        n = s.ReceiveToFile(file.fd, splicePipeBytes, pipeFds, w);
                        if (n == -2) {
                            zeroCopy = false;
                            continue;
                        }
                        if (n == -3)
                            throw FileError("Cannot write the local file " + localName + ": " +
                                            ErrnoMessage(errno) +
                                            ". Free some disk space or check the folder.");
                    } else {
                        n = s.Receive(chunk.data(), chunk.size(), w);
                        if (n > 0)
                            WriteAll(file.fd, chunk.data(), static_cast<size_t>(n), localName);
                    }
                    if (n < 0) {
                        CheckClosedLocally();
                        return false;
                    }
                    if (n == 0) {
                        truncated = s.Truncated();
                        return true;
                    }
                    result.Bytes += n;
                    if (self.WriteBackBytes > 0 &&
                        result.Bytes - writtenBack >= self.WriteBackBytes) {
                        // Only starts the writing; errors show at the flush.
                        ::sync_file_range(file.fd, writtenBack, result.Bytes - writtenBack,
                                          SYNC_FILE_RANGE_WRITE);
                        writtenBack = result.Bytes;
                    }
                    Work(WorkDirection::Read, n);
                }
            },
            remoteSize ? &first : nullptr);
        if (remoteSize)
            *remoteSize = first.answers.empty() ? -1 : first.answers.front().size;
        pipeGuard.done = true;
        result.Complete = whole && (!truncated || RemoteSizeIs(remoteName, result.Bytes));
        return result;
    }

    // A TLS stream that ended without close_notify may have been cut by a
    // third party: the download counts only when the server's size matches.
    // The last reply stays the transfer's.
    bool RemoteSizeIs(const std::string& remoteName, int64_t bytes) {
        int savedCode = lastCode;
        std::vector<std::string> savedLines = lastLines;
        SendCommand("SIZE " + remoteName);
        const bool same = ReadReply({}) == 213 && ftp::ParseSizeReply(lastLines) == bytes;
        lastCode = savedCode;
        lastLines = std::move(savedLines);
        return same;
    }

    static void WriteAll(int fd, const char* p, size_t n, const std::string& name) {
        while (n > 0) {
            ssize_t k = ::write(fd, p, n);
            if (k < 0 && errno == EINTR)
                continue;
            if (k <= 0)
                throw FileError("Cannot write the local file " + name + ": " +
                                ErrnoMessage(k < 0 ? errno : ENOSPC) +
                                ". Free some disk space or check the folder.");
            p += k;
            n -= static_cast<size_t>(k);
        }
    }

    void Put(const std::string& localName, const std::string& remoteName, bool append,
             SizesFirst* first = nullptr) {
        CheckArgument(remoteName, "remote file name");
        if (!ControlUsable())
            throw ConnClosedGracefullyError();
        FileGuard file;
        file.fd = ::open(localName.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (file.fd < 0 || ::fstat(file.fd, &st) != 0)
            throw FileError("Cannot open the local file " + localName +
                            " for reading: " + ErrnoMessage(errno) + ".");
        if (!S_ISREG(st.st_mode))
            throw FileError("The local file " + localName + " is not a regular file.");
        off_t pos = ::lseek(file.fd, 0, SEEK_CUR);
        const int64_t announced = static_cast<int64_t>(st.st_size) - (pos > 0 ? pos : 0);
        std::string command =
            remoteName.empty() ? "STOU" : (append ? "APPE " : "STOR ") + remoteName;
        bool whole = Transfer(
            command, Kind::Write,
            [&](net::NetSocket& s, net::Waiter& w) {
                WorkScope scope(*this, WorkDirection::Write, announced);
                int64_t total = 0;
                bool zeroCopy = true;
                while (total < announced) {
                    // sendfile takes more per call; a buffer copy takes a chunk.
                    const int64_t step = zeroCopy ? kSpliceBytes : static_cast<int64_t>(kChunk);
                    size_t want = static_cast<size_t>(std::min<int64_t>(step, announced - total));
                    long n = -2;
                    if (zeroCopy) {
                        n = s.SendFile(file.fd, want, w);
                        if (n == -2) {
                            zeroCopy = false;
                            continue;
                        }
                    } else {
                        ssize_t k;
                        do {
                            k = ::read(file.fd, chunk.data(), want);
                        } while (k < 0 && errno == EINTR);
                        if (k < 0)
                            throw FileError("Cannot read the local file " + localName + ": " +
                                            ErrnoMessage(errno) + ".");
                        n = k;
                        if (k > 0 && !s.Send(chunk.data(), static_cast<size_t>(k), w))
                            n = -1;
                    }
                    if (n < 0) {
                        // Closed locally: an aborted upload fails as well.
                        throw ConnClosedGracefullyError();
                    }
                    if (n == 0)
                        throw NoDataToReadError(); // the file shrank while being sent
                    total += n;
                    Work(WorkDirection::Write, n);
                }
                return true;
            },
            first);
        if (first && first->skipped)
            return;
        if (!whole) {
            // The server refused the end of the upload (426): it must not
            // count as stored.
            if (lastCode == 426 && !lastLines.empty())
                throw ProtocolReplyError(lastCode, lastLines.back());
            throw ConnClosedGracefullyError();
        }
    }

    void Abort() {
        if (!transferRunning)
            return;
        if (!aborted) {
            aborted = true;
            if (ControlUsable()) {
                if (sending) {
                    aborDeferred = true;
                } else {
                    try {
                        SendRaw("ABOR\r\n", nullptr);
                    } catch (const FtpError&) {
                        CloseControl();
                    }
                }
            }
        }
        CloseData();
    }
};

FtpSession::FtpSession() : impl_(std::make_unique<Impl>(*this)) {}

FtpSession::~FtpSession() {
    // Owners release the session after Disconnect; close quietly, the host
    // may be gone already.
    impl_->data.reset();
    impl_->listener.reset();
    impl_->control.Close();
}

void FtpSession::SetHost(kv::Host* host) {
    impl_->host = host;
}
void FtpSession::SetTraceEnabled(bool on) {
    impl_->trace = on;
}

void FtpSession::Connect(bool login) {
    impl_->Run([&] { impl_->Connect(login); });
}

void FtpSession::SetTransferType(TransferType type) {
    Impl& i = *impl_;
    if (i.depth > 0)
        return; // changing the type during a transfer is ignored
    if (!i.ControlUsable()) {
        Type = type;
        return;
    }
    if (type == Type)
        return;
    i.Run([&] {
        i.SendCommand(type == TransferType::Binary ? "type I" : "type A");
        i.ReadReply({200});
        Type = type;
    });
}

void FtpSession::ChangeDir(const std::string& folder) {
    impl_->Run([&] {
        CheckArgument(folder, "remote folder");
        impl_->SendCommand("CWD " + folder);
        impl_->ReadReply({250});
    });
}

void FtpSession::ChangeDirUp() {
    impl_->Run([&] {
        impl_->SendCommand("CDUP");
        impl_->ReadReply({250});
    });
}

std::string FtpSession::RetrieveCurrentDir() {
    return impl_->Run([&] {
        impl_->SendCommand("PWD");
        impl_->ReadReply({257});
        return ftp::ParsePwdReply(impl_->lastLines.back());
    });
}

void FtpSession::List(std::vector<std::string>& dest, const std::string& specifier, bool details) {
    impl_->Run([&] { impl_->List(dest, specifier, details); });
}

GetResult FtpSession::Get(const std::string& remoteName, const std::string& localName,
                          bool overwrite, int64_t* remoteSize) {
    return impl_->Run([&] { return impl_->Get(remoteName, localName, overwrite, remoteSize); });
}

void FtpSession::Put(const std::string& localName, const std::string& remoteName, bool append) {
    impl_->Run([&] { impl_->Put(localName, remoteName, append); });
}

std::vector<FtpSession::SizeAnswer>
FtpSession::PutIfAbsent(const std::string& localName, const std::string& remoteName,
                        const std::vector<std::string>& absentNames) {
    return impl_->Run([&] {
        Impl::SizesFirst first;
        for (const std::string& name : absentNames) {
            CheckArgument(name, "remote file name");
            first.names.push_back(name);
        }
        first.onlyIfAbsent = true;
        impl_->Put(localName, remoteName, false, &first);
        return first.answers;
    });
}

void FtpSession::Rename(const std::string& oldName, const std::string& newName,
                        const std::vector<std::string>& nextAbsentNames) {
    impl_->Run([&] {
        CheckArgument(oldName, "remote file name");
        CheckArgument(newName, "new remote file name");
        std::vector<std::string> commands{"RNFR " + oldName, "RNTO " + newName};
        const bool ahead = !nextAbsentNames.empty() && impl_->PassiveWithPasv();
        if (ahead) {
            for (const std::string& name : nextAbsentNames) {
                CheckArgument(name, "remote file name");
                commands.push_back("SIZE " + name);
            }
            commands.push_back("PASV");
        }
        impl_->SendCommands(commands);
        if (ahead) {
            impl_->askedAhead = nextAbsentNames;
            impl_->askedAheadOwed = true;
        }
        const int from = impl_->ReadReply({});
        const std::string fromLine = impl_->lastLines.back();
        const int to = impl_->ReadReply({});
        if (from != 350) {
            impl_->lastCode = from;
            impl_->lastLines = {fromLine};
            throw ProtocolReplyError(from, fromLine);
        }
        if (to != 250)
            throw ProtocolReplyError(to, impl_->lastLines.back());
    });
}

void FtpSession::Delete(const std::string& remoteName) {
    impl_->Run([&] {
        CheckArgument(remoteName, "remote file name");
        impl_->SendCommand("DELE " + remoteName);
        impl_->ReadReply({250});
    });
}

void FtpSession::Delete(const std::vector<std::string>& remoteNames,
                        std::vector<std::exception_ptr>& results) {
    results.clear();
    if (remoteNames.empty())
        return;
    impl_->Run([&] {
        std::vector<std::string> commands;
        for (const std::string& name : remoteNames) {
            CheckArgument(name, "remote file name");
            commands.push_back("DELE " + name);
        }
        impl_->SendCommands(commands);
        for (size_t i = 0; i < commands.size(); ++i) {
            try {
                impl_->ReadReply({250});
                results.push_back(nullptr);
            } catch (const ProtocolReplyError&) {
                results.push_back(std::current_exception());
            }
        }
    });
}

int64_t FtpSession::Size(const std::string& remoteName) {
    return impl_->Run([&]() -> int64_t {
        CheckArgument(remoteName, "remote file name");
        impl_->SendCommand("SIZE " + remoteName);
        if (impl_->ReadReply({}) != 213)
            return -1;
        return ftp::ParseSizeReply(impl_->lastLines);
    });
}

std::vector<FtpSession::SizeAnswer> FtpSession::Sizes(const std::vector<std::string>& remoteNames) {
    return impl_->Run([&] {
        std::vector<std::string> commands;
        for (const std::string& name : remoteNames) {
            CheckArgument(name, "remote file name");
            commands.push_back("SIZE " + name);
        }
        impl_->SendCommands(commands);
        std::vector<SizeAnswer> answers;
        for (size_t i = 0; i < commands.size(); ++i) {
            SizeAnswer a;
            a.code = impl_->ReadReply({});
            if (a.code == 213)
                a.size = ftp::ParseSizeReply(impl_->lastLines);
            answers.push_back(a);
        }
        return answers;
    });
}

void FtpSession::Noop() {
    if (impl_->depth > 0)
        return;
    impl_->Run([&] {
        impl_->SendCommand("NOOP");
        impl_->ReadReply({200});
    });
}

void FtpSession::Abort() {
    std::shared_ptr<FtpSession> keep = weak_from_this().lock();
    impl_->Abort();
}

void FtpSession::Disconnect() {
    std::shared_ptr<FtpSession> keep = weak_from_this().lock();
    impl_->CloseControl();
}

bool FtpSession::Connected() const {
    return impl_->ControlUsable();
}

bool FtpSession::Busy() const {
    return impl_->depth > 0;
}

int FtpSession::LastReplyCode() const {
    return impl_->lastCode;
}

const std::vector<std::string>& FtpSession::LastReplyLines() const {
    return impl_->lastLines;
}

} // namespace kv
