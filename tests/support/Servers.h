#pragma once
// Real FTP servers and SOCKS proxies on 127.0.0.1 for the tests and the
// benchmark. Each one runs in a temporary folder on a port picked at run time,
// is started with setsid (its PID is its process group) and is stopped by
// that group, TERM then KILL, in stop() or the destructor. A constructor that
// cannot start its server throws std::runtime_error with the server's output.
//
// vsftpd, pure-ftpd, proftpd and dante need root (they start as root and drop
// privileges); vsftpd logs in a system user "korvaneftp" (home /, no shell,
// locked password; created on first use) whose FTP password is checked by
// pam_userdb against a file in the server's folder.
#include "support/TestSupport.h"

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kvtest {

// One instance per tag and type, built by make() on first use; a failed start
// is not tried again, each later use fails with its message.
template <class T, int Tag = 0>
T& Shared(const std::function<std::unique_ptr<T>()>& make = [] { return std::make_unique<T>(); }) {
    static std::unique_ptr<T> server;
    static std::string error;
    if (!server) {
        if (!error.empty())
            throw std::runtime_error(error);
        try {
            server = make();
        } catch (const std::exception& e) {
            error = e.what();
            throw;
        }
    }
    return *server;
}

bool RunningAsRoot();
// A TCP port on 127.0.0.1 that is free right now.
int FreePort();
// In a child after fork: standard input from /dev/null, standard output (and
// standard error, with errorsToo) to outputFile opened with O_APPEND or
// O_TRUNC, then argv[0] (a path) is run. Never returns.
[[noreturn]] void ExecInChild(const std::vector<std::string>& argv, const std::string& outputFile,
                              int appendOrTruncate, bool errorsToo);
// Runs a program to its end (no shell); its exit status, -1 when it could not run.
int RunProgram(const std::vector<std::string>& argv, const std::string& outputFile = "/dev/null");
// Waits up to seconds for the child pid to end: its exit status (128 + the
// signal when killed), and pid becomes -1; -1 when it is still running.
int WaitForExit(pid_t& pid, int seconds);

// A process in its own session, output to a log file.
class Process {
public:
    Process() = default;
    ~Process() { stop(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    void start(const std::vector<std::string>& argv, const std::string& logFile);
    // Waits until 127.0.0.1:port (::1 with ipv6) accepts; throws (with the
    // log's tail) when the process ends first or after 15 s.
    void waitForPort(int port, bool ipv6 = false);
    void stop();
    bool running();
    pid_t pid() const { return pid_; }
    std::string logTail() const;

private:
    pid_t pid_ = -1;
    std::string log_;
};

// An FTP server with one user whose root folder is root().
class FtpServer {
public:
    virtual ~FtpServer() = default;
    const std::string& name() const { return name_; }
    std::string host() const { return host_; }
    int port() const { return port_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    // Local path of the user's root folder (the FTP path "/").
    const std::string& root() const { return root_; }
    std::string path(const std::string& relative) const { return root_ + "/" + relative; }
    // A file or folder under root() that the server's user may change and delete.
    void writeFile(const std::string& relative, const std::string& content) const;
    void makeDir(const std::string& relative) const;
    void stop() { process_.stop(); }

protected:
    explicit FtpServer(std::string name) : name_(std::move(name)) {}
    void prepareRoot(uid_t uid, gid_t gid);
    TempDir dir_;
    Process process_;
    std::string name_, user_, password_, root_;
    std::string host_ = "127.0.0.1";
    int port_ = 0;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

// A self-signed certificate for localhost, 127.0.0.1 and ::1, made with the
// openssl tool in a temporary folder.
struct TestCertificate {
    std::string certFile, keyFile;
    std::string pemFile;     // certificate and key in one file
    std::string fingerprint; // SHA-256 as openssl prints it ("AB:CD:...")
    TempDir dir;
};
// Made once per test binary; Other is a second, unrelated one.
const TestCertificate& SharedCertificate();
const TestCertificate& OtherCertificate();

class VsftpdServer : public FtpServer {
public:
    // With tls: explicit FTPS required for logins and data, TLS session
    // reuse required on data connections (SharedCertificate). With ipv6 it
    // listens on ::1 only (host() is "::1").
    explicit VsftpdServer(bool tls = false, bool ipv6 = false);
    ~VsftpdServer() override;

private:
    std::string pamFile_;
};

class PureFtpdServer : public FtpServer {
public:
    // With tls: TLS required on control and data connections.
    explicit PureFtpdServer(bool tls = false);
};

class ProftpdServer : public FtpServer {
public:
    ProftpdServer();
};

// pyftpdlib running tests/support/scripted_ftpd.py: a plain server until a
// scenario is set (see the script for the directives). The scenario is read
// at each new connection.
class PyFtpdServer : public FtpServer {
public:
    PyFtpdServer();
    // The same server running another script that takes the same arguments
    // (port, root, user, password, control folder) and control files.
    PyFtpdServer(const std::string& name, const std::string& script, const std::string& user,
                 const std::string& password, const std::vector<std::string>& extraArgs = {});
    // Directives, one per line, fields separated by '\t'.
    void setScenario(const std::string& directives) const;
    void clearScenario() const { setScenario(""); }
    // Lines received on the control connections since the last clear.
    std::vector<std::string> wireLog() const;
    void clearWireLog() const;
};

// pyftpdlib exactly as Debian ships it ("python3 -m pyftpdlib", nothing
// patched): it refuses "LIST folder/*.*" with 550, SIZE in ASCII type with
// 550, and offers MLSD. Without mlsd the same server lacks only MLSD and MLST
// (as servers that know only LIST do).
class StockPyFtpdServer : public FtpServer {
public:
    explicit StockPyFtpdServer(bool mlsd = true);
};

// A SOCKS proxy on 127.0.0.1.
class SocksProxy {
public:
    virtual ~SocksProxy() = default;
    const std::string& name() const { return name_; }
    std::string host() const { return "127.0.0.1"; }
    int port() const { return port_; }
    const std::string& user() const { return user_; } // empty: no authentication
    const std::string& password() const { return password_; }
    void stop();

protected:
    explicit SocksProxy(std::string name) : name_(std::move(name)) {}
    TempDir dir_;
    Process process_;
    std::vector<std::unique_ptr<Process>> helpers_;
    std::string name_, user_, password_;
    int port_ = 0;
};

// dante-server without authentication: SOCKS 4 and SOCKS 5.
class DanteProxy : public SocksProxy {
public:
    DanteProxy();
};

// microsocks: SOCKS 5, with user name and password when user is not empty.
class MicrosocksProxy : public SocksProxy {
public:
    MicrosocksProxy(const std::string& user, const std::string& password);
};

// OpenSSH's dynamic forwarding (ssh -D) through a private sshd: SOCKS 4, 4A and 5.
class SshDynamicProxy : public SocksProxy {
public:
    SshDynamicProxy();
};

// Servers started once per test binary on first use, stopped at its exit. A
// start that failed throws the same error again without retrying.
VsftpdServer& SharedVsftpd();
PureFtpdServer& SharedPureFtpd();
// The same servers with FTPS required, and scripted_ftpsd.py (TLS required,
// scenarios as scripted_ftpd.py plus its own TLS faults).
VsftpdServer& SharedVsftpsd();
PureFtpdServer& SharedPureFtpsd();
PyFtpdServer& SharedPyFtpsd();
// vsftpd on ::1, plain and with FTPS required.
VsftpdServer& SharedVsftpd6();
VsftpdServer& SharedVsftpsd6();
ProftpdServer& SharedProftpd();
PyFtpdServer& SharedPyFtpd();
StockPyFtpdServer& SharedStockPyFtpd();
StockPyFtpdServer& SharedStockPyFtpdWithoutMlsd();
DanteProxy& SharedDante();
MicrosocksProxy& SharedMicrosocks(); // with user "kvproxy" and password "Kv-proxy-pass"
SshDynamicProxy& SharedSshProxy();

} // namespace kvtest
