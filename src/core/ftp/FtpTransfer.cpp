// FtpSession's data transfers: the work events, the data connection (passive
// or active, with TLS), the generic Transfer that listings, downloads and
// uploads run through, and Abort.
#include "ftp/FtpSessionImpl.h"

#include "ftp/FtpReply.h"
#include "ftp/Socks.h"

#include <algorithm>
#include <arpa/inet.h>

namespace kv {

void FtpSession::Impl::WorkBegin(WorkDirection d, int64_t size) {
    WorkState& s = work[static_cast<int>(d)];
    if (++s.level == 1) {
        s.size = size;
        s.total = 0;
        H().FtpWorkBegin(d, size);
    }
}

void FtpSession::Impl::Work(WorkDirection d, int64_t count) {
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

void FtpSession::Impl::WorkEnd(WorkDirection d) {
    WorkState& s = work[static_cast<int>(d)];
    if (s.level == 1)
        H().FtpWorkEnd(d);
    if (s.level > 0)
        --s.level;
}

void FtpSession::Impl::SecureData(net::NetSocket& s, net::Waiter& w) {
    if (!tlsContext)
        return;
    try {
        s.StartTls(*tlsContext, net::HostWithoutBrackets(self.Host), control.Tls()->Session(), w);
    } catch (const TlsError& e) {
        throw TlsError(std::string("The data connection could not be secured: ") + e.what());
    }
}

void FtpSession::Impl::OpenPassive(net::NetSocket& s, int port, net::Waiter& w) {
    if (self.Proxy.Version != SocksVersion::None) {
        s.Connect(peer, "", w);
        socks::Handshake(s, self.Proxy, proxyTarget, port, w);
    } else {
        net::Address target = peer;
        target.SetPort(port);
        s.Connect(target, "", w);
    }
}

std::string FtpSession::Impl::PortCommand(const net::Address& local, bool extended) {
    const int p = local.Port();
    if (extended)
        return "EPRT |" + std::string(local.Family() == AF_INET6 ? "2" : "1") + "|" +
               net::AddressText(local) + "|" + std::to_string(p) + "|";
    std::string dotted = net::AddressText(local);
    std::replace(dotted.begin(), dotted.end(), '.', ',');
    return "PORT " + dotted + "," + std::to_string(p >> 8) + "," + std::to_string(p & 255);
}

bool FtpSession::Impl::Transfer(const std::string& command, Kind kind, const Mover& move,
                                SizesFirst* first) {
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
                std::vector<std::string> commands = SizeCommands(first->names, first->withTimes);
                if (together)
                    commands.push_back("PASV");
                SendCommands(commands);
            }
            bool absent = true;
            for (size_t i = 0; i < first->names.size(); ++i) {
                const SizeAnswer a = ReadSizeAnswer();
                absent = absent && a.code == 550;
                first->answers.push_back(a);
                if (first->withTimes)
                    first->times.push_back(ReadTimeAnswer());
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
            ++transferCommands;
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
            ++transferCommands;
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

void FtpSession::Impl::CheckClosedLocally() {
    if (!aborted || !ControlUsable())
        throw ConnClosedGracefullyError();
}

void FtpSession::Impl::Abort() {
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

} // namespace kv
