// A whole receive and send cycle against vsftpd on ::1: the engine reaches an
// IPv6 server given as a literal address, and loses nothing.
#include "EngineTestSupport.h"

#include <gtest/gtest.h>

using namespace kv;
using namespace kvtest;

TEST(Ipv6Cycle, ReceiveAndSendOnLoopback) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    const std::string head = "00:INVOIC:X:Y:SEND01:RECV01:Z'\r\n";
    const Files remote = {{"a.edi", head + "one\r\n"}, {"b.edi", head + "two\r\n"}};
    const Files outbox = {{"X1.TXT", "00:ORDERS:X:Y:SENDER1:RECV1:Z'\r\nLINE\r\n"}};
    for (const char* host : {"::1", "[::1]"}) {
        Mailbox m(SharedVsftpd6());
        m.state.settings.Host = host;
        m.putRemote("out", remote);
        m.putLocal(m.outbox(), outbox);
        CycleOutcome outcome = m.runCycle();
        EXPECT_TRUE(outcome.Connected) << host;
        EXPECT_TRUE(Grep(m.sysLog(), "ERROR").empty()) << ::testing::PrintToString(m.sysLog());
        EXPECT_EQ(Grep(m.sysLog(), "INFO:Connecting to ::1.").size(), 1u);
        EXPECT_EQ(Mailbox::Read(m.inbox()), remote);
        EXPECT_TRUE(m.remote("out").empty());
        EXPECT_EQ(m.remote("in"), outbox);
        EXPECT_TRUE(FolderEntries(m.outbox()).empty());
    }
}
