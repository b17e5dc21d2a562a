// FtpSession's control connection: the queue of commands in flight, matching
// each reply to the command it belongs to (unsolicited ones are skipped),
// commands sent ahead for a later operation, the phase, and closing.
#include "ftp/FtpSessionImpl.h"

#include "ftp/FtpReply.h"
#include "ftp/ReplyCodes.h"

#include <algorithm>

namespace kv {

namespace {

// Replies no command waits for that one read may skip before the server is
// given up on: a chatty server sends one or two, a broken one many.
constexpr int kMaxUnsolicited = 16;

} // namespace

void FtpSession::Impl::SetPhase(Phase p) {
    if (p == phase)
        return;
    static const char* const names[] = {"idle", "command in flight", "transfer running", "aborting",
                                        "closing"};
    if (self.TracePhases)
        Trace(std::string("Phase: ") + names[static_cast<int>(phase)] + " -> " +
              names[static_cast<int>(p)] + ".");
    phase = p;
}

FtpSession::Impl::InFlight FtpSession::Impl::Expect(std::string command,
                                                    std::initializer_list<int> finals,
                                                    InFlight::Kind kind) {
    InFlight c;
    c.command = std::move(command);
    c.finals = finals;
    c.kind = kind;
    c.preliminary = kind == InFlight::Kind::Transfer;
    // No one reads an ABOR's reply (a server may send none): the marker after
    // it ends the wait.
    c.optional = kind == InFlight::Kind::Abort;
    if (kind == InFlight::Kind::Abort)
        c.use = InFlight::Use::Drop;
    return c;
}

bool FtpSession::Impl::Accepts(const InFlight& c, int code) {
    // A refusal, or a reply that is no FTP reply at all ("+OK", "-ERR"),
    // answers whatever command waits.
    if (ftp::reply::IsRefusal(code) || code < 100 || code >= 600)
        return true;
    if (ftp::reply::IsPreliminary(code))
        return c.preliminary;
    return std::find(c.finals.begin(), c.finals.end(), code) != c.finals.end();
}

void FtpSession::Impl::CloseData() {
    if (data)
        data->Close();
    if (listener)
        listener->Close();
}

void FtpSession::Impl::CloseControl() {
    CloseData();
    if (phase == Phase::Closing || !control.IsOpen())
        return;
    SetPhase(Phase::Closing);
    Status("Disconnecting from " + peerText + ".");
    control.Close();
    peerClosed = false;
    inbuf.clear();
    inFlight.clear();
    Trace("Disconnected.");
    SetPhase(Phase::Idle);
    E().Disconnected();
    Status("Not connected.");
}

void FtpSession::Impl::Settle() {
    if (phase == Phase::Closing)
        return;
    for (InFlight& c : inFlight)
        if (c.use == InFlight::Use::Await)
            c.use = InFlight::Use::Drop;
    if (phase == Phase::Transfer || phase == Phase::Aborting)
        return; // the transfer code settles itself
    SetPhase(inFlight.empty() ? Phase::Idle : Phase::Command);
}

bool FtpSession::Impl::InStep() const {
    return ControlUsable() && phase != Phase::Transfer && phase != Phase::Aborting;
}

void FtpSession::Impl::SkipUnsolicited() {
    if (!inFlight.empty() || !ControlUsable())
        return;
    // Whatever the server said unasked (a second "226", a "421" before it
    // hangs up) is read now, so the next command reads its own reply.
    std::string refusal;
    for (int i = 0; i < kMaxUnsolicited; ++i) {
        ftp::ReplyReader reader;
        size_t used = reader.Consume(inbuf);
        if (!reader.Done()) {
            long n = control.ReceiveNow(chunk.data(), chunk.size());
            if (n <= 0) {
                peerClosed = peerClosed || n == 0;
                break;
            }
            Trace("Recv: " + std::string(chunk.data(), static_cast<size_t>(n)));
            inbuf.append(chunk.data(), static_cast<size_t>(n));
            continue;
        }
        inbuf.erase(0, used);
        Trace("Skipped a reply no command waits for: " + reader.Lines().back());
        if (ftp::reply::IsRefusal(reader.Code()))
            refusal = reader.Lines().back();
    }
    // A server that said why before it hung up is reported with its words.
    if (peerClosed && !refusal.empty())
        throw ProtocolReplyError(ftp::ReplyCode(refusal), refusal);
}

void FtpSession::Impl::Send(std::vector<InFlight> commands, const char* traced) {
    // Commands sent ahead that these are: their replies become ours.
    auto ahead = std::find_if(inFlight.begin(), inFlight.end(),
                              [](const InFlight& c) { return c.use == InFlight::Use::Ahead; });
    size_t taken = 0;
    while (taken < commands.size() && ahead != inFlight.end() &&
           ahead->use == InFlight::Use::Ahead && ahead->command == commands[taken].command) {
        ahead->use = InFlight::Use::Await;
        ++ahead;
        ++taken;
    }
    for (InFlight& c : inFlight)
        if (c.use == InFlight::Use::Ahead)
            c.use = InFlight::Use::Drop;
    if (taken == commands.size())
        return;
    commands.erase(commands.begin(), commands.begin() + static_cast<std::ptrdiff_t>(taken));
    if (taken > 0)
        traced = nullptr;
    SkipUnsolicited();
    if (!ControlUsable())
        throw ConnClosedGracefullyError();
    std::string all;
    for (const InFlight& c : commands)
        all += c.command + "\r\n";
    net::Waiter w = MakeWaiter();
    bool sent;
    writing = true;
    try {
        sent = control.Send(all.data(), all.size(), w);
    } catch (const SocketError&) {
        writing = false;
        CloseControl();
        throw;
    }
    writing = false;
    if (!sent) {
        CloseControl();
        throw ConnClosedGracefullyError();
    }
    for (size_t i = 0; i < commands.size(); ++i) {
        Trace("Sent: " + std::string(i == 0 && traced ? traced : commands[i].command + "\r\n"));
        if (i == 0 && traced)
            commands[i].command = "pass";
        inFlight.push_back(std::move(commands[i]));
    }
    if (phase == Phase::Idle)
        SetPhase(Phase::Command);
    // An Abort that came while the line was being written sends its ABOR now.
    if (phase == Phase::Aborting &&
        std::none_of(inFlight.begin(), inFlight.end(),
                     [](const InFlight& c) { return c.kind == InFlight::Kind::Abort; }) &&
        std::any_of(inFlight.begin(), inFlight.end(),
                    [](const InFlight& c) { return c.kind == InFlight::Kind::Transfer; }))
        Send({Expect("ABOR", ftp::reply::ToAbort, InFlight::Kind::Abort)});
}

void FtpSession::Impl::SendAhead(std::vector<InFlight> commands) {
    // PASV names an IPv4 address only; elsewhere the next transfer asks EPSV.
    if (!PassiveWithPasv())
        commands.erase(std::remove_if(commands.begin(), commands.end(),
                                      [](const InFlight& c) { return c.command == "PASV"; }),
                       commands.end());
    if (commands.empty())
        return;
    // Commands sent ahead before and not taken are no one's now.
    for (InFlight& c : inFlight)
        if (c.use == InFlight::Use::Ahead)
            c.use = InFlight::Use::Drop;
    const size_t sent = commands.size();
    Send(std::move(commands));
    for (size_t i = 0; i < sent && i < inFlight.size(); ++i)
        inFlight[inFlight.size() - 1 - i].use = InFlight::Use::Ahead;
}

int FtpSession::Impl::Await() {
    for (int skipped = 0;;) {
        if (std::none_of(inFlight.begin(), inFlight.end(),
                         [](const InFlight& c) { return c.use == InFlight::Use::Await; }))
            throw FtpLimitError("No reply is awaited on the FTP control connection.");
        try {
            ReadWholeReply();
        } catch (const FtpError&) {
            // The control connection broke, went silent or sent garbage.
            CloseControl();
            throw;
        }
        const int code = lastCode;
        // Commands whose reply may never come give way to the next one.
        while (!inFlight.empty() && !Accepts(inFlight.front(), code) && inFlight.front().optional)
            inFlight.pop_front();
        if (inFlight.empty() || !Accepts(inFlight.front(), code)) {
            Trace("Skipped a reply no command waits for: " + lastLines.back());
            if (++skipped > kMaxUnsolicited) {
                CloseControl();
                throw FtpLimitError("The FTP server sends replies that match none of the "
                                    "commands sent; the connection was closed. Connect again.");
            }
            continue;
        }
        InFlight& head = inFlight.front();
        const bool ours = head.use == InFlight::Use::Await;
        if (ftp::reply::IsPreliminary(code)) {
            head.preliminary = false; // its final reply follows
            if (ours)
                return code;
            continue;
        }
        if (head.kind == InFlight::Kind::Transfer) {
            transferFinal = code;
            transferFinalLines = lastLines;
        }
        inFlight.pop_front();
        if (ours)
            return code;
    }
}

int FtpSession::Impl::ReadReply(std::initializer_list<int> accepted) {
    Await();
    if (accepted.size() > 0 &&
        std::find(accepted.begin(), accepted.end(), lastCode) == accepted.end())
        throw ProtocolReplyError(lastCode, lastLines.back());
    return lastCode;
}

void FtpSession::Impl::ReadWholeReply() {
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

void FtpSession::Impl::StopTransfer() {
    SetPhase(Phase::Aborting);
    std::vector<InFlight> commands;
    if (std::none_of(inFlight.begin(), inFlight.end(),
                     [](const InFlight& c) { return c.kind == InFlight::Kind::Abort; }))
        commands.push_back(Expect("ABOR", ftp::reply::ToAbort, InFlight::Kind::Abort));
    commands.push_back(Expect("PWD", {ftp::reply::PathName}, InFlight::Kind::Marker));
    // Whatever it still owes, the transfer may never say it: the marker ends
    // the wait for it.
    for (InFlight& c : inFlight) {
        if (c.kind == InFlight::Kind::Transfer) {
            c.optional = true;
            c.use = InFlight::Use::Drop;
        }
    }
    transferFinal = 0;
    Send(std::move(commands));
    ReadReply({ftp::reply::PathName});
    if (transferFinal != 0) {
        lastCode = transferFinal;
        lastLines = transferFinalLines;
    }
}

std::vector<FtpSession::Impl::InFlight>
FtpSession::Impl::SizeCommands(const std::vector<std::string>& names, bool times) {
    std::vector<InFlight> commands;
    for (const std::string& name : names) {
        CheckArgument(name, "remote file name");
        commands.push_back(Expect("SIZE " + name, ftp::reply::ToSize));
        if (times)
            commands.push_back(Expect("MDTM " + name, ftp::reply::ToSize));
    }
    return commands;
}

FtpSession::SizeAnswer FtpSession::Impl::ReadSizeAnswer() {
    SizeAnswer a;
    a.code = ReadReply({});
    if (a.code == ftp::reply::FileStatus)
        a.size = ftp::ParseSizeReply(lastLines);
    else
        a.refusal = RefusalOfReplyCode(a.code);
    return a;
}

std::string FtpSession::Impl::ReadTimeAnswer() {
    return ReadReply({}) == ftp::reply::FileStatus ? ftp::ParseMdtmReply(lastLines) : std::string();
}

} // namespace kv
