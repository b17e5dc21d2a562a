#include "ftp/Socks.h"

#include "remote/RemoteErrors.h"

#include <cstdint>
#include <cstring>

namespace kv::socks {

namespace {

constexpr size_t kMaxField = 255;

void CheckField(const std::string& value, const std::string& what, bool zeroEnded) {
    if (value.size() > kMaxField)
        throw SocksError("The " + what + " is longer than 255 bytes, which the SOCKS protocol " +
                         "cannot carry; shorten it in the proxy settings.");
    if (zeroEnded && value.find('\0') != std::string::npos)
        throw SocksError("The " + what + " holds a zero byte, which the SOCKS protocol " +
                         "cannot carry; correct it in the proxy settings.");
}

void AppendPort(std::string& s, int port) {
    s.push_back(static_cast<char>((port >> 8) & 0xFF));
    s.push_back(static_cast<char>(port & 0xFF));
}

void SendAll(net::NetSocket& s, const std::string& bytes, net::Waiter& w) {
    if (!s.Send(bytes.data(), bytes.size(), w))
        throw ConnClosedGracefullyError();
}

void Socks4(net::NetSocket& s, const ProxySettings& proxy, const std::string& host, int port,
            net::Waiter& w) {
    const bool a = proxy.Version == SocksVersion::Socks4A;
    std::string req;
    req.push_back(4);
    req.push_back(1);
    AppendPort(req, port);
    if (a) {
        req.append("\0\0\0\1", 4);
    } else {
        // SOCKS 4 carries an IPv4 address only.
        net::Address target = net::Resolve(host, port, w, AF_INET).front();
        char addr[4];
        std::memcpy(addr, &reinterpret_cast<const sockaddr_in*>(&target.Storage)->sin_addr, 4);
        req.append(addr, 4);
    }
    req.append(proxy.UserID);
    req.push_back('\0');
    if (a) {
        req.append(host);
        req.push_back('\0');
    }
    SendAll(s, req, w);
    unsigned char reply[8];
    s.ReceiveExact(reinterpret_cast<char*>(reply), sizeof reply, w);
    switch (reply[1]) {
    case 90:
        return;
    case 91:
        throw SocksRequestFailedError();
    case 92:
        throw SocksRequestServerFailedError();
    case 93:
        throw SocksRequestIdentFailedError();
    default:
        throw SocksUnknownError();
    }
}

// Any failure to read a SOCKS 5 answer means the proxy did not respond.
void ReadAnswer(net::NetSocket& s, unsigned char* buf, size_t size, net::Waiter& w) {
    try {
        s.ReceiveExact(reinterpret_cast<char*>(buf), size, w);
    } catch (const FtpError&) {
        throw SocksServerRespondError();
    }
}

void Socks5(net::NetSocket& s, const ProxySettings& proxy, const std::string& host, int port,
            net::Waiter& w) {
    const bool auth = proxy.Authentication == SocksAuthentication::UserPassword;
    const char method = auth ? 2 : 0;
    SendAll(s, std::string{5, 1, method}, w);
    unsigned char choice[2];
    ReadAnswer(s, choice, sizeof choice, w);
    if (choice[1] != static_cast<unsigned char>(method))
        throw SocksAuthMethodError();
    if (auth) {
        std::string req;
        req.push_back(1);
        req.push_back(static_cast<char>(proxy.UserID.size()));
        req.append(proxy.UserID);
        req.push_back(static_cast<char>(proxy.Password.size()));
        req.append(proxy.Password);
        SendAll(s, req, w);
        unsigned char status[2];
        ReadAnswer(s, status, sizeof status, w);
        if (status[1] != 0)
            throw SocksAuthError();
    }
    std::string req{5, 1, 0, 3};
    req.push_back(static_cast<char>(host.size()));
    req.append(host);
    AppendPort(req, port);
    SendAll(s, req, w);
    unsigned char head[5];
    ReadAnswer(s, head, sizeof head, w);
    switch (head[1]) {
    case 0:
        break;
    case 1:
        throw SocksServerGeneralError();
    case 2:
        throw SocksServerPermissionError();
    case 3:
        throw SocksServerNetUnreachableError();
    case 4:
        throw SocksServerHostUnreachableError();
    case 5:
        throw SocksServerConnectionRefusedError();
    case 6:
        throw SocksServerTTLExpiredError();
    case 7:
        throw SocksServerCommandError();
    case 8:
        throw SocksServerAddressError();
    default:
        throw SocksUnknownError();
    }
    // The bound address and port follow; the 5 bytes read hold its first byte.
    size_t rest = 0;
    switch (head[3]) {
    case 1:
        rest = 4 - 1 + 2;
        break;
    case 3:
        rest = static_cast<size_t>(head[4]) + 2;
        break;
    case 4:
        rest = 16 - 1 + 2;
        break;
    default:
        // Without a known layout the rest of the answer cannot be skipped, and
        // the target's bytes could not be told from it.
        throw SocksUnknownError();
    }
    unsigned char bound[300];
    ReadAnswer(s, bound, rest, w);
}

} // namespace

void CheckSettings(const ProxySettings& proxy, const std::string& host) {
    switch (proxy.Version) {
    case SocksVersion::None:
        return;
    case SocksVersion::Socks4:
        CheckField(proxy.UserID, "SOCKS 4 user ID", true);
        return;
    case SocksVersion::Socks4A:
        CheckField(proxy.UserID, "SOCKS 4A user ID", true);
        CheckField(host, "FTP host name sent through the SOCKS 4A proxy", true);
        return;
    case SocksVersion::Socks5:
        CheckField(host, "FTP host name sent through the SOCKS 5 proxy", false);
        if (proxy.Authentication == SocksAuthentication::UserPassword) {
            CheckField(proxy.UserID, "SOCKS 5 user name", false);
            CheckField(proxy.Password, "SOCKS 5 password", false);
        }
        return;
    }
}

void Handshake(net::NetSocket& s, const ProxySettings& proxy, const std::string& host, int port,
               net::Waiter& w) {
    switch (proxy.Version) {
    case SocksVersion::None:
        return;
    case SocksVersion::Socks4:
    case SocksVersion::Socks4A:
        Socks4(s, proxy, host, port, w);
        return;
    case SocksVersion::Socks5:
        Socks5(s, proxy, host, port, w);
        return;
    }
}

} // namespace kv::socks
