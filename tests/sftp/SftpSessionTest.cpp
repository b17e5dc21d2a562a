// An SFTP session called into from its own work events while a transfer
// runs, as the window does: a second operation is refused while Noop does
// nothing, Abort stops only the transfer it comes in, and Disconnect ends the
// running operation; after each the session (or a new connection) works.
#include "sftp/SftpSession.h"
#include "remote/RemoteErrors.h"
#include "remote/RemoteEvents.h"
#include "support/Servers.h"
#include "support/SftpServer.h"
#include "support/TestSupport.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <unistd.h>

using namespace kv;
using namespace kvtest;

namespace {

struct HookedEvents : remote::Events {
    // Called with each work event once more than 1 MiB moved.
    std::function<void()> pastOneMiB;
    int disconnected = 0;
    void Work(WorkDirection, int64_t total) override {
        if (pastOneMiB && total > (1 << 20))
            pastOneMiB();
    }
    void Disconnected() override { ++disconnected; }
};

class SftpSessionCalledBack : public ::testing::Test {
protected:
    void SetUp() override {
        if (!RunningAsRoot())
            GTEST_SKIP() << "sshd needs root (chroot and password logins)";
        SharedSftpd().writeFile(kName, content);
        WriteFile(local / "up.bin", content);
        s = std::make_shared<SftpSession>();
        s->Host = SharedSftpd().host();
        s->Port = SharedSftpd().port();
        s->User = SharedSftpd().user();
        s->Password = SharedSftpd().password();
        s->HostKey = SharedSftpd().fingerprint();
        s->NetTimeOut = 10;
        s->SetEvents(&events);
        s->Connect();
    }
    void TearDown() override {
        if (s)
            s->Disconnect();
        ::unlink(SharedSftpd().path(kName).c_str());
        ::unlink(SharedSftpd().path("up.bin").c_str());
    }
    // Whole transfers both ways, with no event acting.
    void ExpectWholeTransfers() {
        events.pastOneMiB = nullptr;
        EXPECT_FALSE(s->Busy());
        const GetResult r = s->Get(kName, local / "down.bin", true);
        EXPECT_TRUE(r.Complete);
        EXPECT_EQ(ReadFile(local / "down.bin"), content);
        s->Put(local / "up.bin", "up.bin");
        EXPECT_EQ(s->Size("up.bin"), static_cast<int64_t>(content.size()));
    }

    static constexpr const char* kName = "called-back.bin";
    const std::string content = std::string(4 << 20, 'g');
    TempDir local;
    HookedEvents events;
    std::shared_ptr<SftpSession> s;
};

} // namespace

TEST_F(SftpSessionCalledBack, AnotherOperationIsRefusedAndNoopDoesNothing) {
    int refused = 0, calls = 0;
    events.pastOneMiB = [&] {
        ++calls;
        EXPECT_TRUE(s->Busy());
        s->Noop();
        try {
            s->ChangeDir("elsewhere");
        } catch (const FtpBusyError& e) {
            EXPECT_STREQ(e.what(), "The FTP session is still busy with another command; try "
                                   "again when it has finished.");
            ++refused;
        }
    };
    EXPECT_TRUE(s->Get(kName, local / "down.bin", true).Complete);
    s->Put(local / "up.bin", "up.bin");
    EXPECT_GT(calls, 1);
    EXPECT_EQ(refused, calls);
    ExpectWholeTransfers();
}

TEST_F(SftpSessionCalledBack, AbortStopsOnlyTheTransferItComesIn) {
    events.pastOneMiB = [&] { s->Abort(); };
    const GetResult r = s->Get(kName, local / "down.bin", true);
    EXPECT_FALSE(r.Complete);
    EXPECT_LT(r.Bytes, static_cast<int64_t>(content.size()));
    EXPECT_THROW(s->Put(local / "up.bin", "up.bin"), ConnClosedGracefullyError);
    EXPECT_TRUE(s->Connected());
    // Outside a transfer Abort changes nothing.
    events.pastOneMiB = nullptr;
    s->Abort();
    ExpectWholeTransfers();
}

TEST_F(SftpSessionCalledBack, DisconnectEndsTheRunningOperation) {
    events.pastOneMiB = [&] { s->Disconnect(); };
    EXPECT_THROW(s->Get(kName, local / "down.bin", true), ConnClosedGracefullyError);
    EXPECT_FALSE(s->Connected());
    EXPECT_FALSE(s->Busy());
    EXPECT_EQ(events.disconnected, 1);
    // A new connection starts clean.
    events.pastOneMiB = nullptr;
    s->Connect();
    ExpectWholeTransfers();
}
