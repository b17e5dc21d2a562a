#pragma once
// A non-blocking TCP socket whose every wait is cut into 50 ms slices with the
// host's idle pump in between, and that gives up with socket error 10060 when
// a wait makes no progress for the configured number of seconds.
//
// The idle pump may run any code of the program, including a Close of the very
// socket that is waiting: the wait then ends and reports "closed locally"
// instead of touching a closed descriptor. The object itself must outlive the
// wait (the session keeps it alive).
#include "ftp/Tls.h"
#include "remote/RemoteEvents.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace kv::net {

inline constexpr int kSliceMs = 50;

// How a socket waits: whom to pump, and how long it may go without progress.
class Waiter {
public:
    Waiter(remote::Events* events, int timeoutSeconds);
    // Runs the host's idle pump now.
    void Pump();
    // Runs the idle pump when the last run is at least one slice ago, so that a
    // transfer that never has to wait still lets the window breathe.
    void PumpIfDue();
    std::chrono::milliseconds Timeout() const { return timeout_; }
    // From now on every wait also ends at one time-out from now, so a peer
    // that trickles bytes cannot stretch the whole exchange for ever.
    void LimitWholeExchange() { deadline_ = std::chrono::steady_clock::now() + timeout_; }
    // When a wait that started at `start` gives up.
    std::chrono::steady_clock::time_point
    GiveUpAt(std::chrono::steady_clock::time_point start) const {
        return std::min(start + timeout_, deadline_);
    }

private:
    remote::Events* events_;
    std::chrono::milliseconds timeout_;
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
    std::chrono::steady_clock::time_point lastPump_;
};

// An IPv4 or IPv6 socket address.
struct Address {
    sockaddr_storage Storage{};
    socklen_t Length = 0;

    static Address Of(const sockaddr* sa, socklen_t length);
    // 127.0.0.1 (or ::1 with ipv6) and the port.
    static Address Loopback(int port, bool ipv6 = false);
    int Family() const { return Storage.ss_family; }
    int Port() const;
    void SetPort(int port);
    const sockaddr* Raw() const { return reinterpret_cast<const sockaddr*>(&Storage); }
    // Same family and IP address, whatever the ports.
    bool SameHost(const Address& other) const;
};

// A host setting without the brackets of an IPv6 literal ("[::1]" -> "::1").
std::string HostWithoutBrackets(const std::string& host);
// An IPv4 or IPv6 literal (brackets allowed): no lookup needed.
bool IsLiteralAddress(const std::string& host);
// The addresses of a host name or literal (brackets allowed), IPv4 ones first
// so that a dual-stack name connects as before; family AF_INET keeps IPv4
// only. The lookup runs beside the waiter's pump and gives up after its
// time-out (10060). Throws SocketError with the resolver's Winsock number
// (11001 "Host not found." and so on).
std::vector<Address> Resolve(const std::string& host, int port, Waiter& w, int family = 0);
// "127.0.0.1" or "::1".
std::string AddressText(const Address& address);

class NetSocket {
public:
    NetSocket() = default;
    ~NetSocket();
    NetSocket(const NetSocket&) = delete;
    NetSocket& operator=(const NetSocket&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    // The descriptor, for a protocol library that does its own reads and
    // writes on the connected socket (SSH); -1 when closed.
    int Descriptor() const { return fd_; }
    // Closes the descriptor; a wait of this socket in progress ends.
    void Close();

    // Connects to target, bound first to bindAddress when that is not empty.
    // Throws SocketError (10060 after the time-out) or ConnClosedGracefullyError
    // when the socket is closed during the wait.
    void Connect(const Address& target, const std::string& bindAddress, Waiter& w);
    // Listens on the address with a port the system picks, backlog 1.
    void Listen(const Address& local);
    // Waits for one connection and hands it to `into`; false when this socket
    // was closed meanwhile. With onlyFrom, connections from another address
    // are closed and the wait goes on.
    bool Accept(NetSocket& into, Waiter& w, const Address* onlyFrom = nullptr);

    // > 0: bytes received; 0: the peer closed; -1: closed locally.
    long Receive(char* buf, size_t size, Waiter& w);
    // Reads what can be read at once, without waiting: > 0 bytes, 0 the peer
    // closed, -1 nothing now (or closed locally).
    long ReceiveNow(char* buf, size_t size);
    // Exactly size bytes; ConnClosedGracefullyError when either side closes first.
    void ReceiveExact(char* buf, size_t size, Waiter& w);
    // Everything, or false when the socket was closed locally before it all went out.
    bool Send(const char* data, size_t size, Waiter& w);
    // Up to size bytes from the file's current position, without copying them
    // through user space. > 0: bytes sent; 0: end of file; -1: closed locally;
    // -2: the file cannot be sent this way (the caller reads and sends instead).
    long SendFile(int fileFd, size_t size, Waiter& w);

    // Up to size bytes from the socket into the file at its position, through
    // the pipe (pipeFds[0] read end, [1] write end, empty between calls),
    // without copying them through user space. > 0: bytes written to the
    // file; 0: the peer closed; -1: closed locally; -2: nothing was moved and
    // it cannot be done this way (the caller receives and writes instead);
    // -3: the file could not be written (errno tells why).
    long ReceiveToFile(int fileFd, size_t size, const int pipeFds[2], Waiter& w);

    Address LocalAddress() const;
    Address PeerAddress() const;

    // Runs the TLS handshake as the client on this connected socket; from then
    // on Receive and Send go through TLS, and SendFile and ReceiveToFile
    // answer -2. The whole handshake must finish within one time-out. Throws
    // TlsError, SocketError, or ConnClosedGracefullyError when the socket is
    // closed meanwhile.
    void StartTls(const tls::Context& ctx, const std::string& hostName,
                  const tls::SessionRef& resume, Waiter& w);
    const tls::Stream* Tls() const { return tls_.get(); }
    // After Receive returned 0: the peer closed without TLS close_notify.
    bool Truncated() const { return truncated_; }
    // Sends TLS close_notify and reads (discarding) to the peer's end of the
    // stream, but no more than kMaxTlsTail bytes and no longer than one
    // time-out: a peer that keeps writing cannot hold the close for ever.
    // Nothing without TLS. Never throws.
    void EndTls(Waiter& w);
    static constexpr size_t kMaxTlsTail = 64 * 1024;

private:
    // True when the socket is ready, false when it was closed locally.
    bool Wait(short events, Waiter& w);
    // Waits as a TLS call asked; false when the socket was closed locally.
    bool WaitFor(tls::Io io, Waiter& w);
    // One TLS read: Done with n bytes (0 at the stream's end), or what to wait for.
    tls::Io ReadTls(char* buf, size_t size, long& n);
    int fd_ = -1;
    std::unique_ptr<tls::Stream> tls_;
    bool truncated_ = false;
    bool peerEnded_ = false; // Receive saw the TLS stream's end
};

} // namespace kv::net
