// The SOCKS handshakes against a scripted proxy in this process: the exact
// request bytes, every answer code, the bound-address forms, and the limits
// checked before any connection is made.
#include "ftp/FtpTestUtil.h"
#include "remote/RemoteErrors.h"

#include <arpa/inet.h>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace kv;
using namespace kvtest;

namespace {

// One accepted connection of the scripted proxy.
struct Conn {
    int fd;
    std::string got; // every byte read from the client
    std::string read(size_t n) {
        std::string out;
        while (out.size() < n) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0)
                throw std::runtime_error("the client sent nothing");
            char buf[512];
            ssize_t k = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
            if (k <= 0)
                throw std::runtime_error("the client closed");
            out.append(buf, static_cast<size_t>(k));
        }
        got += out;
        return out;
    }
    // Reads a zero-ended field.
    std::string readZ() {
        std::string out;
        for (;;) {
            std::string c = read(1);
            if (c[0] == '\0')
                return out;
            out += c;
        }
    }
    void write(const std::string& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
};

// Listens on 127.0.0.1 and runs the script on the first connection, in a
// thread of its own; the session under test waits on the main thread.
class ScriptedProxy {
public:
    explicit ScriptedProxy(std::function<void(Conn&)> script) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listenFd_, 4) != 0 ||
            ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("cannot listen");
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, script] {
            pollfd p{listenFd_, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0)
                return;
            Conn c{::accept(listenFd_, nullptr, nullptr), {}};
            try {
                script(c);
            } catch (const std::exception& e) {
                error_ = e.what();
            }
            received_ = c.got;
            ::close(c.fd);
        });
    }
    ~ScriptedProxy() {
        join();
        ::close(listenFd_);
    }
    int port() const { return port_; }
    // Waits for the script to end; then received() and error() are final.
    void join() {
        if (thread_.joinable())
            thread_.join();
    }
    const std::string& received() const { return received_; }
    const std::string& error() const { return error_; }

private:
    int listenFd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::string received_, error_;
};

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int x : b)
        s.push_back(static_cast<char>(x));
    return s;
}

class SocksScripted : public ::testing::Test {
protected:
    std::shared_ptr<FtpSession> Session(SocksVersion v, int proxyPort) {
        auto s = std::make_shared<FtpSession>();
        s->Host = "127.0.0.1";
        s->Port = 2121; // 0x0849
        s->Proxy.Version = v;
        s->Proxy.Host = "127.0.0.1";
        s->Proxy.Port = proxyPort;
        s->Passive = true;
        s->NetTimeOut = 10;
        s->SetEvents(&host);
        s->SetTraceEnabled(true);
        return s;
    }
    FtpHost host;
};

const std::string kGreeting = "220 behind the proxy\r\n";

} // namespace

TEST_F(SocksScripted, Socks4ResolvesLocallyAndSendsTheUserId) {
    ScriptedProxy proxy([](Conn& c) {
        c.read(8);
        c.readZ();
        c.write(Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + kGreeting);
    });
    auto s = Session(SocksVersion::Socks4, proxy.port());
    s->Host = "localhost";
    s->Proxy.UserID = "kvid";
    s->Connect(false);
    EXPECT_TRUE(s->Connected());
    proxy.join();
    EXPECT_EQ(proxy.received(), Bytes({4, 1, 0x08, 0x49, 127, 0, 0, 1}) + "kvid" + Bytes({0}));
    // The handshake is not traced; the greeting is the first thing read.
    EXPECT_EQ(host.traceTexts(),
              (std::vector<std::string>{"Connected.", "Recv: 220 behind the proxy<EOL>"}));
    EXPECT_EQ(host.status[0], "Connecting to 127.0.0.1.");
}

TEST_F(SocksScripted, Socks4ASendsTheNameAfterTheUserId) {
    ScriptedProxy proxy([](Conn& c) {
        c.read(8);
        c.readZ();
        c.readZ();
        c.write(Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + kGreeting);
    });
    auto s = Session(SocksVersion::Socks4A, proxy.port());
    s->Host = "ftp.example.test";
    s->Connect(false);
    proxy.join();
    EXPECT_EQ(proxy.received(),
              Bytes({4, 1, 0x08, 0x49, 0, 0, 0, 1, 0}) + "ftp.example.test" + Bytes({0}));
}

TEST_F(SocksScripted, Socks4Refusals) {
    const std::vector<std::pair<int, std::string>> cases{
        {91, "Request rejected or failed."},
        {92, "Request rejected because SOCKS server cannot connect."},
        {93, "Request rejected because the client program and identd report different user-ids."},
        {17, "Unknown socks error."}};
    for (const auto& [code, text] : cases) {
        ScriptedProxy proxy([code = code](Conn& c) {
            c.read(9);
            c.write(Bytes({0, code, 0, 0, 0, 0, 0, 0}));
        });
        auto s = Session(SocksVersion::Socks4, proxy.port());
        EXPECT_EQ(CaughtError<SocksError>([&] { s->Connect(false); }).what, text) << code;
        EXPECT_FALSE(s->Connected());
    }
    // A proxy that hangs up: the read failure comes through unchanged.
    ScriptedProxy quiet([](Conn& c) { c.read(9); });
    auto s = Session(SocksVersion::Socks4, quiet.port());
    EXPECT_THROW(s->Connect(false), ConnClosedGracefullyError);
}

TEST_F(SocksScripted, Socks5WithoutAuthenticationSendsTheHostAsADomainName) {
    ScriptedProxy proxy([](Conn& c) {
        c.read(3);
        c.write(Bytes({5, 0}));
        c.read(5 + 9 + 2);
        c.write(Bytes({5, 0, 0, 1, 10, 1, 2, 3, 0x12, 0x34}) + kGreeting);
    });
    auto s = Session(SocksVersion::Socks5, proxy.port());
    s->Connect(false);
    proxy.join();
    EXPECT_EQ(proxy.error(), "");
    EXPECT_EQ(proxy.received(),
              Bytes({5, 1, 0}) + Bytes({5, 1, 0, 3, 9}) + "127.0.0.1" + Bytes({0x08, 0x49}));
    EXPECT_TRUE(s->Connected());
}

TEST_F(SocksScripted, Socks5UserPasswordAndBoundAddressForms) {
    // Each bound-address form is consumed exactly: the greeting follows.
    const std::vector<std::string> bound{Bytes({5, 0, 0, 3, 11}) + "proxy.local" + Bytes({0, 21}),
                                         Bytes({5, 0, 0, 4}) + std::string(16, '\x01') +
                                             Bytes({0, 21}),
                                         Bytes({5, 0, 0, 3, 0, 0, 21})};
    for (const auto& answer : bound) {
        ScriptedProxy proxy([&answer](Conn& c) {
            c.read(3);
            c.write(Bytes({5, 2}));
            c.read(1 + 1 + 4 + 1 + 6);
            c.write(Bytes({1, 0}));
            c.read(5 + 6 + 2);
            c.write(answer + kGreeting);
        });
        auto s = Session(SocksVersion::Socks5, proxy.port());
        s->Host = "ftp.kv";
        s->Proxy.Authentication = SocksAuthentication::UserPassword;
        s->Proxy.UserID = "kvuu";
        s->Proxy.Password = "secret";
        s->Connect(false);
        EXPECT_EQ(s->LastReplyCode(), 220);
        proxy.join();
        EXPECT_EQ(proxy.received(), Bytes({5, 1, 2}) + Bytes({1, 4}) + "kvuu" + Bytes({6}) +
                                        "secret" + Bytes({5, 1, 0, 3, 6}) + "ftp.kv" +
                                        Bytes({0x08, 0x49}));
        for (const auto& line : host.trace)
            EXPECT_EQ(line.find("secret"), std::string::npos);
    }
}

TEST_F(SocksScripted, Socks5Refusals) {
    auto failWith = [&](std::function<void(Conn&)> script, bool auth) {
        ScriptedProxy proxy(std::move(script));
        auto s = Session(SocksVersion::Socks5, proxy.port());
        if (auth) {
            s->Proxy.Authentication = SocksAuthentication::UserPassword;
            s->Proxy.UserID = "u";
            s->Proxy.Password = "p";
        }
        try {
            s->Connect(false);
        } catch (const SocksError& e) {
            EXPECT_FALSE(s->Connected());
            return std::string(e.what());
        }
        return std::string("(connected)");
    };
    // Scripts: the proxy answers the greeting, then the credentials or the
    // request with answer (nothing when it is empty).
    auto afterGreeting = [](int method, std::string answer) {
        return [method, answer](Conn& c) {
            c.read(3);
            c.write(Bytes({5, method}));
            if (answer.empty())
                return;
            c.read(method == 2 ? 5 : 16);
            c.write(answer);
        };
    };
    auto afterRequest = [&](std::string answer) { return afterGreeting(0, std::move(answer)); };
    // Authentication on, but the proxy picks none, or none acceptable.
    EXPECT_EQ(failWith(afterGreeting(0, ""), true), "Invalid socks authentication method.");
    EXPECT_EQ(failWith(afterGreeting(0xFF, ""), false), "Invalid socks authentication method.");
    EXPECT_EQ(failWith(afterGreeting(2, Bytes({1, 1})), true),
              "Authentication error to socks server.");
    const std::vector<std::string> texts{
        "General SOCKS server failure.", "Connection not allowed by ruleset.",
        "Network unreachable.",          "Host unreachable.",
        "Connection refused.",           "TTL expired.",
        "Command not supported.",        "Address type not supported.",
        "Unknown socks error."};
    for (int rep = 1; rep <= 9; ++rep)
        EXPECT_EQ(failWith(afterRequest(Bytes({5, rep, 0, 1, 0, 0, 0, 0, 0, 0})), false),
                  texts[rep - 1]);
    // An address type without a known layout cannot be skipped safely.
    EXPECT_EQ(failWith(afterRequest(Bytes({5, 0, 0, 7, 0, 0, 0, 0})), false),
              "Unknown socks error.");
    // A proxy that stops answering at any step.
    EXPECT_EQ(failWith([](Conn& c) { c.read(3); }, false), "Socks server did not respond.");
    EXPECT_EQ(failWith(
                  [](Conn& c) {
                      c.read(3);
                      c.write(Bytes({5, 2}));
                      c.read(5);
                  },
                  true),
              "Socks server did not respond.");
    EXPECT_EQ(failWith(afterRequest(Bytes({5, 0, 0, 3, 20, 'a'})), false),
              "Socks server did not respond.");
}

TEST_F(SocksScripted, ValuesTooLongAreRefusedBeforeConnecting) {
    // Nothing listens on the proxy port: a check made after connecting would
    // fail with "Connection refused." instead.
    const int nothing = FreePort();
    const std::string long256(256, 'n'), ok255(255, 'n');
    auto attempt = [&](SocksVersion v, const std::string& host, const std::string& user,
                       const std::string& pass) {
        auto s = Session(v, nothing);
        s->Host = host;
        s->Proxy.UserID = user;
        s->Proxy.Password = pass;
        s->Proxy.Authentication = SocksAuthentication::UserPassword;
        try {
            s->Connect(false);
        } catch (const SocksError& e) {
            return std::string("socks: ") + e.what();
        } catch (const SocketError& e) {
            return std::string("socket: ") + std::to_string(e.Code());
        }
        return std::string("connected");
    };
    EXPECT_EQ(attempt(SocksVersion::Socks5, long256, "u", "p").rfind("socks: The FTP host name", 0),
              0u);
    EXPECT_EQ(attempt(SocksVersion::Socks5, "h", long256, "p").rfind("socks: The SOCKS 5 user", 0),
              0u);
    EXPECT_EQ(attempt(SocksVersion::Socks5, "h", "u", long256).rfind("socks: The SOCKS 5 pass", 0),
              0u);
    EXPECT_EQ(attempt(SocksVersion::Socks4, "127.0.0.1", long256, "").rfind("socks: ", 0), 0u);
    EXPECT_EQ(attempt(SocksVersion::Socks4A, long256, "u", "").rfind("socks: ", 0), 0u);
    EXPECT_EQ(attempt(SocksVersion::Socks4A, "a", std::string("u\0v", 3), ""),
              "socks: The SOCKS 4A user ID holds a zero byte, which the SOCKS protocol cannot "
              "carry; correct it in the proxy settings.");
    // The longest values that fit go on to the connection.
    EXPECT_EQ(attempt(SocksVersion::Socks5, ok255, ok255, ok255), "socket: 10061");
    EXPECT_EQ(attempt(SocksVersion::Socks4A, ok255, ok255, ""), "socket: 10061");
    // The password never shows in an error.
    EXPECT_EQ(attempt(SocksVersion::Socks5, "h", "u", "pw" + long256).find("pwnnn"),
              std::string::npos);
}
