// SftpSession's SFTP packet layer on the SSH channel: requests queued with
// their ids and handed to the channel as its window allows, answers cut from
// the bytes received and kept until their request asks for them, so that
// many requests can be in flight; answers nobody waits for are dropped.
#include "sftp/SftpSessionImpl.h"

#include "ftp/FtpReply.h"

#include <poll.h>

namespace kv {

namespace {

// No answer of a server we ask is larger (a READ's data is at most what was
// asked, 256 KiB at most); a longer length means the stream is garbled.
constexpr uint32_t kMaxAnswer = 4u << 20;
constexpr size_t kReadSize = 256 << 10; // bytes taken from the channel at once

} // namespace

void SftpSession::Impl::ResetWire() {
    out.clear();
    outAt = 0;
    in.clear();
    inAt = 0;
    awaited.clear();
    answers.clear();
}

uint32_t SftpSession::Impl::Send(sftp::Request&& r) {
    CheckOpen();
    const uint32_t id = r.Id();
    if (outAt == out.size()) {
        out = std::move(r).Bytes();
        outAt = 0;
    } else {
        out += std::move(r).Bytes();
    }
    awaited.insert(id);
    Exchange();
    return id;
}

bool SftpSession::Impl::Push() {
    bool moved = false;
    while (outAt < out.size()) {
        const size_t left = out.size() - outAt;
        const int n = ssh_channel_write(channel, out.data() + outAt,
                                        static_cast<uint32_t>(std::min<size_t>(left, 1 << 20)));
        if (n < 0)
            Fail("the sending of an SFTP request");
        if (n == 0)
            break; // the server's window is full
        outAt += static_cast<size_t>(n);
        moved = true;
    }
    if (outAt == out.size() && outAt > 0) {
        out.clear();
        outAt = 0;
    }
    return moved;
}

bool SftpSession::Impl::Exchange() {
    bool moved = Push();
    scratch.resize(kReadSize);
    // libssh takes at most 4 KiB from the socket per call and answers 0 until
    // a whole packet is in: go on while the socket has more.
    for (int calls = 0; calls < 4096; ++calls) {
        const int n = ssh_channel_read_nonblocking(channel, scratch.data(), kReadSize, 0);
        if (n > 0)
            in.append(scratch.data(), static_cast<size_t>(n));
        if (n == SSH_EOF) {
            Break();
            throw SocketError(10054);
        }
        if (n < 0)
            Fail("the reception of an SFTP answer");
        if (n > 0) {
            moved = true;
            continue;
        }
        struct pollfd p {
            Fd(), POLLIN, 0
        };
        if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLIN))
            break;
        moved = true;
    }
    // What came may have opened the server's window again.
    if (outAt < out.size() && Push())
        moved = true;
    // Cut the packets received.
    while (in.size() - inAt >= 4) {
        const uint32_t length = sftp::PacketLength(in.data() + inAt);
        if (length < 1 || length > kMaxAnswer) {
            Break();
            throw FtpError("The SFTP server sent a malformed packet (length " +
                           std::to_string(length) + "); the session was closed.");
        }
        if (in.size() - inAt - 4 < length)
            break;
        sftp::Reader r(std::string_view(in.data() + inAt + 4, length));
        Answer a;
        a.type = r.U8();
        // VERSION has no id: it answers INIT, whose id is 0.
        const uint32_t id = a.type == sftp::kVersion ? 0 : r.U32();
        const size_t head = a.type == sftp::kVersion ? 1 : 5;
        if (r.Ok() && awaited.erase(id)) {
            a.body.assign(in.data() + inAt + 4 + head, length - head);
            answers[id] = std::move(a);
        }
        inAt += 4 + length;
    }
    if (inAt == in.size()) {
        in.clear();
        inAt = 0;
    } else if (inAt > (1 << 20)) {
        in.erase(0, inAt);
        inAt = 0;
    }
    return moved;
}

SftpSession::Impl::Answer SftpSession::Impl::Await(uint32_t id, net::Waiter& w) {
    auto since = std::chrono::steady_clock::now();
    for (;;) {
        CheckOpen();
        if (auto it = answers.find(id); it != answers.end()) {
            Answer a = std::move(it->second);
            answers.erase(it);
            return a;
        }
        if (Exchange()) {
            since = std::chrono::steady_clock::now();
            w.PumpIfDue();
            continue;
        }
        if (!Has(id))
            WaitSocket(w, since);
    }
}

void SftpSession::Impl::Forget(uint32_t id) {
    awaited.erase(id);
    answers.erase(id);
}

uint32_t SftpSession::Impl::StatusOf(const Answer& a) {
    if (a.type != sftp::kStatus)
        return sftp::kBadMessage;
    sftp::Reader r(a.body);
    return r.U32();
}

void SftpSession::Impl::Expect(const Answer& a, uint8_t type, const std::string& what) {
    if (a.type == type)
        return;
    if (a.type == sftp::kStatus)
        Refused(StatusOf(a), what);
    Break();
    throw FtpError("The SFTP server answered " + what + " with an unexpected packet (type " +
                   std::to_string(a.type) + "); the session was closed.");
}

bool SftpSession::Impl::Answered(const Answer& a, uint8_t type, uint32_t& status,
                                 const std::string& what) {
    if (a.type == sftp::kStatus) {
        status = StatusOf(a);
        return false;
    }
    Expect(a, type, what);
    return true;
}

} // namespace kv
