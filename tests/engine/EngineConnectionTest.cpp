// Connecting and disconnecting: the client information file, failures, the
// connect test, the keep-alive tick and the event routing.
#include "EngineTestSupport.h"

#include "engine/session/ClientInfo.h"
#include "engine/session/Connection.h"
#include "engine/session/SessionEvents.h"
#include "ftp/FtpSession.h"
#include "logging/Logs.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kv;
using namespace kvtest;
using Lines = std::vector<std::string>;

// Uploaded once per run, in binary even with ASCII configured, under the
// address-derived name, into the login folder; the session is back in ASCII.
TEST(Connection, ClientInfoFileOncePerRun) {
    Mailbox m(SharedVsftpd());
    m.state.InfoFilePending = true;
    m.state.settings.TransferType = "ASCII";
    m.withLogs([&] {
        ASSERT_TRUE(ConnectSession(m.state, m.settings()));
        EXPECT_TRUE(DisconnectSession(m.state));
        ASSERT_TRUE(ConnectSession(m.state, m.settings()));
        EXPECT_TRUE(DisconnectSession(m.state));
    });
    EXPECT_FALSE(m.state.InfoFilePending);
    const std::string remote = ClientInfoRemoteName(LocalIPAddress());
    const std::string local = ReadFile(m.path("KVinf.txt"));
    EXPECT_EQ(ReadFile(m.server.path(remote)), local); // CR LF kept: binary
    // 29 rows, and "LocalIPv6=" on a machine with a global IPv6 address.
    EXPECT_EQ(ReadCrLfLines(m.path("KVinf.txt")).size(), LocalIPv6Address().empty() ? 29u : 30u);
    EXPECT_EQ(Grep(m.commands(), "STOR"), (Lines{"STOR " + remote}));
    Lines cmds = m.commands();
    auto stor = std::find(cmds.begin(), cmds.end(), "STOR " + remote);
    ASSERT_NE(stor, cmds.end());
    EXPECT_EQ(*(stor - 2), "type I");
    EXPECT_EQ(*(stor + 1), "type A");
    EXPECT_EQ(m.sysLog(), (Lines{"INFO:Connecting to 127.0.0.1.", "INFO:Connected.",
                                 "INFO:Disconnecting from 127.0.0.1.", "INFO:Disconnected.",
                                 "INFO:Not connected.", "INFO:Connecting to 127.0.0.1.",
                                 "INFO:Connected.", "INFO:Disconnecting from 127.0.0.1.",
                                 "INFO:Disconnected.", "INFO:Not connected."}));
}

TEST(Connection, ClientInfoFailures) {
    // The upload refused: "ERROR:" + message, no "!"; still connected; not retried.
    FaultFtpServer& py = SharedFaultFtpd();
    {
        Mailbox m(py);
        m.state.InfoFilePending = true;
        py.setScenario("reply\tSTOR\t553 Could not create file.\n");
        m.withLogs([&] {
            EXPECT_TRUE(ConnectSession(m.state, m.settings()));
            EXPECT_TRUE(m.state.FtpSession && m.state.FtpSession->Connected());
            DisconnectSession(m.state);
        });
        py.clearScenario();
        EXPECT_FALSE(m.state.InfoFilePending);
        EXPECT_EQ(Grep(m.sysLog(), "ERROR"), (Lines{"ERROR:553 Could not create file."}));
    }
    // The local file cannot be written: a connect failure, tried again next time.
    {
        Mailbox m(py);
        m.state.InfoFilePending = true;
        m.state.MessageBoxesAllowed = true;
        ::mkdir(m.path("KVinf.txt").c_str(), 0755);
        m.withLogs([&] { EXPECT_FALSE(ConnectSession(m.state, m.settings())); });
        EXPECT_TRUE(m.state.InfoFilePending);
        EXPECT_EQ(m.state.FtpSession, nullptr);
        Lines errors = Grep(m.sysLog(), "ERROR");
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find("KVinf.txt"), std::string::npos) << errors[0];
        EXPECT_EQ(errors[0].back(), '!');
        ASSERT_EQ(m.host.boxes.size(), 1u);
        EXPECT_EQ("ERROR:" + m.host.boxes[0] + "!", errors[0]);
        EXPECT_GT(m.host.keepAliveStops, 0);
    }
}

TEST(Connection, LoginRefused) {
    Mailbox m(SharedVsftpd());
    m.state.MessageBoxesAllowed = true;
    m.state.settings.Password = "wrong";
    m.putRemote("out/IN1.TXT", "stays");
    CycleOutcome outcome = m.runCycle();
    EXPECT_FALSE(outcome.Connected);
    EXPECT_EQ(m.state.FtpSession, nullptr);
    EXPECT_EQ(m.sysLog(), (Lines{"INFO:Connecting to 127.0.0.1.", "INFO:Connected.",
                                 "INFO:Disconnecting from 127.0.0.1.", "INFO:Disconnected.",
                                 "INFO:Not connected.", "ERROR:530 Login incorrect.!"}));
    EXPECT_EQ(m.host.boxes, (Lines{"530 Login incorrect."}));
    EXPECT_EQ(m.remote("out"), (Files{{"IN1.TXT", "stays"}}));

    // Nobody listening: a socket error with its Winsock number.
    Mailbox n(SharedVsftpd());
    n.state.settings.Port = FreePort();
    EXPECT_FALSE(n.runCycle().Connected);
    EXPECT_EQ(Grep(n.sysLog(), "ERROR"),
              (Lines{"ERROR:Socket Error # 10061 Connection refused.!"}));
}

// The connect test always aims at port 21, ignoring Port and the proxy.
TEST(Connection, ConnectTestOnPort21) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(21);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        GTEST_SKIP() << "cannot listen on 127.0.0.1:21 (needs root and a free port 21)";
    }
    Mailbox m(SharedVsftpd());
    m.state.MessageBoxesAllowed = true;
    m.state.settings.Port = 2121;
    m.state.settings.ProxyType = 3;
    m.state.settings.ProxyHost = "127.0.0.1";
    m.state.settings.ProxyPort = 1;
    m.state.ShowTestSuccessBox = false;
    m.withLogs([&] { TestConnection(m.state); });
    m.state.ShowTestSuccessBox = true;
    m.withLogs([&] { TestConnection(m.state); });
    ::close(fd);
    m.withLogs([&] { TestConnection(m.state); });
    EXPECT_EQ(m.sysLog(), (Lines{"INFO:Connect Test OK!", "INFO:Connect Test OK!",
                                 "ERROR:Connect Test Failed!"}));
    ASSERT_EQ(m.host.boxes.size(), 2u);
    EXPECT_EQ(WithoutStamp(m.host.boxes[0]), "INFO:Connect Test OK!");
    EXPECT_EQ(WithoutStamp(m.host.boxes[1]), "ERROR:Connect Test Failed!");
}

// The keep-alive: stopped without a session, NOOP when idle, skipped during a
// transfer, and a dropped connection releases the session.
TEST(Connection, KeepAliveTick) {
    FaultFtpServer& py = SharedFaultFtpd();
    Mailbox m(py);
    EXPECT_EQ(KeepAliveTick(m.state), KeepAliveResult::Stopped);
    EXPECT_EQ(m.host.keepAliveStops, 1);

    m.putRemote("out/big.bin", std::string(1 << 20, 'x'));
    std::vector<KeepAliveResult> during;
    m.withLogs([&] {
        ASSERT_TRUE(ConnectSession(m.state, m.settings()));
        EXPECT_EQ(m.host.keepAliveStarts, 1);
        EXPECT_EQ(KeepAliveTick(m.state), KeepAliveResult::Sent);
        m.host.onWork = [&](WorkDirection, int64_t) {
            if (during.empty())
                during.push_back(KeepAliveTick(m.state));
        };
        auto s = m.state.FtpSession;
        GetResult r = s->Get("out/big.bin", m.path("big.bin"), true);
        EXPECT_TRUE(r.Complete);
        // The transfer paused the keep-alive and started it again.
        EXPECT_FALSE(m.state.Transferring);
        EXPECT_EQ(m.host.keepAliveStarts, 2);
    });
    EXPECT_EQ(during, std::vector<KeepAliveResult>{KeepAliveResult::Skipped});
    EXPECT_EQ(Grep(m.commands(), "NOOP").size(), 1u);

    // The server goes away: the next tick finds out and releases the session.
    py.setScenario("drop\tNOOP\n");
    m.withLogs([&] {
        ASSERT_TRUE(ConnectSession(m.state, m.settings()));
        EXPECT_EQ(KeepAliveTick(m.state), KeepAliveResult::Dropped);
        EXPECT_EQ(m.state.FtpSession, nullptr);
        // Disconnecting what is already gone is quiet and succeeds.
        EXPECT_TRUE(DisconnectSession(m.state));
    });
    py.clearScenario();
    EXPECT_TRUE(Grep(m.sysLog(), "ERROR").empty());
}

// An abort request acts on the next work event; a request made between
// transfers is cleared when the next one begins.
TEST(Connection, AbortRequestStopsTheRunningDownload) {
    Mailbox m(SharedVsftpd());
    m.putRemote("out/big.bin", std::string(8 << 20, 'x'));
    m.withLogs([&] {
        ASSERT_TRUE(ConnectSession(m.state, m.settings()));
        auto s = m.state.FtpSession;
        m.state.AbortRequested = true; // stale: cleared at work begin
        GetResult whole = s->Get("out/big.bin", m.path("whole.bin"), true);
        EXPECT_TRUE(whole.Complete);
        EXPECT_EQ(whole.Bytes, 8 << 20);
        m.host.onWork = [&](WorkDirection, int64_t) { RequestAbort(m.state); };
        GetResult cut = s->Get("out/big.bin", m.path("cut.bin"), true);
        EXPECT_FALSE(cut.Complete);
        EXPECT_LT(cut.Bytes, 8 << 20);
        m.host.onWork = nullptr;
        // The session is still usable afterwards.
        EXPECT_EQ(s->Size("out/big.bin"), 8 << 20);
        DisconnectSession(m.state);
    });
    EXPECT_EQ(Grep(m.sysLog(), "Abort Transfer!").size(), 1u);
}
