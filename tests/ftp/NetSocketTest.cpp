// The socket layer on its own: sends on a connection the peer has closed
// fail with a socket error instead of ending the process with SIGPIPE.
#include "ftp/NetSocket.h"
#include "remote/RemoteErrors.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace kv;

TEST(NetSocket, SendsToAClosedPeerFailWithoutSigpipe) {
    kvtest::TempDir dir;
    kvtest::WriteFile(dir / "f", std::string(1 << 20, 'x'));
    net::NetSocket listener, peer, client;
    listener.Listen(net::Address::Loopback(0));
    net::Waiter w(nullptr, 5);
    client.Connect(listener.LocalAddress(), "", w);
    ASSERT_TRUE(listener.Accept(peer, w));
    peer.Close();
    int file = ::open((dir / "f").c_str(), O_RDONLY);
    ASSERT_GE(file, 0);
    int errors = 0;
    // The first sends may still succeed; every later one fails, the ones
    // after the reset with EPIPE, which would raise SIGPIPE.
    for (int i = 0; i < 20; ++i) {
        try {
            if (i % 2 == 0) {
                ::lseek(file, 0, SEEK_SET);
                client.SendFile(file, 32768, w);
            } else {
                client.Send("abc", 3, w);
            }
        } catch (const SocketError& e) {
            EXPECT_EQ(e.Code(), 10054);
            ++errors;
        }
        usleep(1000);
    }
    ::close(file);
    EXPECT_GE(errors, 10);
}
