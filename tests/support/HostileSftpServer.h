#pragma once
// A hostile SFTP server on 127.0.0.1 (hostile_sftpd.py, on paramiko's SSH
// transport): any user and password log in, its host key is new each time,
// and it never finishes an answer in the way its mode says (see the script).
// Stopped by its process group when it goes.
#include "support/Servers.h"

#include <string>

namespace kvtest {

class HostileSftpServer {
public:
    // mode: "trickle", "ignore" or "endless".
    explicit HostileSftpServer(const std::string& mode);
    int port() const { return port_; }
    std::string logTail() const { return process_.logTail(); }
    // Whether python3 can run the server (Debian's python3-paramiko).
    static bool Available();

private:
    TempDir dir_;
    Process process_;
    int port_;
};

} // namespace kvtest
