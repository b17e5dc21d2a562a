// The receive and automatic cycle never deliver a file twice, short or not at
// all: remote deletes that keep failing, downloads cut short without a size
// answer, names without a dot, DOS-format listings, leftovers of a crash,
// failing logs, stop requests, keep-alive failures racing a new session.
#include "EngineTestSupport.h"

#include "engine/Connection.h"
#include "engine/Receive.h"
#include "engine/SessionEvents.h"
#include "engine/TransferJournal.h"
#include "ftp/FtpSession.h"
#include "logging/Logs.h"
#include "util/Fs.h"
#include "util/Sha256.h"

#include <atomic>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kv;
using namespace kvtest;
using Lines = std::vector<std::string>;

// A remote file whose delete keeps failing is delivered once; the same bytes
// again only get their delete retried, also after a stop between delivery and
// delete (the journal entry is written first). New bytes under the name are a
// new file. The journal is empty again once the server's copy is gone.
TEST(ReceiveSafety, DeleteFailuresNeverDeliverTwice) {
    FaultFtpServer& py = SharedFaultFtpd();
    Mailbox m(py);
    m.option("AllowSend", "0");
    m.putRemote("out", Files{{"D.EDI", kHead + "invoice 1\r\n"}});
    py.setScenario("reply\tDELE\t550 Not now.\n");
    m.runCycle();
    m.runCycle();
    m.runCycle();
    EXPECT_EQ(Mailbox::Read(m.inbox()), (Files{{"D.EDI", kHead + "invoice 1\r\n"}}));
    EXPECT_EQ(Grep(m.sysLog(), "ERROR:Delete File Failed!!!->D.EDI").size(), 3u);
    EXPECT_EQ(Grep(m.sysLog(), "Was Delivered Before").size(), 2u);

    // Different bytes under the same name are a new file.
    m.putRemote("out", Files{{"D.EDI", kHead + "invoice 2\r\n"}});
    py.clearScenario();
    m.runCycle();
    EXPECT_EQ(Mailbox::Read(m.inbox()),
              (Files{{"D.EDI", kHead + "invoice 1\r\n"}, {"D.EDI!", kHead + "invoice 2\r\n"}}));
    EXPECT_TRUE(m.remote("out").empty());
    EXPECT_FALSE(Exists(m.path(kReceiveJournalName)));

    // The machine stopped after the delivery, before the delete: the entry
    // written before the delete keeps the file from coming a second time.
    m.putRemote("out", Files{{"E.EDI", kHead}});
    m.putLocal(m.inbox(), Files{{"E.EDI", kHead}});
    WriteFile(m.path("e"), kHead);
    WriteFile(m.path(kReceiveJournalName),
              FileSha256(m.path("e")) + " " + std::to_string(kHead.size()) + " out/E.EDI\n");
    m.runCycle();
    EXPECT_TRUE(m.remote("out").empty());
    EXPECT_EQ(Mailbox::Read(m.inbox()).count("E.EDI!"), 0u);
    EXPECT_FALSE(Exists(m.path(kReceiveJournalName)));
}

// Every plain file of the remote folder arrives on the three servers, whatever
// its name (vsftpd expands "out/*.*" and leaves out names without a dot).
TEST(ReceiveSafety, NamesWithoutDotOnEveryServer) {
    for (FtpServer* server :
         {static_cast<FtpServer*>(&SharedVsftpd()), static_cast<FtpServer*>(&SharedPureFtpd()),
          static_cast<FtpServer*>(&SharedProftpd())}) {
        SCOPED_TRACE(server->name());
        Mailbox m(*server);
        m.option("AllowSend", "0");
        const Files files = {{"NODOT", kHead}, {"a.edi", kHead}, {"x.y.z", kHead}};
        m.putRemote("out", files);
        m.runCycle();
        EXPECT_EQ(Mailbox::Read(m.inbox()), files);
        EXPECT_TRUE(m.remote("out").empty());
        EXPECT_TRUE(Grep(m.sysLog(), "ERROR").empty());
    }
}

// DOS / IIS listings are read; a listing of which no line can be read is an
// error, not an empty folder. Without a size answer, the listing's size tells
// a download closed early with 226 from a whole one.
TEST(ReceiveSafety, ListingFormatsAndSizes) {
    FaultFtpServer& py = SharedFaultFtpd();
    Mailbox m(py);
    m.option("AllowSend", "0");
    const std::string big = kHead + std::string(100000, 'b');
    m.putRemote("out", Files{{"A B.EDI", kHead}, {"BIG.EDI", big}});
    m.server.makeDir("out/SUB");
    py.setScenario("listing\t01-05-26  10:15AM       <DIR>          SUB\\r\\n"
                   "01-05-26  10:15AM                   32 A B.EDI\\r\\n"
                   "01-05-2026  10:16PM               100032 BIG.EDI\\r\\n\n"
                   "reply\tSIZE\t502 Command not implemented.\n"
                   "retr-limit\t5000\n");
    m.runCycle();
    EXPECT_EQ(Mailbox::Read(m.inbox()), (Files{{"A B.EDI", kHead}}));
    EXPECT_EQ(m.remote("out"), (Files{{"BIG.EDI", big}}));
    EXPECT_EQ(Grep(m.sysLog(), "ERROR"),
              (Lines{"ERROR:Download File Failed!!!->BIG.EDI",
                     "ERROR:Transfer ended after 5000 of 100032 bytes; the file stays on the "
                     "server!!!"}));

    py.setScenario("listing\tthis is not a listing\\r\\nnor is this\\r\\n");
    m.runCycle();
    EXPECT_EQ(Grep(m.sysLog(), "FTP LIST Not Understood").back(),
              "ERROR:FTP LIST Not Understood!!!->out: none of its 2 lines has a known format");
    py.clearScenario();
    m.runCycle();
    EXPECT_TRUE(m.remote("out").empty());
}

// A crash in a copy across file systems may leave a hidden copy in the inbox:
// the next cycle removes it, and only what is ours, never a received file
// named like one. Logs that cannot be written stop nothing: every file is
// delivered and removed from the server.
TEST(ReceiveSafety, LeftoversAndFailingLogs) {
    Mailbox m(SharedFaultFtpd()); // lists names that start with "." (vsftpd hides them)
    m.option("AllowSend", "0");
    const std::string lookalike = ".R.EDI.0123456789abcdef.part";
    m.putLocal(m.inbox(), Files{{".D.EDI.0123456789abcdef.part\x01", "half"},
                                {".keep", "the user's"},
                                {".D.EDI.notours.part", "someone's"}});
    const Files remote = {{"P.EDI", kHead}, {"Q.EDI", kHead}, {lookalike, kHead}};
    m.putRemote("out", remote);
    int errorsBefore = m.state.ErrorLinesReported;
    m.withFullLogs([&] { ReceiveAll(m.state, m.ini); });
    EXPECT_GT(m.state.ErrorLinesReported, errorsBefore);
    EXPECT_TRUE(m.remote("out").empty());
    const Lines delivered = {".D.EDI.notours.part", lookalike, ".keep", "P.EDI", "Q.EDI"};
    EXPECT_EQ(FolderEntries(m.inbox()), delivered);
    m.runCycle();
    EXPECT_EQ(FolderEntries(m.inbox()), delivered);
}

// A stop request ends the cycle at once: no further file, hook or folder pair,
// no restart flag.
TEST(ReceiveSafety, StopEndsTheCycleAtOnce) {
    Mailbox m(SharedVsftpd());
    std::atomic<bool> stop{false};
    m.state.StopSignal = &stop;
    m.option("RunBefore", "1");
    m.option("ExclusiveRunBefore", "1");
    m.option("ProgramRunBefore", "/bin/touch");
    m.option("ParameterRunBefore", m.path("hook-ran"));
    m.putRemote("out", Files{{"a.edi", kHead + std::string(300000, 'a')}, {"b.edi", kHead}});
    m.putLocal(m.outbox(), Files{{"X.TXT", kOwn}});
    m.host.onWork = [&](WorkDirection, int64_t) {
        stop = true;
        if (m.state.FtpSession)
            m.state.FtpSession->Disconnect();
    };
    m.runCycle();
    Lines cmds = m.commands();
    EXPECT_TRUE(Grep(cmds, "retr out/b.edi").empty()) << ::testing::PrintToString(cmds);
    EXPECT_TRUE(Grep(cmds, "STOR").empty());
    EXPECT_FALSE(Exists(m.path("hook-ran")));
    EXPECT_EQ(m.restartFlag(), "");
    EXPECT_EQ(m.remote("out").size(), 2u);
    EXPECT_TRUE(FolderEntries(m.tmp()).empty());
    EXPECT_TRUE(Grep(m.sysLog(), "End Receive").empty());
}

// A keep-alive whose NOOP fails while a newer session took its place closes
// only its own session.
TEST(ReceiveSafety, FailedKeepAliveLeavesANewerSession) {
    FaultFtpServer& py = SharedFaultFtpd();
    Mailbox m(py);
    py.setScenario("silent\tNOOP\n");
    ASSERT_TRUE(ConnectSession(m.state, m.ini));
    auto newer = MakeRoutedSession(m.state);
    // During the NOOP's wait a new session takes the place of the old one,
    // whose connection then fails.
    m.host.onPump = [&] {
        if (m.state.FtpSession == newer)
            return;
        std::shared_ptr<FtpSession> old = m.state.FtpSession;
        m.state.FtpSession = newer;
        old->Disconnect();
    };
    EXPECT_NE(KeepAliveTick(m.state), KeepAliveResult::Dropped);
    m.host.onPump = nullptr;
    py.clearScenario();
    EXPECT_EQ(m.state.FtpSession, newer);
    m.state.FtpSession.reset();
}

// Files of one batch are flushed together and deleted on the server only
// afterwards. A connection lost at a download or a delete in the middle of
// the batch, or the process ended abruptly while the batch waits in "TMP",
// leaves each file on the server or whole in the inbox (both only with a
// journal entry), and the next cycle delivers every file exactly once.
TEST(ReceiveSafety, FaultsInTheMiddleOfABatch) {
    Files remote;
    for (int i = 0; i < 12; ++i)
        remote["f" + std::to_string(10 + i) + ".edi"] = kHead + std::string(100 * i, 'x');
    auto expectDeliveredOnce = [&](Mailbox& m) {
        EXPECT_TRUE(m.remote("out").empty());
        EXPECT_EQ(Mailbox::Read(m.inbox()), remote);
        EXPECT_TRUE(FolderEntries(m.tmp()).empty());
    };
    FaultFtpServer& py = SharedFaultFtpd();
    for (const char* scenario : {"drop-nth\tRETR\t7", "drop-nth\tDELE\t4"}) {
        SCOPED_TRACE(scenario);
        Mailbox m(py);
        m.putRemote("out", remote);
        py.setScenario(std::string(scenario) + "\n");
        m.runCycle();
        py.clearScenario();
        Files inbox = Mailbox::Read(m.inbox());
        std::vector<std::string> both;
        for (const auto& [name, content] : inbox)
            both.push_back(name);
        // The files before the fault are in the inbox, deleted or not.
        EXPECT_GE(inbox.size(), 3u);
        ExpectReceiveLostNothing(m, remote, both);
        m.runCycle();
        expectDeliveredOnce(m);
        EXPECT_TRUE(Grep(m.sysLog(), "->f1").size() >= remote.size());
    }

    // The process ends while the sixth file arrives: five complete files wait
    // in "TMP", none is in the inbox or deleted on the server.
    Mailbox m(py);
    m.putRemote("out", remote);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        m.host.onWork = [&](WorkDirection, int64_t) {
            if (FolderEntries(m.tmp()).size() >= 6)
                ::_exit(9);
        };
        m.runCycle();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 9);
    EXPECT_EQ(m.remote("out"), remote);
    EXPECT_TRUE(FolderEntries(m.inbox()).empty());
    EXPECT_GE(FolderEntries(m.tmp()).size(), 5u);
    ExpectReceiveLostNothing(m, remote, {}, FolderEntries(m.tmp()));
    m.runCycle();
    expectDeliveredOnce(m);
}
