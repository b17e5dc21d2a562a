// FtpSession's control connection: sending commands (one or several in one
// write), reading replies, the commands sent ahead for an upload, bringing the
// connection back in step after an interrupted transfer, and closing.
#include "ftp/FtpSessionImpl.h"

#include "ftp/FtpReply.h"

#include <algorithm>

namespace kv {

namespace {

// Replies read while bringing the control connection back in step after an
// interrupted transfer, before giving up on the server.
constexpr int kMaxDrainReplies = 16;

} // namespace

void FtpSession::Impl::CloseData() {
    if (data)
        data->Close();
    if (listener)
        listener->Close();
}

void FtpSession::Impl::CloseControl() {
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

void FtpSession::Impl::SendRaw(const std::string& line, const char* traced) {
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

void FtpSession::Impl::SendCommands(const std::vector<std::string>& commands) {
    std::string all;
    for (const std::string& c : commands)
        all += c + "\r\n";
    SendRaw(all, commands.front().c_str());
    for (size_t i = 1; i < commands.size(); ++i)
        Trace("Sent: " + commands[i]);
}

void FtpSession::Impl::DropAskedAhead() {
    if (!askedAheadOwed)
        return;
    askedAheadOwed = false;
    for (size_t i = 0; i <= askedAhead.size(); ++i)
        ReadReply({});
}

int FtpSession::Impl::ReadReply(std::initializer_list<int> accepted) {
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

void FtpSession::Impl::Drain(bool finalOwed) {
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

void FtpSession::Impl::CloseUnlessInStep() {
    if (keepOpen && ControlUsable()) {
        keepOpen = false;
        return;
    }
    keepOpen = false;
    CloseControl();
}

std::vector<std::string> FtpSession::Impl::SizeCommands(const std::vector<std::string>& names,
                                                        bool times) {
    std::vector<std::string> commands;
    for (const std::string& name : names) {
        CheckArgument(name, "remote file name");
        commands.push_back("SIZE " + name);
        if (times)
            commands.push_back("MDTM " + name);
    }
    return commands;
}

std::string FtpSession::Impl::ReadTimeAnswer() {
    return ReadReply({}) == 213 ? ftp::ParseMdtmReply(lastLines) : std::string();
}

FtpSession::SizeAnswer FtpSession::Impl::ReadSizeAnswer() {
    SizeAnswer a;
    a.code = ReadReply({});
    if (a.code == 213)
        a.size = ftp::ParseSizeReply(lastLines);
    return a;
}

} // namespace kv
