// Explicit FTPS against vsftpd (TLS session reuse required), pure-ftpd (TLS
// required) and a scripted pyftpdlib TLS server that misbehaves: the trust
// settings, refusals that never fall back to clear text, data connections
// without TLS, streams cut without close_notify, abort, proxy and time-out
// over TLS, and no password in clear on the wire.
#include "ftp/FtpTestUtil.h"
#include "remote/RemoteErrors.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace kv;
using namespace kvtest;

namespace {

std::shared_ptr<FtpSession> TlsSession(const FtpServer& server, FtpHost& host, bool passive) {
    auto s = MakeSession(server, host, passive);
    s->UseTls = true;
    s->TlsCAFile = SharedCertificate().certFile;
    return s;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Every operation of the cycles, over TLS, in one mode.
void EveryOperation(FtpServer& server, bool passive, FtpHost& host, const TempDir& local) {
    const std::string content = Pattern(3 << 20, passive ? 11 : 12);
    server.writeFile("tls.bin", content);
    WriteFile(local / "up.bin", content);
    auto s = TlsSession(server, host, passive);
    s->Connect();
    std::vector<std::string> lines;
    s->List(lines, "", false);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "tls.bin"), lines.end());
    GetResult r = s->Get("tls.bin", local / "tls.bin", true);
    EXPECT_TRUE(r.Complete);
    EXPECT_EQ(ReadFile(local / "tls.bin"), content);
    s->Put(local / "up.bin", "up.bin");
    EXPECT_EQ(ReadFile(server.path("up.bin")), content);
    EXPECT_EQ(s->Size("up.bin"), static_cast<int64_t>(content.size()));
    s->Delete("up.bin");
    s->Delete("tls.bin");
    s->Disconnect();
    auto t = host.traceTexts();
    EXPECT_EQ(std::count_if(t.begin(), t.end(),
                            [](const std::string& l) { return l.rfind("TLS: TLSv1.", 0) == 0; }),
              1);
}

// tcpdump on the loopback interface while it lives; bytes() gives what
// crossed one TCP port (filtered when reading the capture back: a kernel
// filter on "lo" is not reliable on every machine).
class Capture {
public:
    Capture() {
        process_.start({"/usr/bin/tcpdump", "-i", "lo", "-U", "-n", "-s", "2000", "-B", "8192",
                        "-w", dir_ / "all.pcap", "tcp"},
                       dir_ / "tcpdump.log");
        Eventually([&] { return ok(); }, 200, 50);
    }
    bool ok() { return Contains(process_.logTail(), "listening on"); }
    std::string bytes(int port) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        process_.stop();
        RunProgram({"/usr/bin/tcpdump", "-r", dir_ / "all.pcap", "-w", dir_ / "port.pcap",
                    "tcp port " + std::to_string(port)});
        return ReadFile(dir_ / "port.pcap");
    }

private:
    TempDir dir_;
    Process process_;
};

using Scripted = ScriptedServerTest<SharedPyFtpsd>;

} // namespace

TEST(Ftps, VsftpdWithSessionReuseAndNoPasswordInClear) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "vsftpd and tcpdump need root";
    VsftpdServer& server = SharedVsftpsd();
    TempDir local;
    Capture capture;
    ASSERT_TRUE(capture.ok());
    for (bool passive : {true, false}) {
        FtpHost host;
        EveryOperation(server, passive, host, local);
    }
    const std::string wire = capture.bytes(server.port());
    EXPECT_GT(wire.size(), 2000u);
    EXPECT_FALSE(Contains(wire, server.password()));
    EXPECT_FALSE(Contains(wire, "user " + server.user()));
    EXPECT_TRUE(Contains(wire, "AUTH TLS"));
}

TEST(Ftps, VsftpdOnIpv6LoopbackWithTheAddressInTheCertificate) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    TempDir local;
    for (bool passive : {true, false}) {
        FtpHost host;
        EveryOperation(SharedVsftpsd6(), passive, host, local);
        auto t = host.traceTexts();
        EXPECT_NE(
            std::find(t.begin(), t.end(), passive ? "Sent: EPSV<EOL>" : "Sent: AUTH TLS<EOL>"),
            t.end());
    }
}

TEST(Ftps, VsftpdRefusesClearTextSessions) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    FtpHost host;
    auto s = MakeSession(SharedVsftpsd(), host, true);
    EXPECT_THROW(s->Connect(), ProtocolReplyError);
}

TEST(Ftps, PureFtpdWithTlsRequired) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "pure-ftpd needs root";
    TempDir local;
    for (bool passive : {true, false}) {
        FtpHost host;
        EveryOperation(SharedPureFtpsd(), passive, host, local);
    }
}

TEST_F(Scripted, TrustIsTheCaFileOrThePinnedFingerprint) {
    server->writeFile("t.txt", "trusted");
    // Pinned: colons and letter case do not matter, no store is needed.
    std::string pin = SharedCertificate().fingerprint;
    std::transform(pin.begin(), pin.end(), pin.begin(), ::tolower);
    auto s = MakeSession(*server, host, true);
    s->UseTls = true;
    s->TlsFingerprint = pin;
    s->Connect();
    EXPECT_TRUE(s->Get("t.txt", local / "t.txt", true).Complete);
    EXPECT_EQ(ReadFile(local / "t.txt"), "trusted");

    // Another certificate's fingerprint, the system's store, a CA file that
    // does not hold the issuer, a bad pin: refused before the login.
    server->clearWireLog();
    auto fail = [&](const std::string& ca, const std::string& fp) {
        auto t = MakeSession(*server, host, true);
        t->UseTls = true;
        t->TlsCAFile = ca;
        t->TlsFingerprint = fp;
        std::string e = ErrorOf<TlsError>([&] { t->Connect(); });
        EXPECT_FALSE(t->Connected());
        return e;
    };
    EXPECT_TRUE(Contains(fail("", OtherCertificate().fingerprint), "does not match the pinned"));
    EXPECT_TRUE(Contains(fail("", ""), "certificate failed verification: self-signed"));
    EXPECT_TRUE(Contains(fail(OtherCertificate().certFile, ""), "failed verification"));
    EXPECT_TRUE(Contains(fail("", "12:34"), "is not a SHA-256 fingerprint"));
    EXPECT_TRUE(Contains(fail(local / "missing.pem", ""), "cannot be loaded"));
    for (const auto& line : server->wireLog())
        EXPECT_EQ(line, "AUTH TLS"); // never a login
}

TEST_F(Scripted, RefusedAuthTlsNeverFallsBackToClearText) {
    server->setScenario("reply\tAUTH\t502 No TLS here.\n");
    auto s = TlsSession(*server, host, true);
    EXPECT_TRUE(Contains(ErrorOf<TlsError>([&] { s->Connect(); }), "refused AUTH TLS"));
    EXPECT_FALSE(s->Connected());
    EXPECT_EQ(server->wireLog(), std::vector<std::string>{"AUTH TLS"});
}

TEST_F(Scripted, DataConnectionWithoutTlsFailsTheSession) {
    server->writeFile("clear.txt", "should have been secret");
    server->setScenario("data-clear\n");
    for (bool passive : {true, false}) {
        auto s = TlsSession(*server, host, passive);
        s->Connect();
        EXPECT_TRUE(
            Contains(ErrorOf<TlsError>([&] { s->Get("clear.txt", local / "clear.txt", true); }),
                     "data connection could not be secured"));
        EXPECT_FALSE(s->Connected());
    }
}

TEST_F(Scripted, StreamEndedWithoutCloseNotifyCountsOnlyWhenWhole) {
    const std::string content = Pattern(200000, 4);
    server->writeFile("cut.bin", content);
    server->setScenario("retr-limit\t1000\nretr-end\tcut\n");
    auto s = TlsSession(*server, host, true);
    s->Connect();
    GetResult r = s->Get("cut.bin", local / "cut.bin", true);
    EXPECT_FALSE(r.Complete);
    EXPECT_EQ(r.Bytes, 1000);
    EXPECT_EQ(s->LastReplyCode(), 226); // the transfer's own reply, not the size check's
    // Cut right at the end: the byte count matches the server's size.
    server->setScenario("retr-limit\t200000\nretr-end\tcut\n");
    auto t = TlsSession(*server, host, true);
    t->Connect();
    r = t->Get("cut.bin", local / "cut.bin", true);
    EXPECT_TRUE(r.Complete);
    EXPECT_EQ(ReadFile(local / "cut.bin"), content);
}

TEST_F(Scripted, AbortTimeOutAndProxyHoldOverTls) {
    const std::string content = Pattern(8 << 20, 6);
    server->writeFile("big.bin", content);
    for (bool passive : {true, false}) {
        auto s = TlsSession(*server, host, passive);
        s->Connect();
        host.onWork = [&](WorkDirection, int64_t) { s->Abort(); };
        GetResult r = s->Get("big.bin", local / "big.bin", true);
        host.onWork = nullptr;
        EXPECT_FALSE(r.Complete);
        EXPECT_EQ(ReadFile(local / "big.bin"), content.substr(0, r.Bytes));
        EXPECT_EQ(s->Size("big.bin"), static_cast<int64_t>(content.size()));
    }

    server->setScenario("silent\tNOOP\n");
    auto s = TlsSession(*server, host, true);
    s->Connect();
    s->NetTimeOut = 1;
    EXPECT_EQ(CaughtError<SocketError>([&] { s->Noop(); }).code, 10060);
    server->clearScenario();

    if (RunningAsRoot()) {
        // SOCKS 4 through dante: the TLS host check still uses the FTP host.
        DanteProxy& dante = SharedDante();
        auto d = TlsSession(*server, host, true);
        d->Proxy.Version = SocksVersion::Socks4;
        d->Proxy.Host = dante.host();
        d->Proxy.Port = dante.port();
        d->Connect();
        EXPECT_TRUE(d->Get("big.bin", local / "via-socks4.bin", true).Complete);
        EXPECT_EQ(ReadFile(local / "via-socks4.bin"), content);
    }

    MicrosocksProxy& proxy = SharedMicrosocks();
    auto p = TlsSession(*server, host, true);
    p->Proxy.Version = SocksVersion::Socks5;
    p->Proxy.Authentication = SocksAuthentication::UserPassword;
    p->Proxy.Host = proxy.host();
    p->Proxy.Port = proxy.port();
    p->Proxy.UserID = proxy.user();
    p->Proxy.Password = proxy.password();
    p->Connect();
    EXPECT_TRUE(p->Get("big.bin", local / "via-proxy.bin", true).Complete);
    EXPECT_EQ(ReadFile(local / "via-proxy.bin"), content);
}

// A server that keeps writing on the data connection of an upload cannot
// hold the close of its TLS: at most a little is read, within one time-out.
TEST_F(Scripted, AFloodOnTheUploadsDataConnectionEndsTheClose) {
    WriteFile(local / "up.bin", Pattern(40000, 8));
    server->setScenario("stor-flood\n");
    auto s = TlsSession(*server, host, true);
    s->NetTimeOut = 3;
    s->Connect();
    const auto start = std::chrono::steady_clock::now();
    try {
        s->Put(local / "up.bin", "up.bin");
    } catch (const FtpError&) {
        // How the server takes the early close is its affair.
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    server->clearScenario();
    if (s->Connected())
        s->Noop();
}
