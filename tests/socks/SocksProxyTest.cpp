// Sessions through real SOCKS proxies to pyftpdlib: dante (SOCKS 4 and 5),
// microsocks (SOCKS 5 with user name and password) and OpenSSH's dynamic
// forwarding (SOCKS 4, 4A and 5). Each does a passive LIST and RETR, whose
// data connections go through the proxy as well.
#include "ftp/FtpTestUtil.h"
#include "remote/RemoteErrors.h"

#include <gtest/gtest.h>

using namespace kv;
using namespace kvtest;

namespace {

class RealProxy : public ::testing::Test {
protected:
    void SetUp() override {
        ftp = &SharedPyFtpd();
        ftp->clearScenario();
        ftp->makeDir("socks");
        ftp->writeFile("socks/file.bin", content);
    }

    std::shared_ptr<FtpSession> Session(const SocksProxy& proxy, SocksVersion v) {
        auto s = MakeSession(*ftp, host, true);
        s->Proxy.Version = v;
        s->Proxy.Host = proxy.host();
        s->Proxy.Port = proxy.port();
        if (!proxy.user().empty()) {
            s->Proxy.Authentication = SocksAuthentication::UserPassword;
            s->Proxy.UserID = proxy.user();
            s->Proxy.Password = proxy.password();
        }
        return s;
    }

    void ListAndGet(FtpSession& s) {
        s.Connect();
        s.ChangeDir("socks");
        std::vector<std::string> lines;
        s.List(lines, "");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("file.bin"), std::string::npos);
        GetResult r = s.Get("file.bin", local / "file.bin", true);
        EXPECT_TRUE(r.Complete);
        EXPECT_EQ(ReadFile(local / "file.bin"), content);
        s.Disconnect();
    }

    static void NeedRoot() {
        if (!RunningAsRoot())
            GTEST_SKIP() << "this proxy needs root";
    }

    const std::string content = Pattern(300000, 9);
    PyFtpdServer* ftp = nullptr;
    FtpHost host;
    TempDir local;
};

} // namespace

TEST_F(RealProxy, Socks5WithoutAuthenticationThroughDante) {
    NeedRoot();
    auto s = Session(SharedDante(), SocksVersion::Socks5);
    ListAndGet(*s);
    // The status names the proxy, the trace never shows the handshake.
    EXPECT_EQ(host.status[0], "Connecting to 127.0.0.1.");
    EXPECT_EQ(host.traceTexts()[0], "Connected.");
    EXPECT_EQ(host.traceTexts()[1].rfind("Recv: 220 ", 0), 0u);
}

TEST_F(RealProxy, Socks4ThroughDante) {
    NeedRoot();
    auto s = Session(SharedDante(), SocksVersion::Socks4);
    ListAndGet(*s);
}

TEST_F(RealProxy, Socks4LooksTheHostUpOncePerSession) {
    NeedRoot();
    auto s = Session(SharedDante(), SocksVersion::Socks4);
    s->Host = "localhost";
    s->Connect();
    // A second lookup would now fail (an empty name is never found): every
    // data connection must reach the address found at connect time.
    s->Host = "";
    std::vector<std::string> lines;
    s->ChangeDir("socks");
    s->List(lines, "");
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_TRUE(s->Get("file.bin", local / "file.bin", true).Complete);
}

TEST_F(RealProxy, Socks4AIsRefusedByDante) {
    NeedRoot();
    // dante takes 0.0.0.1 for an address instead of reading the name.
    auto s = Session(SharedDante(), SocksVersion::Socks4A);
    s->Host = "localhost";
    EXPECT_THROW(s->Connect(), SocksRequestFailedError);
    EXPECT_FALSE(s->Connected());
}

TEST_F(RealProxy, Socks5WithUserAndPasswordThroughMicrosocks) {
    MicrosocksProxy& proxy = SharedMicrosocks();
    auto s = Session(proxy, SocksVersion::Socks5);
    ListAndGet(*s);
    for (const auto& line : host.trace)
        EXPECT_EQ(line.find(proxy.password()), std::string::npos);

    auto wrong = Session(proxy, SocksVersion::Socks5);
    wrong->Proxy.Password = "wrong";
    EXPECT_THROW(wrong->Connect(), SocksAuthError);
    auto none = Session(proxy, SocksVersion::Socks5);
    none->Proxy.Authentication = SocksAuthentication::None;
    EXPECT_THROW(none->Connect(), SocksAuthMethodError);
}

TEST_F(RealProxy, Socks4AAnd4And5ThroughOpenSsh) {
    NeedRoot();
    SshDynamicProxy& proxy = SharedSshProxy();
    for (SocksVersion v : {SocksVersion::Socks4A, SocksVersion::Socks5, SocksVersion::Socks4}) {
        auto s = Session(proxy, v);
        // A name: resolved by the proxy's side for 4A and 5, locally for 4.
        s->Host = "localhost";
        ListAndGet(*s);
    }
}

TEST_F(RealProxy, UploadThroughAProxy) {
    MicrosocksProxy& proxy = SharedMicrosocks();
    auto s = Session(proxy, SocksVersion::Socks5);
    WriteFile(local / "up.bin", content);
    s->Connect();
    s->ChangeDir("socks");
    s->Put(local / "up.bin", "up.bin");
    EXPECT_EQ(ReadFile(ftp->path("socks/up.bin")), content);
    s->Delete("up.bin");
}
