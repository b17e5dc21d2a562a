// FtpSession's data transfers: the work events, the data connection (passive
// or active, with TLS), the generic Transfer that listings, downloads and
// uploads run through, and Abort.
#include "ftp/FtpSessionImpl.h"

#include "ftp/FtpReply.h"
#include "ftp/ReplyCodes.h"
#include "ftp/Socks.h"

#include <algorithm>
#include <arpa/inet.h>

namespace kv {

namespace rc = ftp::reply;

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

bool FtpSession::Impl::AskSizesFirst(SizesFirst& first) {
    const bool together = PassiveWithPasv();
    std::vector<InFlight> commands = SizeCommands(first.names, first.withTimes);
    if (together)
        commands.push_back(Expect("PASV", {rc::EnteringPassive}));
    Send(std::move(commands));
    bool absent = true;
    for (size_t i = 0; i < first.names.size(); ++i) {
        const SizeAnswer a = ReadSizeAnswer();
        absent = absent && a.code == rc::FileUnavailable;
        first.answers.push_back(a);
        if (first.withTimes)
            first.times.push_back(ReadTimeAnswer());
    }
    if (together)
        ReadReply({rc::EnteringPassive});
    // A passive port opened for nothing is closed by the server at the next PASV.
    first.skipped = first.onlyIfAbsent && !absent;
    return together;
}

void FtpSession::Impl::OpenDataAndStart(const std::string& command, Kind kind, net::NetSocket& sock,
                                        net::Waiter& w, bool passiveReplyRead) {
    // Abort may come from the idle pump before the data connection exists.
    auto stopIfAborted = [&] {
        if (phase == Phase::Aborting)
            throw ConnClosedGracefullyError();
    };
    const bool extended = Extended();
    const InFlight transfer = Expect(command, rc::ToTransferEnd, InFlight::Kind::Transfer);
    if (self.Passive) {
        int port;
        if (extended) {
            SendCommand("EPSV", {rc::EnteringExtendedPassive});
            ReadReply({rc::EnteringExtendedPassive});
            port = ftp::ParseEpsvReply(lastLines.back());
        } else {
            if (!passiveReplyRead) {
                SendCommand("PASV", {rc::EnteringPassive});
                ReadReply({rc::EnteringPassive});
            }
            port = ftp::ParsePasvReply(lastLines.back()).Port;
        }
        stopIfAborted();
        OpenPassive(sock, port, w);
        stopIfAborted();
        ++transferCommands;
        Send({transfer});
        if (kind == Kind::Write)
            ReadReply({rc::RestartMarker, rc::DataAlreadyOpen, rc::AboutToOpenData});
        else
            ReadReply({rc::DataAlreadyOpen, rc::AboutToOpenData});
        SecureData(sock, w);
        return;
    }
    auto lst = std::make_shared<net::NetSocket>();
    listener = lst;
    stopIfAborted();
    lst->Listen(control.LocalAddress());
    SendCommand(PortCommand(lst->LocalAddress(), extended), {rc::CommandOkay});
    ReadReply({rc::CommandOkay});
    ++transferCommands;
    Send({transfer});
    ReadReply({rc::DataAlreadyOpen, rc::AboutToOpenData});
    stopIfAborted();
    // Only the server may connect: another host could slip in bytes of its own.
    const net::Address server = control.PeerAddress();
    if (!lst->Accept(sock, w, &server))
        throw ConnClosedGracefullyError();
    lst->Close();
    SecureData(sock, w);
}

bool FtpSession::Impl::Transfer(const std::string& command, Kind kind, const Mover& move,
                                SizesFirst* first) {
    if (!ControlUsable())
        throw ConnClosedGracefullyError();
    auto sock = std::make_shared<net::NetSocket>();
    data = sock;
    struct End {
        Impl& i;
        ~End() {
            i.CloseData();
            i.data.reset();
            i.listener.reset();
            if (i.phase == Phase::Transfer || i.phase == Phase::Aborting)
                i.SetPhase(i.inFlight.empty() ? Phase::Idle : Phase::Command);
        }
    } end{*this};
    net::Waiter w = MakeWaiter();
    try {
        const bool passiveReplyRead = first && AskSizesFirst(*first);
        if (first && first->skipped)
            return false;
        SetPhase(Phase::Transfer);
        OpenDataAndStart(command, kind, *sock, w, passiveReplyRead);
        const bool moved = move(*sock, w);
        if (phase == Phase::Aborting) {
            sock->Close();
            StopTransfer();
            return false;
        }
        sock->EndTls(w);
        sock->Close();
        // A refusal here is the transfer's final word.
        const int code = Await();
        if (code != rc::TransferAborted &&
            std::find(rc::ToTransferEnd.begin(), rc::ToTransferEnd.end(), code) ==
                rc::ToTransferEnd.end())
            throw ProtocolReplyError(lastCode, lastLines.back());
        return moved && code != rc::TransferAborted;
    } catch (...) {
        // Leave the control connection in step when it is still usable:
        // stop the server's side of an unfinished transfer and read what it
        // owes, so the caller may go on with its next command.
        CloseData();
        const bool owed = std::any_of(inFlight.begin(), inFlight.end(), [](const InFlight& c) {
            return c.kind == InFlight::Kind::Transfer;
        });
        if (ControlUsable() && owed)
            StopTransfer();
        throw;
    }
}

void FtpSession::Impl::CheckClosedLocally() {
    if (phase != Phase::Aborting || !ControlUsable())
        throw ConnClosedGracefullyError();
}

void FtpSession::Impl::Abort() {
    if (phase != Phase::Transfer)
        return;
    SetPhase(Phase::Aborting);
    // A command line half written is finished first; Send then adds the ABOR.
    if (ControlUsable() && !writing &&
        std::any_of(inFlight.begin(), inFlight.end(),
                    [](const InFlight& c) { return c.kind == InFlight::Kind::Transfer; })) {
        try {
            Send({Expect("ABOR", rc::ToAbort, InFlight::Kind::Abort)});
        } catch (const FtpError&) {
            CloseControl();
        }
    }
    CloseData();
}

} // namespace kv
