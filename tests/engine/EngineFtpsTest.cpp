// Whole cycles over explicit FTPS against the scripted pyftpdlib TLS server,
// with the faults that matter over TLS: a download cut without close_notify
// and a data connection the server does not secure. After each, every file
// is in the inbox exactly once or still on the server, and in the outbox or
// on the server; a cycle without the fault then delivers the rest.
#include "EngineTestSupport.h"

#include <gtest/gtest.h>

using namespace kv;
using namespace kvtest;

namespace {

const Files kRemote = {{"a.edi", kHead + std::string(3000, 'a') + "\r\n"}};
const Files kOutbox = {{"X1.TXT", kOwn + std::string(2000, 'x') + "\r\n"}};

} // namespace

TEST(FtpsCycle, FaultsOverTlsLoseNothingAndTheNextCycleDelivers) {
    PyFtpdServer& py = SharedPyFtpsd();
    for (const char* scenario : {"retr-limit\t100\nretr-end\tcut\n", "data-clear\n"}) {
        SCOPED_TRACE(scenario);
        Mailbox m(py);
        m.state.settings.FTPS = true;
        m.state.settings.FTPSCAFile = SharedCertificate().certFile;
        m.putRemote("out", kRemote);
        m.putLocal(m.outbox(), kOutbox);
        py.setScenario(scenario);
        m.runCycle();
        py.clearScenario();
        EXPECT_FALSE(Grep(m.sysLog(), "ERROR").empty());
        EXPECT_EQ(m.state.FtpSession, nullptr);
        ExpectReceiveLostNothing(m, kRemote);
        ExpectSendLostNothing(m, kOutbox);

        m.runCycle();
        EXPECT_TRUE(m.remote("out").empty()) << ::testing::PrintToString(m.sysLog());
        EXPECT_EQ(Mailbox::Read(m.inbox()), kRemote);
        EXPECT_TRUE(FolderEntries(m.outbox()).empty());
        EXPECT_EQ(m.remote("in"), kOutbox);
    }
}
