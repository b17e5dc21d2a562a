#include "support/Servers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef KORVANE_TEST_SUPPORT_DIR
#error "KORVANE_TEST_SUPPORT_DIR must name tests/support"
#endif

namespace kvtest {

namespace {

using Clock = std::chrono::steady_clock;

std::string ServersDir() {
    const char* d = std::getenv("KORVANE_TEST_SERVERS");
    return d && *d ? d : "/opt/korvane-test-servers";
}

std::string Need(const std::string& path) {
    if (::access(path.c_str(), X_OK) != 0)
        throw std::runtime_error(path + " is missing: run ./scripts/install-deps.sh");
    return path;
}

void NeedRoot(const std::string& what) {
    if (!RunningAsRoot())
        throw std::runtime_error(what + " needs root to start");
}

void Chown(const std::string& path, uid_t uid, gid_t gid) {
    if (::chown(path.c_str(), uid, gid) != 0)
        throw std::runtime_error("chown " + path + ": " + std::strerror(errno));
}

// SHA-512 crypt hash: cheap to check at each login.
std::string CryptHash(const std::string& password, const std::string& dir) {
    std::string out = dir + "/hash.txt";
    if (RunProgram({"/usr/bin/openssl", "passwd", "-6", "-salt", "korvanesalt", password}, out) !=
        0)
        throw std::runtime_error("openssl passwd failed");
    std::string h = ReadFile(out);
    while (!h.empty() && (h.back() == '\n' || h.back() == '\r'))
        h.pop_back();
    std::remove(out.c_str());
    return h;
}

} // namespace

bool RunningAsRoot() {
    return ::geteuid() == 0;
}

int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("no free port");
    ::close(fd);
    return ntohs(a.sin_port);
}

void ExecInChild(const std::vector<std::string>& argv, const std::string& outputFile,
                 int appendOrTruncate, bool errorsToo) {
    int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | appendOrTruncate, 0600);
    int in = ::open("/dev/null", O_RDONLY);
    if (out >= 0) {
        ::dup2(out, 1);
        if (errorsToo)
            ::dup2(out, 2);
    }
    if (in >= 0)
        ::dup2(in, 0);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
    ::_exit(127);
}

int RunProgram(const std::vector<std::string>& argv, const std::string& outputFile) {
    pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0)
        ExecInChild(argv, outputFile, O_TRUNC, true);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int WaitForExit(pid_t& pid, int seconds) {
    for (int i = 0; i < seconds * 20 && pid > 0; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

// --- Process -----------------------------------------------------------------

void Process::start(const std::vector<std::string>& argv, const std::string& logFile) {
    stop();
    log_ = logFile;
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::setsid();
        // Ends with the test binary even when it crashes.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(1);
        ExecInChild(argv, logFile, O_APPEND, true);
    }
    pid_ = pid;
}

bool Process::running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

std::string Process::logTail() const {
    std::string text;
    try {
        text = ReadFile(log_);
    } catch (...) {
        return "";
    }
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

void Process::waitForPort(int port, bool ipv6) {
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < deadline) {
        if (!running())
            throw std::runtime_error("the server ended at start:\n" + logTail());
        int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool ok;
        if (ipv6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(static_cast<uint16_t>(port));
            a.sin6_addr = in6addr_loopback;
            ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        }
        ::close(fd);
        if (ok)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("the server did not listen on port " + std::to_string(port) +
                             " within 15 s:\n" + logTail());
}

void Process::stop() {
    if (pid_ <= 0)
        return;
    ::kill(-pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    bool exited = false;
    while (Clock::now() < deadline) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno == ECHILD)) {
            exited = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Whatever is left of the group (session processes) goes too.
    ::kill(-pid_, SIGKILL);
    if (!exited) {
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
}

// --- FTP servers ---------------------------------------------------------------

void FtpServer::prepareRoot(uid_t uid, gid_t gid) {
    uid_ = uid;
    gid_ = gid;
    // Servers that drop privileges must reach the folder.
    ::chmod(dir_.path().c_str(), 0755);
    root_ = dir_ / "root";
    std::filesystem::create_directories(root_);
    ::chmod(root_.c_str(), 0755);
    Chown(root_, uid, gid);
}

void FtpServer::writeFile(const std::string& relative, const std::string& content) const {
    std::string p = path(relative);
    WriteFile(p, content);
    ::chmod(p.c_str(), 0644);
    Chown(p, uid_, gid_);
}

void FtpServer::makeDir(const std::string& relative) const {
    std::string p = path(relative);
    std::filesystem::create_directories(p);
    ::chmod(p.c_str(), 0755);
    Chown(p, uid_, gid_);
}

namespace {

TestCertificate* MakeCertificate() {
    auto* c = new TestCertificate;
    c->certFile = c->dir / "cert.pem";
    c->keyFile = c->dir / "key.pem";
    c->pemFile = c->dir / "both.pem";
    if (RunProgram({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                    "3", "-subj", "/CN=localhost", "-addext",
                    "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1", "-keyout", c->keyFile,
                    "-out", c->certFile}) != 0)
        throw std::runtime_error("openssl req could not make a test certificate");
    WriteFile(c->pemFile, ReadFile(c->keyFile) + ReadFile(c->certFile));
    ::chmod(c->keyFile.c_str(), 0600);
    ::chmod(c->pemFile.c_str(), 0600);
    const std::string out = c->dir / "fingerprint.txt";
    if (RunProgram(
            {"/usr/bin/openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", c->certFile},
            out) != 0)
        throw std::runtime_error("openssl x509 could not read the test certificate");
    std::string text = ReadFile(out);
    size_t eq = text.find('=');
    c->fingerprint = text.substr(eq + 1, text.find_last_not_of("\r\n") - eq);
    return c;
}

} // namespace

const TestCertificate& SharedCertificate() {
    static std::unique_ptr<TestCertificate> c(MakeCertificate());
    return *c;
}

const TestCertificate& OtherCertificate() {
    static std::unique_ptr<TestCertificate> c(MakeCertificate());
    return *c;
}

VsftpdServer::VsftpdServer(bool tls, bool ipv6)
    : FtpServer(std::string("vsftpd") + (tls ? "-tls" : "") + (ipv6 ? "-ipv6" : "")) {
    if (ipv6)
        host_ = "::1";
    NeedRoot("vsftpd");
    const std::string bin = Need(ServersDir() + "/vsftpd/usr/sbin/vsftpd");
    user_ = "korvaneftp";
    password_ = "Kv-test-pass1";
    if (!::getpwnam(user_.c_str()) &&
        RunProgram({"/usr/sbin/useradd", "--system", "--no-create-home", "--home-dir", "/",
                    "--shell", "/usr/sbin/nologin", user_}) != 0 &&
        !::getpwnam(user_.c_str()))
        throw std::runtime_error("cannot create the system user " + user_);
    const passwd* pw = ::getpwnam(user_.c_str());
    if (!pw)
        throw std::runtime_error("no system user " + user_);
    prepareRoot(pw->pw_uid, pw->pw_gid);
    std::filesystem::create_directories(dir_ / "empty");
    ::chmod((dir_ / "empty").c_str(), 0755);
    // pam_userdb reads a Berkeley DB hash file; Python's ndbm writes one.
    const std::string db = dir_ / "users";
    if (RunProgram({"/usr/bin/python3", "-c",
                    "import dbm.ndbm,sys\n"
                    "d=dbm.ndbm.open(sys.argv[1],'n',0o600)\n"
                    "d[sys.argv[2].encode()]=sys.argv[3].encode()\n"
                    "d.close()",
                    db, user_, password_}) != 0)
        throw std::runtime_error("cannot write the vsftpd user database");
    port_ = FreePort();
    const std::string service =
        "korvane-test-vsftpd-" + std::to_string(::getpid()) + "-" + std::to_string(port_);
    pamFile_ = "/etc/pam.d/" + service;
    WriteFile(pamFile_, "auth required pam_userdb.so db=" + db +
                            "\naccount required pam_permit.so\nsession required pam_permit.so\n");
    const std::string conf = dir_ / "vsftpd.conf";
    WriteFile(conf, std::string(ipv6 ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n"
                                     : "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n") +
                        "listen_port=" + std::to_string(port_) +
                        "\nbackground=NO\nanonymous_enable=NO\nlocal_enable=YES\n"
                        "write_enable=YES\nlocal_umask=022\npam_service_name=" +
                        service + "\nlocal_root=" + root_ +
                        "\nchroot_local_user=YES\nallow_writeable_chroot=YES\n"
                        "secure_chroot_dir=" +
                        (dir_ / "empty") + "\npasv_enable=YES\n" +
                        (ipv6 ? "" : "pasv_address=127.0.0.1\n") +
                        "port_enable=YES\n"
                        "connect_from_port_20=NO\nseccomp_sandbox=NO\nxferlog_enable=NO\n"
                        "max_clients=0\nmax_per_ip=0\n" +
                        (tls ? "ssl_enable=YES\nrsa_cert_file=" + SharedCertificate().certFile +
                                   "\nrsa_private_key_file=" + SharedCertificate().keyFile +
                                   "\nforce_local_logins_ssl=YES\nforce_local_data_ssl=YES\n"
                                   "require_ssl_reuse=YES\nssl_ciphers=HIGH\n"
                             : std::string()));
    process_.start({bin, conf}, dir_ / "server.log");
    process_.waitForPort(port_, ipv6);
}

VsftpdServer::~VsftpdServer() {
    process_.stop();
    if (!pamFile_.empty())
        std::remove(pamFile_.c_str());
}

PureFtpdServer::PureFtpdServer(bool tls) : FtpServer(tls ? "pure-ftpd-tls" : "pure-ftpd") {
    NeedRoot("pure-ftpd");
    const std::string bin = Need(ServersDir() + "/pure-ftpd/usr/sbin/pure-ftpd");
    const std::string pw = Need(ServersDir() + "/pure-ftpd/usr/bin/pure-pw");
    user_ = "kvuser";
    password_ = "Kv-test-pass2";
    prepareRoot(65534, 65534);
    const std::string passwdFile = dir_ / "pureftpd.passwd";
    WriteFile(passwdFile, user_ + ":" + CryptHash(password_, dir_.path()) +
                              ":65534:65534::" + root_ + "/./::::::::::::\n");
    ::chmod(passwdFile.c_str(), 0600);
    const std::string pdb = dir_ / "pureftpd.pdb";
    if (RunProgram({pw, "mkdb", pdb, "-f", passwdFile}) != 0)
        throw std::runtime_error("pure-pw mkdb failed");
    port_ = FreePort();
    std::vector<std::string> argv = {bin,
                                     "-S",
                                     "127.0.0.1," + std::to_string(port_),
                                     "-l",
                                     "puredb:" + pdb,
                                     "-P",
                                     "127.0.0.1",
                                     "-E",
                                     "-H",
                                     "-4",
                                     "-A"};
    if (tls)
        argv.insert(argv.end(), {"-Y", "3", "-2", SharedCertificate().pemFile});
    process_.start(argv, dir_ / "server.log");
    process_.waitForPort(port_);
}

ProftpdServer::ProftpdServer() : FtpServer("proftpd") {
    NeedRoot("proftpd");
    const std::string bin = Need(ServersDir() + "/proftpd-core/usr/sbin/proftpd");
    user_ = "kvuser";
    password_ = "Kv-test-pass3";
    prepareRoot(65534, 65534);
    const std::string users = dir_ / "proftpd.passwd", groups = dir_ / "proftpd.group";
    WriteFile(users, user_ + ":" + CryptHash(password_, dir_.path()) + ":65534:65534::" + root_ +
                         ":/bin/sh\n");
    WriteFile(groups, "nogroup:x:65534:\n");
    ::chmod(users.c_str(), 0600);
    port_ = FreePort();
    const std::string conf = dir_ / "proftpd.conf";
    WriteFile(conf, "ServerType standalone\nServerName \"korvane test\"\nPort " +
                        std::to_string(port_) +
                        "\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\n"
                        "User nobody\nGroup nogroup\nPidFile " +
                        (dir_ / "proftpd.pid") + "\nScoreboardFile " + (dir_ / "scoreboard") +
                        "\nDelayTable none\nWtmpLog off\nUseReverseDNS off\n"
                        "AuthOrder mod_auth_file.c\nAuthUserFile " +
                        users + "\nAuthGroupFile " + groups +
                        "\nRequireValidShell off\nDefaultRoot ~\nAllowOverwrite on\n"
                        "TransferLog none\nMaxInstances 64\nAllowStoreRestart on\n<Directory />\n  "
                        "AllowOverwrite on\n"
                        "</Directory>\n");
    process_.start({bin, "-n", "-q", "-c", conf}, dir_ / "server.log");
    process_.waitForPort(port_);
}

PyFtpdServer::PyFtpdServer()
    : PyFtpdServer("pyftpdlib", std::string(KORVANE_TEST_SUPPORT_DIR) + "/scripted_ftpd.py",
                   "kvuser", "Kv-test-pass4") {}

PyFtpdServer::PyFtpdServer(const std::string& name, const std::string& script,
                           const std::string& user, const std::string& password,
                           const std::vector<std::string>& extraArgs)
    : FtpServer(name) {
    user_ = user;
    password_ = password;
    prepareRoot(::geteuid(), ::getegid());
    std::filesystem::create_directories(dir_ / "control");
    port_ = FreePort();
    std::vector<std::string> argv = {
        Need("/usr/bin/python3"), script, std::to_string(port_), root_, user_, password_,
        dir_ / "control"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    process_.start(argv, dir_ / "server.log");
    process_.waitForPort(port_);
}

StockPyFtpdServer::StockPyFtpdServer(bool mlsd)
    : FtpServer(mlsd ? "pyftpdlib (stock)" : "pyftpdlib (stock, no MLSD)") {
    user_ = "kvstock";
    password_ = "Kv-stock-pass5";
    prepareRoot(::geteuid(), ::getegid());
    port_ = FreePort();
    std::vector<std::string> argv = {Need("/usr/bin/python3"), "-m", "pyftpdlib"};
    if (!mlsd)
        argv = {Need("/usr/bin/python3"), "-c",
                "import sys\n"
                "from pyftpdlib.handlers import FTPHandler\n"
                "FTPHandler.proto_cmds = {k: v for k, v in FTPHandler.proto_cmds.items()\n"
                "                         if k not in ('MLSD', 'MLST')}\n"
                "from pyftpdlib.__main__ import main\n"
                "main()\n"};
    for (const std::string& a : {std::string("-i"), std::string("127.0.0.1"), std::string("-p"),
                                 std::to_string(port_), std::string("-w"), std::string("-d"), root_,
                                 std::string("-u"), user_, std::string("-P"), password_})
        argv.push_back(a);
    process_.start(argv, dir_ / "server.log");
    process_.waitForPort(port_);
}

void PyFtpdServer::setScenario(const std::string& directives) const {
    const std::string target = dir_ / "control/scenario", tmp = target + ".tmp";
    WriteFile(tmp, directives);
    std::rename(tmp.c_str(), target.c_str());
}

std::vector<std::string> PyFtpdServer::wireLog() const {
    std::vector<std::string> lines;
    std::string text;
    try {
        text = ReadFile(dir_ / "control/wire.log");
    } catch (...) {
        return lines;
    }
    size_t pos = 0;
    while (pos < text.size()) {
        size_t e = text.find('\n', pos);
        if (e == std::string::npos)
            e = text.size();
        lines.push_back(text.substr(pos, e - pos));
        pos = e + 1;
    }
    return lines;
}

void PyFtpdServer::clearWireLog() const {
    WriteFile(dir_ / "control/wire.log", "");
}

// --- SOCKS proxies ---------------------------------------------------------------

void SocksProxy::stop() {
    process_.stop();
    for (auto& h : helpers_)
        h->stop();
}

DanteProxy::DanteProxy() : SocksProxy("dante") {
    NeedRoot("dante");
    const std::string bin = Need("/usr/sbin/danted");
    port_ = FreePort();
    const std::string conf = dir_ / "danted.conf";
    WriteFile(conf, "logoutput: stderr\ninternal: 127.0.0.1 port = " + std::to_string(port_) +
                        "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n"
                        "user.privileged: root\nuser.unprivileged: nobody\n"
                        "client pass {\n    from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                        "socks pass {\n    from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                        "    command: connect bind bindreply\n}\n");
    ::chmod(dir_.path().c_str(), 0755);
    process_.start({bin, "-f", conf, "-N", "1"}, dir_ / "danted.log");
    process_.waitForPort(port_);
}

MicrosocksProxy::MicrosocksProxy(const std::string& user, const std::string& password)
    : SocksProxy("microsocks") {
    const std::string bin = Need("/usr/bin/microsocks");
    user_ = user;
    password_ = password;
    port_ = FreePort();
    std::vector<std::string> argv{bin, "-i", "127.0.0.1", "-p", std::to_string(port_)};
    if (!user.empty()) {
        argv.insert(argv.end(), {"-u", user, "-P", password});
    }
    process_.start(argv, dir_ / "microsocks.log");
    process_.waitForPort(port_);
}

SshDynamicProxy::SshDynamicProxy() : SocksProxy("ssh -D") {
    NeedRoot("sshd");
    const std::string sshd = Need("/usr/sbin/sshd"), ssh = Need("/usr/bin/ssh"),
                      keygen = Need("/usr/bin/ssh-keygen");
    ::chmod(dir_.path().c_str(), 0755);
    std::filesystem::create_directories("/run/sshd");
    for (const char* key : {"host_key", "client_key"}) {
        if (RunProgram({keygen, "-q", "-t", "ed25519", "-N", "", "-f", dir_ / key}) != 0)
            throw std::runtime_error("ssh-keygen failed");
    }
    std::filesystem::copy_file(dir_ / "client_key.pub", dir_ / "authorized_keys");
    const int sshPort = FreePort();
    const std::string conf = dir_ / "sshd_config";
    WriteFile(conf, "Port " + std::to_string(sshPort) + "\nListenAddress 127.0.0.1\nHostKey " +
                        (dir_ / "host_key") + "\nPidFile " + (dir_ / "sshd.pid") +
                        "\nAuthorizedKeysFile " + (dir_ / "authorized_keys") +
                        "\nUsePAM no\nStrictModes no\nPasswordAuthentication no\n"
                        "KbdInteractiveAuthentication no\nPubkeyAuthentication yes\n"
                        "PermitRootLogin prohibit-password\nAllowTcpForwarding yes\n"
                        "MaxSessions 64\nMaxStartups 64\n");
    auto daemon = std::make_unique<Process>();
    daemon->start({sshd, "-D", "-e", "-f", conf}, dir_ / "sshd.log");
    daemon->waitForPort(sshPort);
    helpers_.push_back(std::move(daemon));
    port_ = FreePort();
    const passwd* me = ::getpwuid(::geteuid());
    std::vector<std::string> argv{ssh,  "-N",
                                  "-D", "127.0.0.1:" + std::to_string(port_),
                                  "-p", std::to_string(sshPort),
                                  "-i", dir_ / "client_key",
                                  "-F", "/dev/null"};
    for (const char* option : {"StrictHostKeyChecking=no", "UserKnownHostsFile=/dev/null",
                               "BatchMode=yes", "IdentitiesOnly=yes", "LogLevel=ERROR"})
        argv.insert(argv.end(), {"-o", option});
    argv.push_back(std::string(me ? me->pw_name : "root") + "@127.0.0.1");
    process_.start(argv, dir_ / "ssh.log");
    process_.waitForPort(port_);
}

// --- shared instances ----------------------------------------------------------

VsftpdServer& SharedVsftpd() {
    return Shared<VsftpdServer>();
}
PureFtpdServer& SharedPureFtpd() {
    return Shared<PureFtpdServer>();
}
ProftpdServer& SharedProftpd() {
    return Shared<ProftpdServer>();
}
PyFtpdServer& SharedPyFtpd() {
    return Shared<PyFtpdServer>();
}
StockPyFtpdServer& SharedStockPyFtpd() {
    return Shared<StockPyFtpdServer>();
}
StockPyFtpdServer& SharedStockPyFtpdWithoutMlsd() {
    return Shared<StockPyFtpdServer, 1>([] { return std::make_unique<StockPyFtpdServer>(false); });
}
VsftpdServer& SharedVsftpsd() {
    return Shared<VsftpdServer, 1>([] { return std::make_unique<VsftpdServer>(true); });
}
PureFtpdServer& SharedPureFtpsd() {
    return Shared<PureFtpdServer, 1>([] { return std::make_unique<PureFtpdServer>(true); });
}
VsftpdServer& SharedVsftpd6() {
    return Shared<VsftpdServer, 2>([] { return std::make_unique<VsftpdServer>(false, true); });
}
VsftpdServer& SharedVsftpsd6() {
    return Shared<VsftpdServer, 3>([] { return std::make_unique<VsftpdServer>(true, true); });
}
PyFtpdServer& SharedPyFtpsd() {
    return Shared<PyFtpdServer, 1>([] {
        return std::make_unique<PyFtpdServer>(
            "pyftpdlib-tls", std::string(KORVANE_TEST_SUPPORT_DIR) + "/scripted_ftpsd.py", "kvuser",
            "Kv-test-pass5", std::vector<std::string>{SharedCertificate().pemFile});
    });
}
DanteProxy& SharedDante() {
    return Shared<DanteProxy>();
}
SshDynamicProxy& SharedSshProxy() {
    return Shared<SshDynamicProxy>();
}

MicrosocksProxy& SharedMicrosocks() {
    static std::unique_ptr<MicrosocksProxy> proxy;
    if (!proxy)
        proxy = std::make_unique<MicrosocksProxy>("kvproxy", "Kv-proxy-pass");
    return *proxy;
}

} // namespace kvtest
