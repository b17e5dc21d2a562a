#pragma once
// OpenSSH's sshd on 127.0.0.1 serving SFTP only (internal-sftp) to one system
// user chrooted into a folder of root's, starting in its folder "/mailbox"
// there (root()), with a password login and a key login, for the tests and
// the benchmark. Needs root (chroot, the password check).
#include "support/Servers.h"

#include <string>

namespace kvtest {

class SftpServer : public FtpServer {
public:
    SftpServer();
    ~SftpServer() override;
    // The server's host key as "ssh-keygen -l -E sha256" prints it, and one of
    // a key the server does not have (a server whose key changed).
    const std::string& fingerprint() const { return fingerprint_; }
    const std::string& otherFingerprint() const { return otherFingerprint_; }
    // A private key the server accepts for user() (RSA), with its passphrase,
    // and one it does not accept.
    const std::string& keyFile() const { return keyFile_; }
    const std::string& keyPassphrase() const { return keyPassphrase_; }
    const std::string& strangerKeyFile() const { return strangerKeyFile_; }
    // An accepted key without passphrase (for OpenSSH's sftp -b, which cannot ask).
    const std::string& plainKeyFile() const { return plainKeyFile_; }
    // Ends every connection being served now (the server goes on listening),
    // as a server or a line that drops.
    void dropSessions() const;

private:
    std::string chroot_;
    std::string fingerprint_, otherFingerprint_;
    std::string keyFile_, keyPassphrase_, strangerKeyFile_, plainKeyFile_;
};

// Started once per test binary on first use.
SftpServer& SharedSftpd();

} // namespace kvtest
