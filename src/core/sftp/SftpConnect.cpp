// SftpSession's connection: the TCP connection (directly or through the
// SOCKS proxy), the SSH handshake with a fixed choice of algorithms, the
// check of the server's host key against the pinned one before anything
// secret is sent, the login by password or key, and the SFTP channel.
#include "sftp/SftpSessionImpl.h"

#include "ftp/Socks.h"
#include "sftp/SftpText.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace kv {

namespace {

// Algorithms offered, strongest first; nothing weaker (no CBC, SHA-1 MACs or
// DSA keys) is ever agreed. A server with none of them is refused.
const char* const kKex =
    "curve25519-sha256,curve25519-sha256@libssh.org,ecdh-sha2-nistp256,ecdh-sha2-nistp384,"
    "ecdh-sha2-nistp521,diffie-hellman-group-exchange-sha256,diffie-hellman-group16-sha512,"
    "diffie-hellman-group18-sha512,diffie-hellman-group14-sha256";
const char* const kHostKeys =
    "ssh-ed25519,ecdsa-sha2-nistp256,ecdsa-sha2-nistp384,ecdsa-sha2-nistp521,ssh-rsa";
const char* const kCiphers = "aes128-ctr,aes192-ctr,aes256-ctr";
const char* const kMacs = "hmac-sha2-256,hmac-sha2-512";

void CheckPort(int port, const std::string& what) {
    if (port < 1 || port > 65535)
        throw FtpError("The " + what + " " + std::to_string(port) +
                       " is not a valid TCP port (1 to 65535); correct it in the settings.");
}

std::string KeyTypeName(int type) {
    switch (type) {
    case LIBSSH2_HOSTKEY_TYPE_RSA:
        return "RSA";
    case LIBSSH2_HOSTKEY_TYPE_DSS:
        return "DSA";
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256:
        return "ECDSA-256";
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384:
        return "ECDSA-384";
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521:
        return "ECDSA-521";
    case LIBSSH2_HOSTKEY_TYPE_ED25519:
        return "ED25519";
    default:
        return "unknown type";
    }
}

bool Offers(const char* list, const char* method) {
    const size_t n = std::strlen(method);
    for (const char* p = list; p && *p;) {
        const char* end = std::strchr(p, ',');
        const size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
        if (len == n && std::strncmp(p, method, n) == 0)
            return true;
        p = end ? end + 1 : nullptr;
    }
    return false;
}

// Keyboard-interactive logins: every prompt is answered with the password.
LIBSSH2_USERAUTH_KBDINT_RESPONSE_FUNC(AnswerWithPassword) {
    (void)name;
    (void)name_len;
    (void)instruction;
    (void)instruction_len;
    (void)prompts;
    const auto* impl = static_cast<const SftpSession::Impl*>(*abstract);
    const std::string& password = impl->self.Password;
    for (int i = 0; i < num_prompts; ++i) {
        responses[i].text = static_cast<char*>(std::malloc(password.size() + 1));
        if (!responses[i].text) {
            responses[i].length = 0;
            continue;
        }
        std::memcpy(responses[i].text, password.c_str(), password.size() + 1);
        responses[i].length = static_cast<unsigned>(password.size());
    }
}

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
    closedLocally = broken = aborting = false;
    net::Waiter w = MakeWaiter();
    try {
        OpenSocket(w);
        Handshake(w);
        CheckHostKey();
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
    Status("Connected.");
}

void* SftpSession::Impl::SshAlloc(size_t size, void** abstract) {
    void* block = std::malloc(size);
    if (block)
        static_cast<Impl*>(*abstract)->sshBlocks.insert(block);
    return block;
}

void* SftpSession::Impl::SshRealloc(void* block, size_t size, void** abstract) {
    auto& blocks = static_cast<Impl*>(*abstract)->sshBlocks;
    void* moved = std::realloc(block, size);
    if (moved && moved != block) {
        blocks.erase(block);
        blocks.insert(moved);
    } else if (moved && !block) {
        blocks.insert(moved);
    }
    return moved;
}

void SftpSession::Impl::SshFree(void* block, void** abstract) {
    if (block)
        static_cast<Impl*>(*abstract)->sshBlocks.erase(block);
    std::free(block);
}

void SftpSession::Impl::FreeLeftBlocks() {
    for (void* block : sshBlocks)
        std::free(block);
    sshBlocks.clear();
}

void SftpSession::Impl::Handshake(net::Waiter& w) {
    static std::once_flag once;
    std::call_once(once, [] { libssh2_init(0); });
    ssh = libssh2_session_init_ex(SshAlloc, SshFree, SshRealloc, this);
    if (!ssh)
        throw FtpError("The SSH session could not be set up (out of memory).");
    libssh2_session_set_blocking(ssh, 0);
    const std::pair<int, const char*> prefs[] = {
        {LIBSSH2_METHOD_KEX, kKex},          {LIBSSH2_METHOD_HOSTKEY, kHostKeys},
        {LIBSSH2_METHOD_CRYPT_CS, kCiphers}, {LIBSSH2_METHOD_CRYPT_SC, kCiphers},
        {LIBSSH2_METHOD_MAC_CS, kMacs},      {LIBSSH2_METHOD_MAC_SC, kMacs}};
    for (const auto& [method, list] : prefs)
        if (libssh2_session_method_pref(ssh, method, list) != 0)
            throw FtpError("The SSH library refused the algorithms " + std::string(list) + ": " +
                           LastError());
    const int rc = Retry([&] { return libssh2_session_handshake(ssh, socket->Descriptor()); }, w);
    if (rc == 0) {
        if (const char* banner = libssh2_session_banner_get(ssh))
            Trace(std::string("SSH: ") + banner);
        Trace(std::string("SSH: key exchange ") + libssh2_session_methods(ssh, LIBSSH2_METHOD_KEX) +
              ", cipher " + libssh2_session_methods(ssh, LIBSSH2_METHOD_CRYPT_CS) + ", MAC " +
              libssh2_session_methods(ssh, LIBSSH2_METHOD_MAC_CS) + ".");
        return;
    }
    const std::string detail = LastError();
    if (rc == LIBSSH2_ERROR_KEX_FAILURE || rc == LIBSSH2_ERROR_METHOD_NOT_SUPPORTED)
        throw FtpError("The SFTP server " + self.Host +
                       " and this program have no key exchange, host-key, cipher or MAC "
                       "algorithm in common (" +
                       detail + "); the connection was closed, nothing was sent.");
    if (rc == LIBSSH2_ERROR_SOCKET_DISCONNECT || rc == LIBSSH2_ERROR_SOCKET_RECV ||
        rc == LIBSSH2_ERROR_BANNER_RECV)
        throw FtpError("The server " + self.Host +
                       " closed the connection before the SSH "
                       "handshake ended (" +
                       detail +
                       "); check that it is an SFTP server and "
                       "its port.");
    Fail(rc, "the SSH handshake");
}

void SftpSession::Impl::CheckHostKey() {
    const char* hash = libssh2_hostkey_hash(ssh, LIBSSH2_HOSTKEY_HASH_SHA256);
    size_t length = 0;
    int type = 0;
    if (!hash || !libssh2_session_hostkey(ssh, &length, &type))
        throw FtpError("The SFTP server " + self.Host +
                       " presented no host key that can be checked; the connection was closed.");
    const std::string fingerprint = sftp::Fingerprint(reinterpret_cast<const unsigned char*>(hash));
    const std::string typeName = KeyTypeName(type);
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
    const unsigned userLength = static_cast<unsigned>(user.size());
    char* methods =
        RetryPointer<char>([&] { return libssh2_userauth_list(ssh, user.c_str(), userLength); }, w);
    if (!methods) {
        if (libssh2_userauth_authenticated(ssh))
            return; // the server let the user in without a password
        Fail(libssh2_session_last_errno(ssh), "the login");
    }
    const std::string offered = methods;
    Trace("SSH: login methods offered: " + offered + ".");
    if (!self.KeyFile.empty()) {
        if (!Offers(methods, "publickey"))
            throw ProtocolReplyError(530, "The SFTP server takes no key logins (it offers " +
                                              offered +
                                              "); clear the key file setting to "
                                              "log in with the password.");
        const int rc = Retry(
            [&] {
                return libssh2_userauth_publickey_fromfile_ex(
                    ssh, user.c_str(), userLength, nullptr, self.KeyFile.c_str(),
                    self.KeyPassword.empty() ? nullptr : self.KeyPassword.c_str());
            },
            w);
        if (rc == 0) {
            Trace("SSH: logged in as " + user + " with the key " + self.KeyFile + ".");
            return;
        }
        if (rc == LIBSSH2_ERROR_FILE)
            throw FtpError("The key file " + self.KeyFile +
                           " cannot be read, is not a private key, or its passphrase is "
                           "wrong (" +
                           LastError() + "); nothing was sent.");
        if (rc == LIBSSH2_ERROR_AUTHENTICATION_FAILED || rc == LIBSSH2_ERROR_PUBLICKEY_UNVERIFIED)
            throw ProtocolReplyError(530, "The SFTP server refused the key " + self.KeyFile +
                                              " for user " + user +
                                              "; the password is not tried instead.");
        Fail(rc, "the key login");
    }
    int rc = LIBSSH2_ERROR_METHOD_NONE;
    if (Offers(methods, "password")) {
        rc = Retry(
            [&] {
                return libssh2_userauth_password_ex(
                    ssh, user.c_str(), userLength, self.Password.c_str(),
                    static_cast<unsigned>(self.Password.size()), nullptr);
            },
            w);
    } else if (Offers(methods, "keyboard-interactive")) {
        rc = Retry(
            [&] {
                return libssh2_userauth_keyboard_interactive_ex(ssh, user.c_str(), userLength,
                                                                AnswerWithPassword);
            },
            w);
    } else {
        throw ProtocolReplyError(530, "The SFTP server takes no password logins (it offers " +
                                          offered + "); set a key file for user " + user + ".");
    }
    if (rc == 0) {
        Trace("SSH: logged in as " + user + " with the password.");
        return;
    }
    if (rc == LIBSSH2_ERROR_AUTHENTICATION_FAILED)
        throw ProtocolReplyError(530, "The SFTP server refused the password of user " + user +
                                          "; check the user name and password.");
    if (rc == LIBSSH2_ERROR_PASSWORD_EXPIRED)
        throw ProtocolReplyError(530, "The password of user " + user +
                                          " has expired on the SFTP server; change it there.");
    Fail(rc, "the login");
}

void SftpSession::Impl::OpenSftp(net::Waiter& w) {
    sftp = RetryPointer<LIBSSH2_SFTP>([&] { return libssh2_sftp_init(ssh); }, w);
    if (!sftp)
        Fail(libssh2_session_last_errno(ssh), "the start of the SFTP subsystem");
    cwd = RealPath(".", w);
    Trace("SFTP: home folder " + cwd + ".");
}

} // namespace kv
