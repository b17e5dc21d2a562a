// SftpSession's connection: the TCP connection (directly or through the
// SOCKS proxy), the SSH handshake with a fixed choice of algorithms, the
// check of the server's host key against the pinned one before anything
// secret is sent, the login by password or key, and the SFTP channel.
#include "sftp/SftpSessionImpl.h"

#include "ftp/Socks.h"
#include "sftp/SftpText.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kv {

namespace {

// Algorithms offered, strongest first; nothing weaker (no CBC, SHA-1 MACs or
// signatures, DSA keys) is ever agreed. A server with none of them is refused.
// The AEAD ciphers carry their own integrity check (no MAC is agreed then).
const char* const kKex =
    "curve25519-sha256,curve25519-sha256@libssh.org,ecdh-sha2-nistp256,ecdh-sha2-nistp384,"
    "ecdh-sha2-nistp521,diffie-hellman-group-exchange-sha256,diffie-hellman-group16-sha512,"
    "diffie-hellman-group18-sha512,diffie-hellman-group14-sha256";
const char* const kKeyTypes = "ssh-ed25519,ecdsa-sha2-nistp256,ecdsa-sha2-nistp384,"
                              "ecdsa-sha2-nistp521,rsa-sha2-512,rsa-sha2-256";
const char* const kCiphers = "aes128-gcm@openssh.com,aes256-gcm@openssh.com,"
                             "chacha20-poly1305@openssh.com,aes128-ctr,aes192-ctr,aes256-ctr";
const char* const kMacs =
    "hmac-sha2-256-etm@openssh.com,hmac-sha2-512-etm@openssh.com,hmac-sha2-256,hmac-sha2-512";

void CheckPort(int port, const std::string& what) {
    if (port < 1 || port > 65535)
        throw FtpError("The " + what + " " + std::to_string(port) +
                       " is not a valid TCP port (1 to 65535); correct it in the settings.");
}

std::string KeyTypeName(ssh_keytypes_e type) {
    switch (type) {
    case SSH_KEYTYPE_RSA:
        return "RSA";
    case SSH_KEYTYPE_DSS:
        return "DSA";
    case SSH_KEYTYPE_ECDSA_P256:
        return "ECDSA-256";
    case SSH_KEYTYPE_ECDSA_P384:
        return "ECDSA-384";
    case SSH_KEYTYPE_ECDSA_P521:
        return "ECDSA-521";
    case SSH_KEYTYPE_ED25519:
        return "ED25519";
    default:
        return "unknown type";
    }
}

// The login methods a server offers, as OpenSSH names them.
std::string MethodNames(int methods) {
    const std::pair<int, const char*> names[] = {
        {SSH_AUTH_METHOD_PUBLICKEY, "publickey"},
        {SSH_AUTH_METHOD_PASSWORD, "password"},
        {SSH_AUTH_METHOD_INTERACTIVE, "keyboard-interactive"},
        {SSH_AUTH_METHOD_HOSTBASED, "hostbased"},
        {SSH_AUTH_METHOD_GSSAPI_MIC, "gssapi-with-mic"}};
    std::string text;
    for (const auto& [bit, name] : names)
        if (methods & bit)
            text += (text.empty() ? "" : ",") + std::string(name);
    return text.empty() ? "none" : text;
}

// Frees a libssh key on every way out.
struct Key {
    ssh_key k = nullptr;
    ~Key() { ssh_key_free(k); }
};

} // namespace

void SftpSession::Impl::Connect(bool login) {
    if (socket)
        throw AlreadyConnectedError();
    const bool viaProxy = self.Proxy.Version != SocksVersion::None;
    CheckPort(self.Port, "SFTP port");
    if (viaProxy)
        CheckPort(self.Proxy.Port, "proxy port");
    socks::CheckSettings(self.Proxy, self.Host);
    if (!self.HostKey.empty() && sftp::NormalFingerprint(self.HostKey).empty())
        throw FtpError("The pinned host key \"" + self.HostKey +
                       "\" is not a fingerprint as \"ssh-keygen -l -E sha256\" prints it "
                       "(\"SHA256:\" and 43 characters); correct it in the settings.");
    phase = Phase::Opening;
    readChunk = writeChunk = 32768;
    net::Waiter w = MakeWaiter();
    try {
        OpenSocket(w);
        Handshake(w);
        CheckHostKey();
        // Said once the server is known to be the pinned one: a refused
        // host key never reads as a connection made.
        Status("Connected.");
        if (login) {
            Login(w);
            OpenSftp(w);
        }
    } catch (...) {
        Break();
        Release();
        throw;
    }
}

void SftpSession::Impl::OpenSocket(net::Waiter& w) {
    const bool viaProxy = self.Proxy.Version != SocksVersion::None;
    const std::string name = viaProxy ? self.Proxy.Host : self.Host;
    const int port = viaProxy ? self.Proxy.Port : self.Port;
    if (!net::IsLiteralAddress(name))
        Status("Resolving hostname " + name + ".");
    const std::vector<net::Address> targets = net::Resolve(name, port, w);
    socket = std::make_shared<net::NetSocket>();
    for (size_t i = 0; i < targets.size(); ++i) {
        peerText = net::AddressText(targets[i]);
        Status("Connecting to " + peerText + ".");
        try {
            socket->Connect(targets[i], "", w);
            break;
        } catch (const SocketError&) {
            if (i + 1 == targets.size())
                throw;
        }
    }
    Trace("Connected.");
    // SSH packets are written whole: Nagle's algorithm would hold a packet
    // that follows an unacknowledged one until the peer's delayed
    // acknowledgement (40 ms), once per exchange of the handshake and login
    // and at each small request of a transfer.
    const int on = 1;
    ::setsockopt(socket->Descriptor(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (viaProxy) {
        // SOCKS 4 carries an address: the host is looked up here.
        std::string target = net::HostWithoutBrackets(self.Host);
        if (self.Proxy.Version == SocksVersion::Socks4)
            target = net::AddressText(net::Resolve(self.Host, self.Port, w, AF_INET).front());
        socks::Handshake(*socket, self.Proxy, target, self.Port, w);
    }
}

void SftpSession::Impl::Handshake(net::Waiter& w) {
    ssh = ssh_new();
    if (!ssh)
        throw FtpError("The SSH session could not be set up (out of memory).");
    // libssh closes the descriptor it is given: it gets a duplicate.
    int fd = ::fcntl(Fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        throw FtpError("The SSH session could not be set up: " + std::string(std::strerror(errno)) +
                       ".");
    if (ssh_options_set(ssh, SSH_OPTIONS_FD, &fd) != SSH_OK) {
        ::close(fd);
        throw FtpError("The SSH session could not be set up: " + LastError() + ".");
    }
    // The settings file is the one place: no ~/.ssh/config.
    const bool no = false;
    ssh_options_set(ssh, SSH_OPTIONS_PROCESS_CONFIG, &no);
    const std::pair<ssh_options_e, const char*> prefs[] = {
        {SSH_OPTIONS_USER, self.User.c_str()}, {SSH_OPTIONS_KEY_EXCHANGE, kKex},
        {SSH_OPTIONS_HOSTKEYS, kKeyTypes},     {SSH_OPTIONS_PUBLICKEY_ACCEPTED_TYPES, kKeyTypes},
        {SSH_OPTIONS_CIPHERS_C_S, kCiphers},   {SSH_OPTIONS_CIPHERS_S_C, kCiphers},
        {SSH_OPTIONS_HMAC_C_S, kMacs},         {SSH_OPTIONS_HMAC_S_C, kMacs},
        {SSH_OPTIONS_COMPRESSION, "no"}};
    for (const auto& [option, value] : prefs)
        if (ssh_options_set(ssh, option, value) != SSH_OK)
            throw FtpError("The SSH library refused the setting " + std::string(value) + ": " +
                           LastError());
    ssh_set_blocking(ssh, 0);
    const int rc = Retry([&] { return ssh_connect(ssh); }, SSH_AGAIN, w);
    if (rc == SSH_OK) {
        if (const char* banner = ssh_get_serverbanner(ssh))
            Trace(std::string("SSH: ") + banner);
        const char* kex = ssh_get_kex_algo(ssh);
        const char* cipher = ssh_get_cipher_out(ssh);
        const char* mac = ssh_get_hmac_out(ssh);
        Trace(std::string("SSH: key exchange ") + (kex ? kex : "?") + ", cipher " +
              (cipher ? cipher : "?") + ", MAC " + (mac ? mac : "?") + ".");
        return;
    }
    const std::string detail = LastError();
    if (detail.find("no match for method") != std::string::npos ||
        detail.find("kex error") != std::string::npos)
        throw FtpError("The SFTP server " + self.Host +
                       " and this program have no key exchange, host-key, cipher or MAC "
                       "algorithm in common (" +
                       detail + "); the connection was closed, nothing was sent.");
    if (detail.find("banner") != std::string::npos || detail.find("Socket") != std::string::npos ||
        detail.find("disconnected") != std::string::npos)
        throw FtpError("The server " + self.Host +
                       " closed the connection before the SSH handshake ended (" + detail +
                       "); check that it is an SFTP server and its port.");
    Fail("the SSH handshake");
}

void SftpSession::Impl::CheckHostKey() {
    Key key;
    unsigned char* hash = nullptr;
    size_t length = 0;
    if (ssh_get_server_publickey(ssh, &key.k) != SSH_OK ||
        ssh_get_publickey_hash(key.k, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) != 0 ||
        length != 32) {
        ssh_clean_pubkey_hash(&hash);
        throw FtpError("The SFTP server " + self.Host +
                       " presented no host key that can be checked; the connection was closed.");
    }
    const std::string fingerprint = sftp::Fingerprint(hash);
    ssh_clean_pubkey_hash(&hash);
    const std::string typeName = KeyTypeName(ssh_key_type(key.k));
    Trace("SSH: host key " + typeName + " " + fingerprint + ".");
    const std::string pinned = sftp::NormalFingerprint(self.HostKey);
    if (!pinned.empty()) {
        if (pinned == fingerprint)
            return;
        throw FtpError("The SFTP server " + self.Host + " presented the host key " + fingerprint +
                       " (" + typeName + ") instead of the pinned " + pinned +
                       ": its key changed or another machine answers in its place. The "
                       "connection was closed before the login, nothing was sent; pin the new "
                       "key only once the server's administrator confirms it");
    }
    if (!self.AcceptHostKey || !self.AcceptHostKey(fingerprint, typeName))
        throw FtpError("The SFTP server " + self.Host + " presented the host key " + fingerprint +
                       " (" + typeName + "), which was not accepted; nothing was sent.");
}

void SftpSession::Impl::Login(net::Waiter& w) {
    const std::string& user = self.User;
    int rc = Retry([&] { return ssh_userauth_none(ssh, nullptr); }, SSH_AUTH_AGAIN, w);
    if (rc == SSH_AUTH_SUCCESS)
        return; // the server let the user in without a password
    if (rc == SSH_AUTH_ERROR)
        Fail("the login");
    const int methods = ssh_userauth_list(ssh, nullptr);
    const std::string offered = MethodNames(methods);
    Trace("SSH: login methods offered: " + offered + ".");
    if (!self.KeyFile.empty()) {
        if (!(methods & SSH_AUTH_METHOD_PUBLICKEY))
            throw ProtocolReplyError(530, "The SFTP server takes no key logins (it offers " +
                                              offered +
                                              "); clear the key file setting to "
                                              "log in with the password.");
        Key key;
        if (ssh_pki_import_privkey_file(
                self.KeyFile.c_str(), self.KeyPassword.empty() ? nullptr : self.KeyPassword.c_str(),
                nullptr, nullptr, &key.k) != SSH_OK)
            throw FtpError("The key file " + self.KeyFile +
                           " cannot be read, is not a private key, or its passphrase is "
                           "wrong; nothing was sent.");
        rc = Retry([&] { return ssh_userauth_publickey(ssh, nullptr, key.k); }, SSH_AUTH_AGAIN, w);
        if (rc == SSH_AUTH_SUCCESS) {
            Trace("SSH: logged in as " + user + " with the key " + self.KeyFile + ".");
            return;
        }
        if (rc == SSH_AUTH_DENIED || rc == SSH_AUTH_PARTIAL)
            throw ProtocolReplyError(530, "The SFTP server refused the key " + self.KeyFile +
                                              " for user " + user +
                                              "; the password is not tried instead.");
        Fail("the key login");
    }
    if (methods & SSH_AUTH_METHOD_PASSWORD) {
        rc = Retry([&] { return ssh_userauth_password(ssh, nullptr, self.Password.c_str()); },
                   SSH_AUTH_AGAIN, w);
    } else if (methods & SSH_AUTH_METHOD_INTERACTIVE) {
        // Every prompt is answered with the password; a server asking again
        // and again is refused after a few rounds.
        rc = Retry([&] { return ssh_userauth_kbdint(ssh, nullptr, nullptr); }, SSH_AUTH_AGAIN, w);
        for (int round = 0; rc == SSH_AUTH_INFO && round < 8; ++round) {
            const int prompts = ssh_userauth_kbdint_getnprompts(ssh);
            for (int i = 0; i < prompts; ++i)
                ssh_userauth_kbdint_setanswer(ssh, static_cast<unsigned>(i), self.Password.c_str());
            rc = Retry([&] { return ssh_userauth_kbdint(ssh, nullptr, nullptr); }, SSH_AUTH_AGAIN,
                       w);
        }
    } else {
        throw ProtocolReplyError(530, "The SFTP server takes no password logins (it offers " +
                                          offered + "); set a key file for user " + user + ".");
    }
    if (rc == SSH_AUTH_SUCCESS) {
        Trace("SSH: logged in as " + user + " with the password.");
        return;
    }
    if (rc == SSH_AUTH_ERROR)
        Fail("the login");
    throw ProtocolReplyError(530, "The SFTP server refused the password of user " + user +
                                      "; check the user name and password.");
}

void SftpSession::Impl::OpenSftp(net::Waiter& w) {
    channel = ssh_channel_new(ssh);
    if (!channel)
        Fail("the opening of the SFTP channel");
    if (Retry([&] { return ssh_channel_open_session(channel); }, SSH_AGAIN, w) != SSH_OK)
        Fail("the opening of the SFTP channel");
    if (Retry([&] { return ssh_channel_request_subsystem(channel, "sftp"); }, SSH_AGAIN, w) !=
        SSH_OK)
        Fail("the start of the SFTP subsystem");
    ResetWire();
    phase = Phase::Ready;
    sftp::Request init(sftp::kInit, 0);
    init.U32(3);
    Answer version = Call(std::move(init), w);
    sftp::Reader r(version.body);
    const uint32_t number = r.U32();
    if (version.type != sftp::kVersion || !r.Ok() || number < 3)
        throw FtpError("The SFTP server " + self.Host + " speaks SFTP version " +
                       std::to_string(number) + ", not 3; the connection was closed.");
    bool limits = false;
    while (!r.AtEnd() && r.Ok()) {
        const std::string name = r.Str();
        r.View();
        limits = limits || name == "limits@openssh.com";
    }
    if (limits) {
        // The largest reads and writes the server takes (0: no limit given).
        Answer a = Call(std::move(NewRequest(sftp::kExtended).Str("limits@openssh.com")), w);
        if (a.type == sftp::kExtendedReply) {
            sftp::Reader l(a.body);
            l.U64(); // packet length
            const uint64_t maxRead = l.U64(), maxWrite = l.U64();
            if (l.Ok()) {
                constexpr uint64_t kMost = 255 << 10;
                if (maxRead >= 32768)
                    readChunk = static_cast<uint32_t>(std::min(maxRead, kMost));
                if (maxWrite >= 32768)
                    writeChunk = static_cast<uint32_t>(std::min(maxWrite, kMost));
            }
        }
    }
    cwd = RealPath(".", w);
    Trace("SFTP: home folder " + cwd + ".");
}

} // namespace kv
