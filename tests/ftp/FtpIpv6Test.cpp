// Name resolution and IPv6: a lookup that hangs gives up after the time-out
// while events keep flowing, literal addresses with and without brackets,
// names resolved with IPv4 first, and every operation against vsftpd on ::1
// with EPSV and EPRT in place of PASV and PORT.
#include "ftp/FtpReply.h"
#include "ftp/FtpTestUtil.h"
#include "ftp/NetSocket.h"
#include "remote/RemoteErrors.h"

#include <algorithm>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kv;
using namespace kvtest;

TEST(Ipv6, ResolveTakesLiteralsWithOrWithoutBracketsAndPutsIpv4First) {
    net::Waiter w(nullptr, 5);
    for (const char* literal : {"::1", "[::1]"}) {
        auto a = net::Resolve(literal, 2121, w);
        ASSERT_EQ(a.size(), 1u) << literal;
        EXPECT_EQ(net::AddressText(a[0]), "::1");
        EXPECT_EQ(a[0].Port(), 2121);
        EXPECT_TRUE(net::IsLiteralAddress(literal));
    }
    auto names = net::Resolve("localhost", 21, w);
    EXPECT_EQ(net::AddressText(names.front()), "127.0.0.1");
    EXPECT_THROW(net::Resolve("::1", 21, w, AF_INET), SocketError);
    EXPECT_EQ(CaughtError<SocketError>([&] { net::Resolve("", 21, w); }).code, 11001);
}

// In a child with a mount namespace of its own, the resolver asks
// 127.0.0.1:53, where a socket takes the query and never answers.
TEST(Resolve, ALookupThatHangsEndsAtTheTimeOutWhileEventsFlow) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "a private resolver configuration needs root";
    int dns = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(dns, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(dns);
        GTEST_SKIP() << "127.0.0.1:53 is in use";
    }
    TempDir dir;
    WriteFile(dir / "resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n");
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount((dir / "resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) !=
                0)
            ::_exit(10);
        struct Counting : kv::remote::Events {
            int pumps = 0;
            void Idle() override { ++pumps; }
        } host;
        net::Waiter w(&host, 2);
        try {
            net::Resolve("kv-lookup-hangs.example", 21, w);
            ::_exit(11);
        } catch (const SocketError& e) {
            if (e.Code() != 10060)
                ::_exit(12);
        }
        // About 40 slices of 50 ms in 2 s.
        ::_exit(host.pumps >= 20 ? 0 : 13);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    ::close(dns);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no private resolver configuration, 11: resolved, "
                                         "12: another error, 13: too few pumps";
}

TEST(Ipv6, EpsvReplies) {
    EXPECT_EQ(ftp::ParseEpsvReply("229 Entering Extended Passive Mode (|||6446|)"), 6446);
    EXPECT_EQ(ftp::ParseEpsvReply("229 ok (!!!21!)"), 21);
    for (const char* bad :
         {"229 no brackets", "229 (|||0|)", "229 (|||70000|)", "229 (||6446|)", "229 (|||x|)"})
        EXPECT_THROW(ftp::ParseEpsvReply(bad), FtpError) << bad;
}

TEST(Ipv6, EveryOperationAgainstVsftpdOnLoopback) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    VsftpdServer& server = SharedVsftpd6();
    TempDir local;
    const std::string content = Pattern(500000, 8);
    server.writeFile("six.bin", content);
    WriteFile(local / "up.bin", content);
    for (bool passive : {true, false}) {
        for (const char* host6 : {"::1", "[::1]"}) {
            FtpHost host;
            auto s = MakeSession(server, host, passive);
            s->Host = host6;
            s->Connect();
            std::vector<std::string> lines;
            s->List(lines, "", false);
            EXPECT_NE(std::find(lines.begin(), lines.end(), "six.bin"), lines.end());
            EXPECT_TRUE(s->Get("six.bin", local / "six.bin", true).Complete);
            EXPECT_EQ(ReadFile(local / "six.bin"), content);
            s->Put(local / "up.bin", "up.bin");
            EXPECT_EQ(ReadFile(server.path("up.bin")), content);
            s->Delete("up.bin");
            s->Disconnect();
            EXPECT_EQ(host.status.front(), "Connecting to ::1.");
            auto t = host.traceTexts();
            auto sent = [&](const std::string& prefix) {
                return std::count_if(t.begin(), t.end(), [&](const std::string& l) {
                    return l.rfind("Sent: " + prefix, 0) == 0;
                });
            };
            EXPECT_EQ(sent(passive ? "EPSV" : "EPRT |2|::1|"), 3) << host6;
            EXPECT_EQ(sent("PASV") + sent("PORT"), 0);
        }
    }
}
