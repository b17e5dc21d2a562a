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

// An answer's id: the big-endian field after its length and type.
uint32_t IdAt(const char* p) {
    return sftp::PacketLength(p);
}

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
        requestBytesSent += static_cast<uint64_t>(n);
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

uint64_t SftpSession::Impl::ProgressOn(uint32_t id) const {
    uint64_t bytes = requestBytesSent;
    // The packet coming in now, once its type and id are in.
    const size_t partial = in.size() - inAt;
    if (partial >= 5) {
        const uint8_t type = static_cast<uint8_t>(in[inAt + 4]);
        if (type == sftp::kVersion ? id == 0 : partial >= 9 && IdAt(in.data() + inAt + 5) == id)
            bytes += partial;
    }
    return bytes;
}

SftpSession::Impl::Answer SftpSession::Impl::Await(uint32_t id, net::Waiter& w) {
    // Only the request's own progress counts: bytes of its answer, or of
    // requests still going out. SSH messages without SFTP data (a flood of
    // ignore messages) and answers to other requests restart no clock, and
    // a trickled answer meets the bytes-per-second floor.
    auto since = std::chrono::steady_clock::now();
    remote::RateFloor rate(self, "SFTP");
    uint64_t seen = ProgressOn(id);
    for (;;) {
        CheckOpen();
        if (auto it = answers.find(id); it != answers.end()) {
            Answer a = std::move(it->second);
            answers.erase(it);
            return a;
        }
        const bool moved = Exchange();
        if (Has(id))
            continue;
        const uint64_t progress = ProgressOn(id);
        try {
            rate.Moved(static_cast<int64_t>(progress - seen));
        } catch (...) {
            Break(); // the answer is half in: the stream cannot go on
            throw;
        }
        if (progress != seen) {
            seen = progress;
            since = std::chrono::steady_clock::now();
        }
        if (!moved) {
            WaitSocket(w, since);
            continue;
        }
        if (std::chrono::steady_clock::now() >= w.GiveUpAt(since)) {
            Break();
            throw SocketError(10060);
        }
        w.PumpIfDue();
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
