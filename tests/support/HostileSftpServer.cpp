// Starting the hostile SFTP server script.
#include "support/HostileSftpServer.h"

namespace kvtest {

namespace {
const char* const kPython = "/usr/bin/python3";
} // namespace

HostileSftpServer::HostileSftpServer(const std::string& mode) : port_(FreePort()) {
    process_.start({kPython, std::string(KORVANE_TEST_SUPPORT_DIR) + "/hostile_sftpd.py",
                    std::to_string(port_), mode},
                   dir_ / "server.log");
    process_.waitForPort(port_);
}

bool HostileSftpServer::Available() {
    return RunProgram({kPython, "-c", "import paramiko"}) == 0;
}

} // namespace kvtest
