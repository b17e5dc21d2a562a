// An SFTP server that never finishes an answer cannot hold a session: a READ
// answer trickled a byte a second, a flood of SSH ignore messages instead of
// an answer, and a listing of hidden names without end all end within the
// session's time-out and limits (tests/support/hostile_sftpd.py, paramiko).
#include "remote/RemoteErrors.h"
#include "sftp/SftpSession.h"
#include "support/HostileSftpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

using namespace kv;
using namespace kvtest;

namespace {

constexpr int kTimeOut = 2; // the session's NetTimeOut in seconds

} // namespace

TEST(SftpHostileServer, EveryWaitEndsWithinItsTimeOutAndLimits) {
    if (!HostileSftpServer::Available())
        GTEST_SKIP() << "python3-paramiko is missing (scripts/install-deps.sh installs it)";
    TempDir local;
    struct Case {
        const char* mode;
        std::function<void(SftpSession&)> operation;
        std::string error; // part of the error's text
    };
    const std::vector<Case> cases = {
        // Progress, but fewer than MinBytesPerSecond over a whole time-out.
        {"trickle", [&](SftpSession& s) { s.Get("/f", local / "f", true); },
         "The SFTP server moved only "},
        // Bytes on the connection, none of them an answer.
        {"ignore", [&](SftpSession& s) { s.Get("/f", local / "f", true); }, "10060"},
        // Quick answers, every name hidden: the names count against the limits.
        {"endless",
         [&](SftpSession& s) {
             std::vector<std::string> lines;
             s.List(lines, "/");
         },
         "The listing of / is larger than 1048576 bytes"},
    };
    for (const Case& c : cases) {
        HostileSftpServer server(c.mode);
        auto s = std::make_shared<SftpSession>();
        s->Host = "127.0.0.1";
        s->Port = server.port();
        s->User = "anyone";
        s->Password = "anything";
        s->NetTimeOut = kTimeOut;
        s->MaxListingBytes = 1 << 20;
        s->AcceptHostKey = [](const std::string&, const std::string&) { return true; };
        ASSERT_NO_THROW(s->Connect()) << c.mode << ": " << server.logTail();
        const auto start = std::chrono::steady_clock::now();
        std::string error = "nothing";
        try {
            c.operation(*s);
        } catch (const std::exception& e) {
            error = e.what();
        }
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        EXPECT_NE(error.find(c.error), std::string::npos) << c.mode << ": " << error;
        // The server goes on for a minute: ending well before says the wait
        // was bounded, not that the server gave up.
        EXPECT_LT(seconds, 20) << c.mode;
        s->Disconnect();
    }
}
