// FtpSession's logon: connecting the control connection (directly or through
// the SOCKS proxy), explicit TLS on it, and the login.
#include "ftp/FtpSessionImpl.h"

#include "ftp/ReplyCodes.h"
#include "ftp/Socks.h"

#include <arpa/inet.h>

namespace kv {

namespace rc = ftp::reply;

namespace {

const char* const kMaskedPass = "pass ********\r\n";

void CheckPort(int port, const std::string& what) {
    if (port < 1 || port > 65535)
        throw FtpError("The " + what + " " + std::to_string(port) +
                       " is not a valid TCP port (1 to 65535); correct it in the settings.");
}

} // namespace

void FtpSession::Impl::Connect(bool login) {
    if (control.IsOpen()) {
        CloseControl();
        throw AlreadyConnectedError();
    }
    const bool viaProxy = self.Proxy.Version != SocksVersion::None;
    CheckPort(self.Port, "FTP port");
    if (viaProxy)
        CheckPort(self.Proxy.Port, "proxy port");
    socks::CheckSettings(self.Proxy, self.Host);
    CheckArgument(self.User, "user name");
    CheckArgument(self.Password, "password", false);
    inbuf.clear();
    inFlight.clear();
    peerClosed = false;
    features = Features::Unknown;
    tlsContext.reset();
    if (self.UseTls)
        tlsContext =
            std::make_unique<tls::Context>(tls::TrustSettings{self.TlsCAFile, self.TlsFingerprint});
    const std::string name = viaProxy ? self.Proxy.Host : self.Host;
    const int port = viaProxy ? self.Proxy.Port : self.Port;
    net::Waiter w = MakeWaiter();
    try {
        if (!net::IsLiteralAddress(name))
            Status("Resolving hostname " + name + ".");
        ConnectControl(net::Resolve(name, port, w), w);
        Trace("Connected.");
        // SOCKS 4 carries an address: the host is looked up once per
        // session, so every data connection reaches the same server.
        proxyTarget = net::HostWithoutBrackets(self.Host);
        if (self.Proxy.Version == SocksVersion::Socks4)
            proxyTarget = net::AddressText(net::Resolve(self.Host, self.Port, w, AF_INET).front());
        if (viaProxy)
            socks::Handshake(control, self.Proxy, proxyTarget, self.Port, w);
        Status("Connected.");
        // The greeting is the reply to the connection itself.
        inFlight.push_back(Expect("(greeting)", {rc::ServiceReady}));
        inFlight.back().preliminary = true;
        ReadReply({rc::ServiceReady});
        if (self.UseTls)
            SecureControl(w);
        if (login) {
            SendCommand("user " + self.User, rc::ToUser);
            if (ReadReply(rc::ToUser) == rc::NeedPassword) {
                Send({Expect("pass " + self.Password, {rc::LoggedIn})}, kMaskedPass);
                ReadReply({rc::LoggedIn});
            }
            SendCommand(self.Type == TransferType::Binary ? "type I" : "type A", {rc::CommandOkay});
            ReadReply({rc::CommandOkay});
            SendCommand("syst", rc::ToSyst);
            ReadReply({rc::CommandOkay, rc::SystemType, rc::SyntaxError});
        }
    } catch (...) {
        CloseControl();
        throw;
    }
}

void FtpSession::Impl::ConnectControl(const std::vector<net::Address>& targets, net::Waiter& w) {
    for (size_t i = 0; i < targets.size(); ++i) {
        peer = targets[i];
        peerText = net::AddressText(peer);
        Status("Connecting to " + peerText + ".");
        try {
            control.Connect(peer, self.BoundIP, w);
            return;
        } catch (const SocketError&) {
            if (i + 1 == targets.size())
                throw;
        }
    }
}

void FtpSession::Impl::SecureControl(net::Waiter& w) {
    SendCommand("AUTH TLS", {rc::SecurityExchangeDone});
    if (ReadReply({}) != rc::SecurityExchangeDone)
        throw TlsError("The FTP server refused AUTH TLS (\"" + lastLines.back() +
                       "\"): it offers no explicit TLS, and the session does not fall "
                       "back to clear text. Turn FTPS off only if the server is trusted.");
    // Bytes that came with the 234 were sent in clear: a man in the middle
    // could have placed them to be read as replies from the secure channel.
    if (!inbuf.empty())
        throw TlsError("The FTP server sent clear-text bytes after accepting AUTH TLS; the "
                       "connection was closed.");
    control.StartTls(*tlsContext, net::HostWithoutBrackets(self.Host), nullptr, w);
    Trace("TLS: " + control.Tls()->Description() + ".");
    SendCommand("PBSZ 0", {rc::CommandOkay});
    ReadReply({rc::CommandOkay});
    SendCommand("PROT P", {rc::CommandOkay});
    ReadReply({rc::CommandOkay});
}

} // namespace kv
