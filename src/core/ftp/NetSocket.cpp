#include "ftp/NetSocket.h"

#include "remote/RemoteErrors.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace kv::net {

using Clock = std::chrono::steady_clock;

Waiter::Waiter(remote::Events* events, int timeoutSeconds)
    : events_(events), timeout_(std::chrono::seconds(timeoutSeconds > 0 ? timeoutSeconds : 300)),
      lastPump_(Clock::now()) {}

void Waiter::Pump() {
    lastPump_ = Clock::now();
    if (events_)
        events_->Idle();
}

void Waiter::PumpIfDue() {
    if (Clock::now() - lastPump_ >= std::chrono::milliseconds(kSliceMs))
        Pump();
}

Address Address::Of(const sockaddr* sa, socklen_t length) {
    Address a;
    a.Length = std::min<socklen_t>(length, sizeof a.Storage);
    std::memcpy(&a.Storage, sa, a.Length);
    return a;
}

Address Address::Loopback(int port, bool ipv6) {
    Address a;
    if (ipv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&a.Storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        a.Length = sizeof(sockaddr_in6);
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&a.Storage);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.Length = sizeof(sockaddr_in);
    }
    a.SetPort(port);
    return a;
}

int Address::Port() const {
    if (Family() == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&Storage)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&Storage)->sin_port);
}

void Address::SetPort(int port) {
    const uint16_t p = htons(static_cast<uint16_t>(port));
    if (Family() == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&Storage)->sin6_port = p;
    else
        reinterpret_cast<sockaddr_in*>(&Storage)->sin_port = p;
}

bool Address::SameHost(const Address& other) const {
    if (Family() != other.Family())
        return false;
    if (Family() == AF_INET6)
        return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(&Storage)->sin6_addr,
                           &reinterpret_cast<const sockaddr_in6*>(&other.Storage)->sin6_addr,
                           sizeof(in6_addr)) == 0;
    return reinterpret_cast<const sockaddr_in*>(&Storage)->sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in*>(&other.Storage)->sin_addr.s_addr;
}

std::string HostWithoutBrackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

bool IsLiteralAddress(const std::string& host) {
    const std::string h = HostWithoutBrackets(host);
    in6_addr a{};
    return ::inet_pton(AF_INET, h.c_str(), &a) == 1 || ::inet_pton(AF_INET6, h.c_str(), &a) == 1;
}

namespace {

// One getaddrinfo call on a thread of its own, so that the caller can keep
// pumping events and give up after its time-out; the thread finishes the
// lookup alone when nobody waits for it any more.
struct Lookup {
    std::mutex m;
    std::condition_variable done;
    bool finished = false;
    int rc = 0;
    int err = 0;
    addrinfo* result = nullptr;
    ~Lookup() {
        if (result)
            ::freeaddrinfo(result);
    }
};

SocketError ResolverError(int rc, int err) {
    switch (rc) {
    case EAI_AGAIN:
        return SocketError(11002);
    case EAI_FAIL:
        return SocketError(11003);
    case EAI_SYSTEM:
        return SocketError::OfErrno(err);
    default:
        return SocketError(11001);
    }
}

} // namespace

std::vector<Address> Resolve(const std::string& hostSetting, int port, Waiter& w, int family) {
    const std::string host = HostWithoutBrackets(hostSetting);
    if (host.empty())
        throw SocketError(11001);
    addrinfo hints{};
    hints.ai_family = family == AF_INET ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    auto lookup = std::make_shared<Lookup>();
    if (IsLiteralAddress(host)) {
        hints.ai_flags = AI_NUMERICHOST;
        lookup->rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &lookup->result);
        lookup->finished = true;
    } else {
        std::thread([lookup, host, hints] {
            addrinfo* res = nullptr;
            int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
            std::lock_guard<std::mutex> lock(lookup->m);
            lookup->rc = rc;
            lookup->err = errno;
            lookup->result = res;
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
        const auto giveUp = w.GiveUpAt(Clock::now());
        std::unique_lock<std::mutex> lock(lookup->m);
        while (!lookup->finished) {
            lookup->done.wait_for(lock, std::chrono::milliseconds(kSliceMs));
            if (lookup->finished)
                break;
            lock.unlock();
            w.Pump();
            lock.lock();
            if (!lookup->finished && Clock::now() >= giveUp)
                throw SocketError(10060);
        }
    }
    if (lookup->rc != 0 || !lookup->result)
        throw ResolverError(lookup->rc, lookup->err);
    std::vector<Address> v4, v6;
    for (addrinfo* ai = lookup->result; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6)
            continue;
        Address a = Address::Of(ai->ai_addr, ai->ai_addrlen);
        a.SetPort(port);
        (ai->ai_family == AF_INET ? v4 : v6).push_back(a);
    }
    v4.insert(v4.end(), v6.begin(), v6.end());
    if (v4.empty())
        throw SocketError(11001);
    return v4;
}

std::string AddressText(const Address& address) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (address.Family() == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address.Storage)->sin6_addr,
                    buf, sizeof buf);
    else
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address.Storage)->sin_addr, buf,
                    sizeof buf);
    return buf;
}

namespace {

// Keeps SIGPIPE of a write without MSG_NOSIGNAL (sendfile, OpenSSL's socket
// writes) from the process: the signal is blocked while the object lives,
// and one the write raised is taken back before the old mask returns.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
        sigset_t pending;
        sigemptyset(&pending);
        ::sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    // The write's errno (0: none); kept for the caller.
    void Done(int err) { err_ = err; }
    ~SigpipeBlock() {
        int saved = errno;
        sigset_t pending;
        sigemptyset(&pending);
        ::sigpending(&pending);
        if (!wasPending_ && sigismember(&pending, SIGPIPE) == 1) {
            timespec zero{};
            ::sigtimedwait(&pipe_, nullptr, &zero);
        }
        ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        errno = err_ != 0 ? err_ : saved;
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

private:
    sigset_t pipe_, old_;
    bool wasPending_ = false;
    int err_ = 0;
};

} // namespace

NetSocket::~NetSocket() {
    Close();
}

void NetSocket::Close() {
    tls_.reset();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool NetSocket::Wait(short events, Waiter& w) {
    const auto giveUp = w.GiveUpAt(Clock::now());
    for (;;) {
        if (fd_ < 0)
            return false;
        pollfd p{fd_, events, 0};
        int r = ::poll(&p, 1, kSliceMs);
        if (r < 0 && errno != EINTR)
            throw SocketError::OfErrno(errno);
        w.Pump();
        if (fd_ < 0)
            return false;
        if (r > 0)
            return true;
        if (Clock::now() >= giveUp) {
            // The pump may have run for long (a message box): look once more
            // before giving up.
            p.revents = 0;
            if (::poll(&p, 1, 0) > 0)
                return true;
            throw SocketError(10060);
        }
    }
}

void NetSocket::Connect(const Address& target, const std::string& bindAddress, Waiter& w) {
    Close();
    fd_ = ::socket(target.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw SocketError::OfErrno(errno);
    if (!bindAddress.empty()) {
        Address local;
        addrinfo hints{};
        hints.ai_family = target.Family();
        hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
        addrinfo* res = nullptr;
        const std::string bind = HostWithoutBrackets(bindAddress);
        if (::getaddrinfo(bind.c_str(), nullptr, &hints, &res) != 0 || !res) {
            Close();
            throw SocketError(10049);
        }
        local = Address::Of(res->ai_addr, res->ai_addrlen);
        ::freeaddrinfo(res);
        if (::bind(fd_, local.Raw(), local.Length) != 0) {
            int err = errno;
            Close();
            throw SocketError::OfErrno(err);
        }
    }
    if (::connect(fd_, target.Raw(), target.Length) == 0)
        return;
    if (errno != EINPROGRESS) {
        int err = errno;
        Close();
        throw SocketError::OfErrno(err);
    }
    try {
        if (!Wait(POLLOUT, w))
            throw ConnClosedGracefullyError();
    } catch (...) {
        Close();
        throw;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    if (err != 0) {
        Close();
        throw SocketError::OfErrno(err);
    }
}

void NetSocket::Listen(const Address& local) {
    Close();
    fd_ = ::socket(local.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw SocketError::OfErrno(errno);
    Address a = local;
    a.SetPort(0);
    if (::bind(fd_, a.Raw(), a.Length) != 0 || ::listen(fd_, 1) != 0) {
        int err = errno;
        Close();
        throw SocketError::OfErrno(err);
    }
}

bool NetSocket::Accept(NetSocket& into, Waiter& w, const Address* onlyFrom) {
    for (;;) {
        if (fd_ < 0)
            return false;
        Address from;
        from.Length = sizeof from.Storage;
        int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&from.Storage), &from.Length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0 && onlyFrom && !from.SameHost(*onlyFrom)) {
            ::close(fd);
            continue;
        }
        if (fd >= 0) {
            into.Close();
            into.fd_ = fd;
            return true;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            throw SocketError::OfErrno(errno);
        if (!Wait(POLLIN, w))
            return false;
    }
}

bool NetSocket::WaitFor(tls::Io io, Waiter& w) {
    return Wait(io == tls::Io::WantWrite ? POLLOUT : POLLIN, w);
}

void NetSocket::StartTls(const tls::Context& ctx, const std::string& hostName,
                         const tls::SessionRef& resume, Waiter& w) {
    if (fd_ < 0)
        throw ConnClosedGracefullyError();
    tls_ = std::make_unique<tls::Stream>(ctx, fd_, hostName, resume);
    truncated_ = false;
    peerEnded_ = false;
    Waiter whole = w;
    whole.LimitWholeExchange();
    for (;;) {
        tls::Io io;
        {
            SigpipeBlock block;
            io = tls_->Handshake();
        }
        if (io == tls::Io::Done)
            return;
        if (!WaitFor(io, whole))
            throw ConnClosedGracefullyError();
    }
}

void NetSocket::EndTls(Waiter& w) {
    if (!tls_ || fd_ < 0)
        return;
    {
        SigpipeBlock block;
        tls_->Shutdown();
    }
    // Closing with unread bytes (a TLS 1.3 session ticket the server sent
    // after the handshake) would reset the connection, and the server would
    // take the upload for failed: read to the server's end first, within
    // bounds.
    if (peerEnded_)
        return;
    try {
        w.LimitWholeExchange();
        char buf[4096];
        size_t drained = 0;
        for (long n; drained < kMaxTlsTail && (n = Receive(buf, sizeof buf, w)) > 0;)
            drained += static_cast<size_t>(n);
    } catch (const FtpError&) {
        // The final reply tells how the server saw the transfer.
    }
}

tls::Io NetSocket::ReadTls(char* buf, size_t size, long& n) {
    size_t got = 0;
    tls::Io io;
    {
        SigpipeBlock block;
        io = tls_->Read(buf, size, got);
    }
    n = static_cast<long>(got);
    if (io == tls::Io::Closed || io == tls::Io::Truncated) {
        // The stream's end reads as 0 bytes.
        truncated_ = truncated_ || io == tls::Io::Truncated;
        peerEnded_ = true;
        n = 0;
        return tls::Io::Done;
    }
    return io;
}

long NetSocket::ReceiveNow(char* buf, size_t size) {
    if (fd_ < 0)
        return -1;
    if (tls_) {
        long n;
        // -1: records without data (session tickets), or none yet.
        return ReadTls(buf, size, n) == tls::Io::Done ? n : -1;
    }
    for (;;) {
        ssize_t n = ::recv(fd_, buf, size, MSG_DONTWAIT);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -1;
        throw SocketError::OfErrno(errno);
    }
}

long NetSocket::Receive(char* buf, size_t size, Waiter& w) {
    while (tls_) {
        if (fd_ < 0)
            return -1;
        long n;
        const tls::Io io = ReadTls(buf, size, n);
        if (io == tls::Io::Done) {
            if (n > 0)
                w.PumpIfDue();
            return n;
        }
        if (!WaitFor(io, w))
            return -1;
    }
    for (;;) {
        if (fd_ < 0)
            return -1;
        ssize_t n = ::recv(fd_, buf, size, MSG_DONTWAIT);
        if (n >= 0) {
            if (n > 0)
                w.PumpIfDue();
            return static_cast<long>(n);
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            throw SocketError::OfErrno(errno);
        if (!Wait(POLLIN, w))
            return -1;
    }
}

void NetSocket::ReceiveExact(char* buf, size_t size, Waiter& w) {
    size_t got = 0;
    while (got < size) {
        long n = Receive(buf + got, size - got, w);
        if (n <= 0)
            throw ConnClosedGracefullyError();
        got += static_cast<size_t>(n);
    }
}

bool NetSocket::Send(const char* data, size_t size, Waiter& w) {
    size_t sent = 0;
    while (tls_ && sent < size) {
        if (fd_ < 0)
            return false;
        size_t n = 0;
        tls::Io io;
        {
            SigpipeBlock block;
            io = tls_->Write(data + sent, size - sent, n);
        }
        sent += n;
        if (io != tls::Io::Done && !WaitFor(io, w))
            return false;
    }
    while (sent < size) {
        if (fd_ < 0)
            return false;
        ssize_t n = ::send(fd_, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            throw SocketError::OfErrno(errno);
        if (!Wait(POLLOUT, w))
            return false;
    }
    w.PumpIfDue();
    return true;
}

namespace {

// sendfile has no MSG_NOSIGNAL: a send on a connection the peer has closed
// would raise SIGPIPE and end the program. The signal is blocked for the call
// and one it raised is taken back before the old mask returns.
ssize_t SendFileNoSignal(int sock, int file, size_t size) {
    SigpipeBlock block;
    ssize_t n = ::sendfile(sock, file, nullptr, size);
    block.Done(n < 0 ? errno : 0);
    return n;
}

} // namespace

long NetSocket::SendFile(int fileFd, size_t size, Waiter& w) {
    if (tls_)
        return -2;
    for (;;) {
        if (fd_ < 0)
            return -1;
        ssize_t n = SendFileNoSignal(fd_, fileFd, size);
        if (n >= 0) {
            w.PumpIfDue();
            return static_cast<long>(n);
        }
        if (errno == EINTR)
            continue;
        if (errno == EINVAL || errno == ENOSYS || errno == EOVERFLOW)
            return -2;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            throw SocketError::OfErrno(errno);
        if (!Wait(POLLOUT, w))
            return -1;
    }
}

namespace {

// Moves n bytes from the pipe into the file; false with errno on failure.
bool PipeToFile(int pipeRead, int file, size_t n) {
    while (n > 0) {
        ssize_t m = ::splice(pipeRead, nullptr, file, nullptr, n, SPLICE_F_MOVE);
        if (m < 0 && errno == EINTR)
            continue;
        if (m < 0 && errno == EINVAL) {
            // The file system takes no splice: copy what the pipe holds.
            char buf[4096];
            while (n > 0) {
                ssize_t r = ::read(pipeRead, buf, std::min(n, sizeof buf));
                if (r <= 0)
                    return false;
                for (ssize_t off = 0; off < r;) {
                    ssize_t k = ::write(file, buf + off, static_cast<size_t>(r - off));
                    if (k < 0 && errno == EINTR)
                        continue;
                    if (k <= 0) {
                        if (k == 0)
                            errno = ENOSPC;
                        return false;
                    }
                    off += k;
                }
                n -= static_cast<size_t>(r);
            }
            return true;
        }
        if (m <= 0) {
            if (m == 0)
                errno = ENOSPC;
            return false;
        }
        n -= static_cast<size_t>(m);
    }
    return true;
}

} // namespace

long NetSocket::ReceiveToFile(int fileFd, size_t size, const int pipeFds[2], Waiter& w) {
    if (tls_)
        return -2;
    for (;;) {
        if (fd_ < 0)
            return -1;
        ssize_t n =
            ::splice(fd_, nullptr, pipeFds[1], nullptr, size, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n > 0) {
            if (!PipeToFile(pipeFds[0], fileFd, static_cast<size_t>(n)))
                return -3;
            w.PumpIfDue();
            return static_cast<long>(n);
        }
        if (n == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno == EINVAL || errno == ENOSYS)
            return -2;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            throw SocketError::OfErrno(errno);
        if (!Wait(POLLIN, w))
            return -1;
    }
}

Address NetSocket::LocalAddress() const {
    Address a;
    a.Length = sizeof a.Storage;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a.Storage), &a.Length) != 0)
        throw SocketError::OfErrno(fd_ < 0 ? ENOTCONN : errno);
    return a;
}

Address NetSocket::PeerAddress() const {
    Address a;
    a.Length = sizeof a.Storage;
    if (fd_ < 0 || ::getpeername(fd_, reinterpret_cast<sockaddr*>(&a.Storage), &a.Length) != 0)
        throw SocketError::OfErrno(fd_ < 0 ? ENOTCONN : errno);
    return a;
}

} // namespace kv::net
