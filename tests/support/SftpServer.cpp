// OpenSSH's sshd as an SFTP-only server for the tests and the benchmark.
#include "support/SftpServer.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kvtest {

namespace {

std::string Need(const std::string& path) {
    if (::access(path.c_str(), X_OK) != 0)
        throw std::runtime_error(path + " is missing: run ./scripts/install-deps.sh");
    return path;
}

std::string FirstLine(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// "SHA256:..." of a public key file.
std::string FingerprintOf(const std::string& keygen, const std::string& pub,
                          const std::string& out) {
    if (RunProgram({keygen, "-l", "-E", "sha256", "-f", pub}, out) != 0)
        throw std::runtime_error("ssh-keygen -l failed for " + pub);
    std::istringstream words(FirstLine(out));
    std::string bits, fingerprint;
    words >> bits >> fingerprint;
    return fingerprint;
}

} // namespace

SftpServer::SftpServer() : FtpServer("sshd-sftp") {
    if (!RunningAsRoot())
        throw std::runtime_error("sshd needs root to start (chroot and password logins)");
    const std::string sshd = Need("/usr/sbin/sshd"), keygen = Need("/usr/bin/ssh-keygen");
    user_ = "korvanesftp";
    password_ = "Kv-sftp-pass1";
    if (!::getpwnam(user_.c_str()) &&
        RunProgram({"/usr/sbin/useradd", "--system", "--no-create-home", "--home-dir", "/",
                    "--shell", "/usr/sbin/nologin", user_}) != 0 &&
        !::getpwnam(user_.c_str()))
        throw std::runtime_error("cannot create the system user " + user_);
    const passwd* pw = ::getpwnam(user_.c_str());
    if (!pw)
        throw std::runtime_error("no system user " + user_);
    uid_ = pw->pw_uid;
    gid_ = pw->pw_gid;
    // SHA-512 crypt: cheap to check at each login.
    const std::string hashFile = dir_ / "hash.txt";
    if (RunProgram({"/usr/bin/openssl", "passwd", "-6", "-salt", "korvanesalt", password_},
                   hashFile) != 0 ||
        RunProgram({"/usr/sbin/usermod", "-p", FirstLine(hashFile), user_}) != 0)
        throw std::runtime_error("cannot set the password of " + user_);
    ::chmod(dir_.path().c_str(), 0755);
    std::filesystem::create_directories("/run/sshd");
    // A chroot and every folder above it must be root's and writable by no
    // one else, which rules out the temporary folder.
    const std::string base = "/var/lib/korvane-test";
    std::filesystem::create_directories(base);
    ::chmod("/var/lib", 0755);
    ::chmod(base.c_str(), 0755);
    port_ = FreePort();
    chroot_ = base + "/sftp-" + std::to_string(::getpid()) + "-" + std::to_string(port_);
    std::filesystem::remove_all(chroot_);
    std::filesystem::create_directories(chroot_);
    ::chmod(chroot_.c_str(), 0755);
    // The user starts in a folder of its own inside the chroot, as on the
    // usual mailbox servers (the chroot itself cannot be the user's).
    root_ = chroot_ + "/mailbox";
    std::filesystem::create_directories(root_);
    ::chmod(root_.c_str(), 0755);
    if (::chown(root_.c_str(), uid_, gid_) != 0)
        throw std::runtime_error("chown " + root_ + ": " + std::strerror(errno));
    for (const char* key : {"host_key", "other_host_key", "stranger_key"})
        if (RunProgram({keygen, "-q", "-t", "ed25519", "-N", "", "-f", dir_ / key}) != 0)
            throw std::runtime_error("ssh-keygen failed");
    keyPassphrase_ = "Kv-key-phrase";
    keyFile_ = dir_ / "client_key";
    // RSA: OpenSSH takes it only signed with SHA-2 (rsa-sha2-256/512).
    if (RunProgram(
            {keygen, "-q", "-t", "rsa", "-b", "3072", "-N", keyPassphrase_, "-f", keyFile_}) != 0)
        throw std::runtime_error("ssh-keygen failed");
    strangerKeyFile_ = dir_ / "stranger_key";
    plainKeyFile_ = dir_ / "plain_key";
    if (RunProgram({keygen, "-q", "-t", "ed25519", "-N", "", "-f", plainKeyFile_}) != 0)
        throw std::runtime_error("ssh-keygen failed");
    WriteFile(dir_ / "authorized_keys",
              ReadFile(keyFile_ + ".pub") + ReadFile(plainKeyFile_ + ".pub"));
    fingerprint_ = FingerprintOf(keygen, dir_ / "host_key.pub", dir_ / "fp.txt");
    otherFingerprint_ = FingerprintOf(keygen, dir_ / "other_host_key.pub", dir_ / "fp.txt");
    const std::string conf = dir_ / "sshd_config";
    WriteFile(conf, "Port " + std::to_string(port_) + "\nListenAddress 127.0.0.1\nHostKey " +
                        (dir_ / "host_key") + "\nPidFile " + (dir_ / "sshd.pid") +
                        "\nAuthorizedKeysFile " + (dir_ / "authorized_keys") +
                        "\nUsePAM no\nStrictModes no\nPasswordAuthentication yes\n"
                        "KbdInteractiveAuthentication no\nPubkeyAuthentication yes\n"
                        "PermitRootLogin no\nAllowUsers " +
                        user_ +
                        "\nAllowTcpForwarding no\nX11Forwarding no\n"
                        "MaxStartups 64\nMaxSessions 16\nSubsystem sftp internal-sftp\n"
                        "ChrootDirectory " +
                        chroot_ + "\nForceCommand internal-sftp -d /mailbox\n");
    process_.start({sshd, "-D", "-e", "-f", conf}, dir_ / "sshd.log");
    process_.waitForPort(port_);
}

SftpServer::~SftpServer() {
    process_.stop();
    std::error_code ec;
    std::filesystem::remove_all(chroot_, ec);
}

namespace {

// A process's children, and theirs.
std::vector<pid_t> Descendants(pid_t pid) {
    std::vector<pid_t> all;
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    for (pid_t child; in >> child;) {
        all.push_back(child);
        for (pid_t grandchild : Descendants(child))
            all.push_back(grandchild);
    }
    return all;
}

} // namespace

void SftpServer::dropSessions() const {
    // The listener's children (and theirs) serve the connections; each is
    // ended by its PID.
    const pid_t listener = process_.pid();
    if (listener <= 0)
        return;
    for (pid_t pid : Descendants(listener))
        ::kill(pid, SIGKILL);
}

SftpServer& SharedSftpd() {
    return Shared<SftpServer>();
}

} // namespace kvtest
