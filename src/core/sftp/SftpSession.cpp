// SftpSession's public operations, each run through Impl::Run, the waits with
// their idle pump, the failures, and the closing.
#include "sftp/SftpSession.h"

#include "ftp/FtpReply.h"
#include "sftp/SftpSessionImpl.h"
#include "sftp/SftpText.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace kv {

void SftpSession::Impl::Trace(const std::string& text) {
    if (trace)
        E().Trace(ftp::TraceLine(ftp::TraceStamp(), text));
}

void SftpSession::Impl::CheckOpen() const {
    if (!ssh || Ended())
        throw ConnClosedGracefullyError();
}

void SftpSession::Impl::WaitSocket(net::Waiter& w, std::chrono::steady_clock::time_point since) {
    short wanted = POLLIN;
    if (ssh && (ssh_get_poll_flags(ssh) & SSH_WRITE_PENDING))
        wanted |= POLLOUT;
    // OpenSSH's server leaves Nagle's algorithm on for SFTP: an answer that
    // follows another unacknowledged one waits for our acknowledgement,
    // which the kernel would delay 40 ms while we have nothing to send.
    // Acknowledge at once while waiting for an answer (the mode lapses by
    // itself, so it is asked again at each wait).
    const int on = 1;
    ::setsockopt(Fd(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    struct pollfd p {
        Fd(), wanted, 0
    };
    ::poll(&p, 1, net::kSliceMs);
    w.Pump();
    if (Ended())
        throw ConnClosedGracefullyError();
    if (std::chrono::steady_clock::now() >= w.GiveUpAt(since)) {
        Break();
        throw SocketError(10060);
    }
}

std::string SftpSession::Impl::LastError() const {
    if (!ssh)
        return "";
    const char* message = ssh_get_error(ssh);
    return message ? message : "";
}

void SftpSession::Impl::Refused(uint32_t status, const std::string& what) {
    const std::string text = "SFTP: " + sftp::StatusText(status) + " (" + what + ")";
    Trace("Recv: " + text);
    throw ProtocolReplyError(sftp::ReplyCodeOf(status), text, sftp::RefusalOf(status));
}

void SftpSession::Impl::Fail(const std::string& what) {
    if (phase == Phase::Closing)
        throw ConnClosedGracefullyError();
    const std::string detail = LastError();
    const bool closed =
        (ssh && (ssh_get_status(ssh) & (SSH_CLOSED | SSH_CLOSED_ERROR))) ||
        (channel && (ssh_channel_is_closed(channel) || ssh_channel_is_eof(channel)));
    Break();
    if (closed || detail.find("Socket error") != std::string::npos ||
        detail.find("disconnected") != std::string::npos)
        throw SocketError(10054);
    throw FtpError("The SFTP connection failed during " + what + ": " +
                   (detail.empty() ? "no reason given" : detail) + "; the session was closed.");
}

void SftpSession::Impl::Break() {
    if (Ended())
        return;
    phase = Phase::Broken;
    // Nothing more goes out; libssh still holds its descriptor until Release.
    if (socket && ssh)
        ::shutdown(Fd(), SHUT_RDWR);
}

void SftpSession::Impl::Release() {
    const bool wasOpen = socket && socket->IsOpen();
    if (ssh) {
        if (!Ended()) {
            // A goodbye within a short wait; the server may be gone already.
            // (libssh's flush returns at once when nothing is left to send.)
            if (channel)
                ssh_channel_close(channel);
            ssh_blocking_flush(ssh, 2000);
            ssh_disconnect(ssh);
        } else {
            ::shutdown(Fd(), SHUT_RDWR);
        }
        // Frees the channel too, and closes libssh's descriptor.
        ssh_free(ssh);
        ssh = nullptr;
        channel = nullptr;
    }
    phase = Phase::Closed;
    ResetWire();
    if (socket)
        socket->Close();
    socket.reset();
    cwd.clear();
    if (wasOpen) {
        Trace("Disconnected.");
        E().Disconnected();
        // The same closing lines as an FTP session's, so both logs read alike.
        Status("Not connected.");
    }
}

SftpSession::SftpSession() : impl_(std::make_unique<Impl>(*this)) {
    Port = 22;
}

SftpSession::~SftpSession() {
    // Owners release the session after Disconnect; close quietly, the events'
    // receiver may be gone already.
    impl_->events = nullptr;
    impl_->Break();
    impl_->Release();
}

void SftpSession::SetEvents(remote::Events* events) {
    impl_->events = events;
}

void SftpSession::SetTraceEnabled(bool on) {
    impl_->trace = on;
}

void SftpSession::Connect(bool login) {
    impl_->Run([&] { impl_->Connect(login); });
}

void SftpSession::SetTransferType(TransferType type) {
    Type = type;
}

void SftpSession::ChangeDir(const std::string& folder) {
    Impl& i = *impl_;
    i.Run([&] {
        net::Waiter w = i.MakeWaiter();
        const std::string path = i.RealPath(i.Path(folder), w);
        sftp::Attrs attrs;
        uint32_t status = 0;
        if (!i.Stat(path, attrs, status, w))
            throw ProtocolReplyError(sftp::ReplyCodeOf(status),
                                     "SFTP: " + sftp::StatusText(status) + " (folder " + folder +
                                         ")");
        if (!attrs.IsDir())
            throw ProtocolReplyError(550, "SFTP: Not a folder (" + folder + ")");
        i.cwd = path;
    });
}

void SftpSession::ChangeDirUp() {
    ChangeDir("..");
}

std::string SftpSession::RetrieveCurrentDir() {
    impl_->CheckOpen();
    return impl_->cwd;
}

void SftpSession::List(std::vector<std::string>& dest, const std::string& specifier, bool details) {
    impl_->Run([&] { impl_->List(dest, specifier, details); });
}

RemoteListing SftpSession::ListFolder(const std::string& folder, const std::string& pattern,
                                      bool onlyMatching) {
    return impl_->Run([&] { return impl_->ListFolder(folder, pattern, onlyMatching); });
}

GetResult SftpSession::Get(const std::string& remoteName, const std::string& localName,
                           bool overwrite, int64_t* remoteSize, std::string* remoteTime,
                           int64_t expectedSize) {
    return impl_->Run([&] {
        return impl_->Get(remoteName, localName, overwrite, remoteSize, remoteTime, expectedSize);
    });
}

void SftpSession::Put(const std::string& localName, const std::string& remoteName, bool append) {
    impl_->Run([&] {
        const uint32_t flags =
            sftp::kFxfWrite | sftp::kFxfCreat | (append ? sftp::kFxfAppend : sftp::kFxfTrunc);
        impl_->Put(localName, remoteName, flags, false);
    });
}

std::vector<RemoteSession::SizeAnswer>
SftpSession::PutIfAbsent(const std::string& localName, const std::string& remoteName,
                         const std::vector<std::string>& absentNames) {
    Impl& i = *impl_;
    return i.Run([&] {
        net::Waiter w = i.MakeWaiter();
        std::vector<SizeAnswer> answers(absentNames.size());
        size_t own = absentNames.size();
        bool othersFree = true;
        for (size_t k = 0; k < absentNames.size(); ++k) {
            if (absentNames[k] == remoteName) {
                own = k;
                continue;
            }
            answers[k] = i.SizeOf(absentNames[k], nullptr, w);
            othersFree = othersFree && answers[k].Missing();
        }
        if (!othersFree)
            return answers;
        const uint32_t flags = sftp::kFxfWrite | sftp::kFxfCreat | sftp::kFxfExcl;
        const bool sent = i.Put(localName, remoteName, flags, true);
        SizeAnswer mine;
        mine.code = 550;
        mine.refusal = RemoteRefusal::NoSuchFile;
        if (!sent)
            mine = i.SizeOf(remoteName, nullptr, w);
        if (own < answers.size())
            answers[own] = mine;
        return answers;
    });
}

void SftpSession::Rename(const std::string& oldName, const std::string& newName) {
    impl_->Run([&] {
        net::Waiter w = impl_->MakeWaiter();
        impl_->Rename(oldName, newName, w);
    });
}

void SftpSession::Rename(const std::vector<std::pair<std::string, std::string>>& pairs,
                         std::vector<std::exception_ptr>& results) {
    results.clear();
    impl_->Run([&] {
        net::Waiter w = impl_->MakeWaiter();
        for (const auto& [from, to] : pairs) {
            try {
                impl_->Rename(from, to, w);
                results.push_back(nullptr);
            } catch (const ProtocolReplyError&) {
                results.push_back(std::current_exception());
            }
        }
    });
}

void SftpSession::Delete(const std::string& remoteName) {
    impl_->Run([&] {
        net::Waiter w = impl_->MakeWaiter();
        impl_->Delete(remoteName, w);
    });
}

void SftpSession::Delete(const std::vector<std::string>& remoteNames,
                         std::vector<std::exception_ptr>& results) {
    results.clear();
    impl_->Run([&] {
        net::Waiter w = impl_->MakeWaiter();
        for (const std::string& name : remoteNames) {
            try {
                impl_->Delete(name, w);
                results.push_back(nullptr);
            } catch (const ProtocolReplyError&) {
                results.push_back(std::current_exception());
            }
        }
    });
}

std::vector<RemoteSession::Stamp> SftpSession::Stamps(const std::vector<std::string>& remoteNames) {
    return impl_->Run([&] {
        net::Waiter w = impl_->MakeWaiter();
        std::vector<Stamp> stamps;
        for (const std::string& name : remoteNames) {
            Stamp s;
            const SizeAnswer a = impl_->SizeOf(name, &s.time, w);
            s.size = a.size;
            s.sizeCode = a.code;
            s.sizeRefusal = a.refusal;
            stamps.push_back(s);
        }
        return stamps;
    });
}

int64_t SftpSession::Size(const std::string& remoteName) {
    return Sizes({remoteName}).front().size;
}

std::vector<RemoteSession::SizeAnswer>
SftpSession::Sizes(const std::vector<std::string>& remoteNames) {
    return impl_->Run([&] {
        net::Waiter w = impl_->MakeWaiter();
        std::vector<SizeAnswer> answers;
        for (const std::string& name : remoteNames)
            answers.push_back(impl_->SizeOf(name, nullptr, w));
        return answers;
    });
}

void SftpSession::Noop() {
    Impl& i = *impl_;
    if (i.inOperation)
        return;
    i.Run([&] {
        net::Waiter w = i.MakeWaiter();
        sftp::Attrs attrs;
        uint32_t status = 0;
        i.Stat(i.cwd.empty() ? "." : i.cwd, attrs, status, w);
    });
}

void SftpSession::Abort() {
    if (impl_->phase == Impl::Phase::Transfer)
        impl_->phase = Impl::Phase::Aborting;
}

void SftpSession::Disconnect() {
    Impl& i = *impl_;
    if (!i.socket)
        return;
    if (!i.peerText.empty())
        i.Status("Disconnecting from " + i.peerText + ".");
    if (i.inOperation) {
        // An operation is waiting: it ends on its next slice and releases
        // the session on its way out.
        i.phase = Impl::Phase::Closing;
        if (i.ssh)
            ::shutdown(i.Fd(), SHUT_RDWR);
        return;
    }
    i.Release();
}

bool SftpSession::Connected() const {
    return impl_->Usable();
}

bool SftpSession::Busy() const {
    return impl_->inOperation;
}

int64_t SftpSession::TransferCommandsSent() const {
    return impl_->transfers;
}

} // namespace kv
