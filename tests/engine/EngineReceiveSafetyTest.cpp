// The receive and automatic cycle never deliver a file twice, short or not at
// all: remote deletes that keep failing, downloads cut short without a size
// answer, names without a dot, DOS-format listings, leftovers of a crash,
// failing logs, stop requests, keep-alive failures racing a new session.
#include "EngineTestSupport.h"

#include "engine/Engine.h"
#include "engine/journal/TransferJournal.h"
#include "engine/session/Connection.h"
#include "engine/session/SessionEvents.h"
#include "engine/session/SessionFactory.h"
#include "ftp/FtpSession.h"
#include "logging/Logs.h"
#include "util/Fs.h"
#include "util/Sha256.h"

#include <atomic>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
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
    m.withFullLogs([&] { ReceiveAll(m.state, m.settings()); });
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
    ASSERT_TRUE(ConnectSession(m.state, m.settings()));
    auto newer = MakeSession(m.state, m.settings());
    // During the NOOP's wait a new session takes the place of the old one,
    // whose connection then fails.
    m.host.onPump = [&] {
        if (m.state.FtpSession == newer)
            return;
        std::shared_ptr<RemoteSession> old = m.state.FtpSession;
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

// Deletes the server carried out but whose replies were lost still give each
// delivered file its one record, and the next cycle its success line. A
// stopped cycle forgets nothing: a file whose delete was refused before is
// not delivered again after a stop.
TEST(ReceiveSafety, LostRepliesAndStopsKeepTheJournal) {
    FaultFtpServer& py = SharedFaultFtpd();
    Mailbox m(py);
    m.option("AllowSend", "0");
    Files remote;
    for (const char* n : {"a.edi", "b.edi", "c.edi", "d.edi"})
        remote[n] = kHead + n + "\r\n";
    m.putRemote("out", remote);
    py.setScenario("mute-after\tDELE\t1\n");
    m.runCycle();
    py.clearScenario();
    EXPECT_EQ(Mailbox::Read(m.inbox()), remote);
    EXPECT_TRUE(Eventually([&] { return m.remote("out").empty(); }, 100, 20));
    EXPECT_EQ(Grep(m.records(), "Download File->").size(), 4u);
    m.runCycle();
    EXPECT_EQ(Mailbox::Read(m.inbox()), remote);
    EXPECT_EQ(Grep(m.records(), "Download File->").size(), 4u);
    for (const auto& [name, content] : remote)
        EXPECT_EQ(Grep(m.sysLog(), "INFO:Success Download File->" + name).size(), 1u) << name;
    EXPECT_FALSE(Exists(m.path(kReceiveJournalName)));

    Mailbox s(py);
    s.option("AllowSend", "0");
    s.putRemote("out", Files{{"D.EDI", kHead}});
    py.setScenario("reply\tDELE\t550 Not now.\n");
    s.runCycle();
    py.clearScenario();
    // The next cycle stops while it lists the folder.
    std::atomic<bool> stop{false};
    s.state.StopSignal = &stop;
    s.host.onWork = [&](WorkDirection, int64_t) { stop = true; };
    s.runCycle();
    stop = false;
    s.state.StopRequested = false;
    s.host.onWork = nullptr;
    s.runCycle();
    EXPECT_EQ(Mailbox::Read(s.inbox()), (Files{{"D.EDI", kHead}}));
    EXPECT_TRUE(s.remote("out").empty());
    EXPECT_EQ(Grep(s.records(), "Download File->").size(), 1u);
}

// A journal that cannot be written keeps the file from being delivered (and
// so from being deleted on the server); the next cycle delivers it once.
TEST(ReceiveSafety, JournalThatCannotBeWritten) {
    Mailbox m(SharedVsftpd());
    m.option("AllowSend", "0");
    m.putRemote("out", Files{{"A.EDI", kHead}});
    ::mkdir(m.path(kReceiveJournalName).c_str(), 0755);
    m.runCycle();
    EXPECT_EQ(m.remote("out"), (Files{{"A.EDI", kHead}}));
    EXPECT_TRUE(FolderEntries(m.inbox()).empty());
    EXPECT_TRUE(FolderEntries(m.tmp()).empty());
    Lines errors = Grep(m.sysLog(), "ERROR");
    ASSERT_EQ(errors.size(), 2u) << ::testing::PrintToString(errors);
    EXPECT_EQ(errors[0], "ERROR:Copy File From Tmp Failed!!!->A.EDI");
    EXPECT_NE(errors[1].find(kReceiveJournalName), std::string::npos) << errors[1];
    ::rmdir(m.path(kReceiveJournalName).c_str());
    m.runCycle();
    EXPECT_EQ(Mailbox::Read(m.inbox()), (Files{{"A.EDI", kHead}}));
    EXPECT_TRUE(m.remote("out").empty());
}

// In ASCII mode without a size answer, a download cut short and closed with
// 226 is told from a whole one by the listing's size, one byte of slack per
// line break received: whether the server stores LF or CR LF.
TEST(ReceiveSafety, AsciiDownloadsCutShort) {
    FaultFtpServer& py = SharedFaultFtpd();
    std::string lf, crlf;
    for (int i = 0; i < 2500; ++i) {
        const std::string line = "LIN+" + std::to_string(i) + std::string(70, 'x');
        lf += line + "\n";
        crlf += line + "\r\n";
    }
    for (const auto& [stored, content] : {std::pair{"LF", kHead + lf}, {"CR LF", kHead + crlf}}) {
        for (bool cut : {true, false}) {
            SCOPED_TRACE(std::string(stored) + (cut ? ", cut" : ", whole"));
            Mailbox m(py);
            m.option("AllowSend", "0");
            m.state.settings.TransferType = "ASC";
            m.putRemote("out", Files{{"T.EDI", content}});
            py.setScenario(std::string("reply\tSIZE\t502 Not here.\n") +
                           (cut ? "retr-limit\t40000\n" : ""));
            m.runCycle();
            py.clearScenario();
            if (cut) {
                EXPECT_TRUE(FolderEntries(m.inbox()).empty());
                EXPECT_EQ(m.remote("out"), (Files{{"T.EDI", content}}));
                EXPECT_EQ(
                    Grep(m.sysLog(), "ERROR"),
                    (Lines{"ERROR:Download File Failed!!!->T.EDI",
                           "ERROR:Transfer ended after 40000 of " + std::to_string(content.size()) +
                               " bytes; the file stays on the server!!!"}));
            } else {
                EXPECT_EQ(Mailbox::Read(m.inbox()).size(), 1u);
                EXPECT_GE(Mailbox::Read(m.inbox())["T.EDI"].size(), content.size());
                EXPECT_TRUE(m.remote("out").empty());
            }
        }
    }
}

// A file replaced on the server while its batch is downloaded is not deleted:
// the version downloaded is delivered, the new one comes in the next cycle.
// Both a new size and, with the same size, a new modification time tell.
TEST(ReceiveSafety, FileReplacedDuringTheBatch) {
    for (bool sameSize : {false, true}) {
        SCOPED_TRACE(sameSize ? "same size, other time" : "other size");
        Mailbox m(SharedVsftpd());
        m.option("AllowSend", "0");
        const std::string first = kHead + "first\r\n";
        const std::string second = sameSize ? kHead + "secnd\r\n" : kHead + "second, longer\r\n";
        m.putRemote("out", Files{{"a.edi", first}, {"b.edi", kHead}, {"c.edi", kHead}});
        bool replaced = false;
        m.host.onWork = [&](WorkDirection, int64_t) {
            if (replaced || !Exists(m.tmp() + "/b.edi"))
                return;
            replaced = true;
            m.putRemote("out/a.edi", second);
            struct timespec later[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 3600, 0}};
            ::utimensat(AT_FDCWD, m.server.path("out/a.edi").c_str(), later, 0);
        };
        m.runCycle();
        m.host.onWork = nullptr;
        EXPECT_TRUE(replaced);
        // The copy downloaded before the change never reaches the inbox: the
        // file as the server holds it now comes in the next cycle, under its
        // own name, once.
        EXPECT_EQ(Mailbox::Read(m.inbox()), (Files{{"b.edi", kHead}, {"c.edi", kHead}}));
        EXPECT_EQ(m.remote("out"), (Files{{"a.edi", second}}));
        EXPECT_EQ(Grep(m.sysLog(), "Changed On The Server").size(), 1u);
        EXPECT_TRUE(Grep(m.sysLog(), "ERROR").empty());
        EXPECT_TRUE(FolderEntries(m.tmp()).empty());
        m.runCycle();
        EXPECT_EQ(Mailbox::Read(m.inbox()),
                  (Files{{"a.edi", second}, {"b.edi", kHead}, {"c.edi", kHead}}));
        EXPECT_TRUE(m.remote("out").empty());
        EXPECT_EQ(Grep(m.records(), "Download File->a.edi").size(), 1u);
    }
}

// What one mailbox delivered is never taken for another mailbox's file: the
// same bytes under the same name on this mailbox's server are delivered,
// and the other mailbox's entry (its delete unanswered) waits for its own.
TEST(ReceiveSafety, JournalEntriesBelongToTheirMailbox) {
    Mailbox m(SharedVsftpd());
    m.option("AllowSend", "0");
    WriteFile(m.path("same"), kHead);
    const std::string other = "FTP://other@elsewhere.example:21";
    {
        TransferJournal j(m.path(kReceiveJournalName));
        JournalEntry& e = j.Begin({{recv::Name, "a.edi"},
                                   {recv::Remote, "out/a.edi"},
                                   {recv::Size, std::to_string(kHead.size())},
                                   {recv::Sha, FileSha256(m.path("same"))},
                                   {recv::Mailbox, other}});
        j.Mark(e, mark::Delivered);
        j.Flush();
    }
    m.putRemote("out", Files{{"a.edi", kHead}});
    m.runCycle();
    EXPECT_EQ(Mailbox::Read(m.inbox()), (Files{{"a.edi", kHead}}));
    EXPECT_TRUE(m.remote("out").empty());
    EXPECT_TRUE(Grep(m.sysLog(), "Delivered Before").empty());
    TransferJournal j(m.path(kReceiveJournalName));
    ASSERT_EQ(j.OpenEntries().size(), 1u);
    EXPECT_EQ(j.OpenEntries()[0]->Get(recv::Mailbox), other);
}

// A listing full of names that cannot be received writes a bounded number
// of lines, however long it is.
TEST(ReceiveSafety, HostileListingCannotFloodTheLog) {
    FaultFtpServer& py = SharedFaultFtpd();
    Mailbox m(py);
    m.option("AllowSend", "0");
    std::string listing;
    for (int i = 0; i < 2000; ++i)
        listing += "-rw-r--r--   1 u g 5 Jan 01 2020 bad\x01name" + std::to_string(i) + "\\r\\n";
    py.setScenario("listing\t" + listing + "\n");
    m.runCycle();
    py.clearScenario();
    Lines bad = Grep(m.sysLog(), "Invalid File Name In FTP LIST");
    ASSERT_EQ(bad.size(), 11u);
    EXPECT_EQ(bad[0], "ERROR:Invalid File Name In FTP LIST!!!->bad?name0");
    EXPECT_EQ(bad.back(), "ERROR:Invalid File Name In FTP LIST!!!->1990 more names like these "
                          "were skipped");
}
