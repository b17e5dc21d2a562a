// Fault injection at every step of the cycles. After each fault every file is
// in the inbox exactly once or still on the server, and in the outbox, on the
// server or in the error folder: nothing lost, nothing partial. A second cycle
// without the fault then delivers what was left.
#include "EngineTestSupport.h"

#include "engine/Engine.h"
#include "engine/send/SendUpload.h"
#include "engine/session/Connection.h"
#include "engine/session/SessionEvents.h"
#include "ftp/FtpSession.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kv;
using namespace kvtest;
using Lines = std::vector<std::string>;

namespace {

const Files kRemote = {{"a.edi", kHead + std::string(3000, 'a') + "\r\n"}, {"b.edi", kHead}};
const Files kOutbox = {{"X1.TXT", kOwn + std::string(200000, 'x') + "\r\n"}, {"X2.TXT", kOwn}};

// "*" stands for any one line (messages whose wording depends on timing).
void ExpectLines(const Lines& got, const Lines& want, const std::string& what) {
    bool same = got.size() == want.size();
    for (size_t i = 0; same && i < got.size(); ++i)
        same = want[i] == "*" || want[i] == got[i];
    EXPECT_TRUE(same) << what << "\n got:\n  " << ::testing::PrintToString(got) << "\n want:\n  "
                      << ::testing::PrintToString(want);
}

struct FaultCase {
    const char* scenario;
    Lines errors;             // every ERROR line of the faulty cycle, in order
    const char* restart;      // the KVTray/MustReBoot value afterwards ("?": either)
    Lines receivedTwice = {}; // delivered, but the remote delete failed
    bool passive = true;      // active mode (PORT) when false
};

} // namespace

TEST(Fault, EveryStepOnTheWire) {
    const Lines closed = {"ERROR:Connection Closed Gracefully.!!!"};
    const std::vector<FaultCase> cases = {
        // Control connection dropped during the listing.
        {"drop\tLIST",
         {"ERROR:FTP LIST Failed!!!", closed[0], "ERROR:Get RetrieveCurrentDir ERROR!!!"},
         "1"},
        {"drop-after-150\tLIST",
         {"ERROR:FTP LIST Failed!!!", closed[0], "ERROR:Get RetrieveCurrentDir ERROR!!!"},
         "1"},
        // ... during RETR: the partial file is not delivered; what follows in
        // the receive needs the connection and ends it.
        {"retr-limit\t100\nretr-end\tdrop-control",
         {"ERROR:Download File Failed!!!->a.edi", closed[0], "ERROR:Receive Failed!!!", closed[0]},
         ""},
        // The server ends the download early but says it completed.
        {"retr-limit\t100",
         {"ERROR:Download File Failed!!!->a.edi",
          "ERROR:Transfer ended after 100 of 3034 bytes; the file stays on the server!!!"},
         ""},
        // The data connection reset mid-file.
        {"retr-limit\t100\nretr-end\treset",
         {"ERROR:Download File Failed!!!->a.edi",
          "ERROR:Socket Error # 10054 Connection reset by peer.!!!"},
         "1"},
        // ... before DELE: the batch is delivered and stays on the server.
        {"drop\tDELE",
         {"ERROR:Delete File Failed!!!->a.edi", closed[0], "ERROR:Receive Failed!!!", closed[0]},
         "",
         {"a.edi", "b.edi"}},
        // ... during STOR, right after the 150 or after part of the data.
        {"drop-after-150\tSTOR",
         {"ERROR:Send File Failed!!!->X1.TXT", "*", "ERROR:Send File Failed!!!->X2.TXT", "*"},
         "?"},
        // The server may close or reset the data connection under the
        // upload: which of the two the client sees depends on timing.
        {"stor-drop\t5000",
         {"ERROR:Send File Failed!!!->X1.TXT", "*", "ERROR:Send File Failed!!!->X2.TXT", closed[0]},
         "?"},
        // ... between RNFR and RNTO.
        {"drop\tRNTO",
         {"ERROR:Rename File Failed!!!->X1.TXT", closed[0], "ERROR:Rename File Failed!!!->X2.TXT",
          closed[0]},
         ""},
        // A 550 on each command.
        {"reply\tCWD\t550 No such directory.",
         {"ERROR:RemoteOutPath->out Not Exist!!!", "ERROR:RemoteInPath->in Not Exist!!!"},
         ""},
        {"reply\tPWD\t550 Not now.", {"ERROR:Receive Failed!!!", "ERROR:550 Not now.!!!"}, ""},
        // Refused in every form: the server's answer goes with the line.
        {"reply\tLIST\t550 Not now.", {"ERROR:FTP LIST Failed!!!", "ERROR:550 Not now.!!!"}, "1"},
        {"reply\tPASV\t550 Not now.",
         {"ERROR:FTP LIST Failed!!!", "ERROR:550 Not now.!!!", "ERROR:Send File Failed!!!->X1.TXT",
          "ERROR:550 Not now.!!!", "ERROR:Send File Failed!!!->X2.TXT", "ERROR:550 Not now.!!!"},
         "1"},
        {"reply\tSIZE\t550 Not now.", {}, ""},
        // Servers without FEAT, MDTM or SIZE: the cycle works with the rest.
        {"reply\tFEAT\t500 Unknown command.", {}, ""},
        {"reply\tMDTM\t502 Command not implemented.", {}, ""},
        {"reply\tSIZE\t502 Command not implemented.", {}, ""},
        {"reply\tRETR\t550 Not now.",
         {"ERROR:Download File Failed!!!->a.edi", "ERROR:550 Not now.!!!",
          "ERROR:Download File Failed!!!->b.edi", "ERROR:550 Not now.!!!"},
         ""},
        {"reply\tDELE\t550 Not now.",
         {"ERROR:Delete File Failed!!!->a.edi", "ERROR:550 Not now.!!!",
          "ERROR:Delete File Failed!!!->b.edi", "ERROR:550 Not now.!!!"},
         "",
         {"a.edi", "b.edi"}},
        {"reply\tCDUP\t550 Not now.", {"ERROR:RemoteTempPath Not Exist!!!"}, ""},
        {"reply\tSTOR\t553 Could not create file.",
         {"ERROR:Send File Failed!!!->X1.TXT", "ERROR:553 Could not create file.!!!",
          "ERROR:Send File Failed!!!->X2.TXT", "ERROR:553 Could not create file.!!!"},
         ""},
        {"reply\tRNFR\t550 Not now.",
         {"ERROR:Rename File Failed!!!->X1.TXT", "ERROR:550 Not now.!!!",
          "ERROR:Rename File Failed!!!->X2.TXT", "ERROR:550 Not now.!!!"},
         ""},
        {"reply\tRNTO\t550 Not now.",
         {"ERROR:Rename File Failed!!!->X1.TXT", "ERROR:550 Not now.!!!",
          "ERROR:Rename File Failed!!!->X2.TXT", "ERROR:550 Not now.!!!"},
         ""},
        {"reply\tTYPE\t550 Not now.", {"ERROR:550 Not now.!"}, ""},
        {"reply\tPORT\t550 Not now.",
         {"ERROR:FTP LIST Failed!!!", "ERROR:550 Not now.!!!", "ERROR:Send File Failed!!!->X1.TXT",
          "ERROR:550 Not now.!!!", "ERROR:Send File Failed!!!->X2.TXT", "ERROR:550 Not now.!!!"},
         "1",
         {},
         false},
        {"reply\tUSER\t530 Not now.", {"ERROR:530 Not now.!"}, ""},
        {"reply\tPASS\t530 Login incorrect.", {"ERROR:530 Login incorrect.!"}, ""},
        {"reply\tSYST\t550 Not now.", {"ERROR:550 Not now.!"}, ""},
    };
    FaultFtpServer& py = SharedFaultFtpd();
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.scenario);
        Mailbox m(py, c.passive);
        m.putRemote("out", kRemote);
        m.putLocal(m.outbox(), kOutbox);
        py.setScenario(std::string(c.scenario) + "\n");
        m.runCycle();
        py.clearScenario();
        ExpectLines(Grep(m.sysLog(), "ERROR"), c.errors, c.scenario);
        if (std::string(c.restart) != "?") {
            EXPECT_EQ(m.restartFlag(), c.restart);
        }
        EXPECT_EQ(m.state.FtpSession, nullptr);
        ExpectReceiveLostNothing(m, kRemote, c.receivedTwice);
        ExpectSendLostNothing(m, kOutbox);

        // Without the fault the next cycle brings everything home.
        m.runCycle();
        EXPECT_TRUE(m.remote("out").empty());
        Files inbox = Mailbox::Read(m.inbox());
        for (const auto& [name, content] : kRemote) {
            EXPECT_EQ(inbox[name], content) << name;
            // A file whose delete failed is recognised when it comes again
            // with the same bytes: only its delete is tried again.
            EXPECT_EQ(inbox.count(name + "!"), 0u) << name;
        }
        EXPECT_TRUE(FolderEntries(m.outbox()).empty());
        ExpectSendLostNothing(m, kOutbox);
        EXPECT_TRUE(FolderEntries(m.tmp()).empty());
    }
}

// An upload cut short by Abort leaves the file in the outbox and nothing
// partial in the remote "tmp" folder; the interrupted transfer's replies are
// consumed, so the next file goes through on the same connection.
TEST(Fault, AbortedTransfers) {
    for (FtpServer* server :
         {static_cast<FtpServer*>(&SharedVsftpd()), static_cast<FtpServer*>(&SharedFaultFtpd())}) {
        SCOPED_TRACE(server->name());
        Mailbox m(*server);
        const Files big = {{"X1.TXT", kOwn + std::string(8 << 20, 'x')}};
        const Files remote = {{"a.edi", kHead + std::string(8 << 20, 'a')}, {"b.edi", kHead}};
        m.putRemote("out", remote);
        m.putLocal(m.outbox(), big);
        m.putLocal(m.outbox(), Files{{"X2.TXT", kOwn}});
        bool aborted[2] = {false, false};
        m.host.onWork = [&](WorkDirection dir, int64_t) {
            bool& once = aborted[static_cast<int>(dir)];
            if (!once && m.host.announced > (1 << 20)) {
                once = true;
                RequestAbort(m.state);
            }
        };
        m.runCycle();
        Lines errors = Grep(m.sysLog(), "ERROR");
        ASSERT_EQ(errors.size(), 4u) << ::testing::PrintToString(errors);
        EXPECT_EQ(errors[0], "ERROR:Download File Failed!!!->a.edi");
        EXPECT_EQ(errors[1].rfind("ERROR:Transfer cut short after ", 0), 0u) << errors[1];
        EXPECT_EQ(errors[2], "ERROR:Send File Failed!!!->X1.TXT");
        EXPECT_EQ(errors[3], "ERROR:Connection Closed Gracefully.!!!");
        EXPECT_EQ(Mailbox::Read(m.inbox()), (Files{{"b.edi", kHead}}));
        EXPECT_EQ(m.remote("out"), (Files{{"a.edi", remote.at("a.edi")}}));
        EXPECT_EQ(m.remote("in"), (Files{{"X2.TXT", kOwn}}));
        EXPECT_TRUE(m.remote("tmp").empty());
        EXPECT_EQ(Mailbox::Read(m.outbox()), big);
        EXPECT_TRUE(FolderEntries(m.tmp()).empty());
        EXPECT_EQ(Grep(m.sysLog(), "Abort Transfer!").size(), 2u);
    }
}

// A disconnect that arrives while a download waits (a window closing, the
// keep-alive failing) ends the running operation cleanly.
TEST(Fault, DisconnectDuringAWait) {
    Mailbox m(SharedVsftpd());
    m.putRemote("out", Files{{"a.edi", kHead + std::string(4 << 20, 'a')}, {"b.edi", kHead}});
    m.putLocal(m.outbox(), kOutbox);
    bool done = false;
    m.host.onWork = [&](WorkDirection, int64_t) {
        if (!done && m.state.FtpSession && m.host.announced > (1 << 20)) {
            done = true;
            DisconnectSession(m.state);
        }
    };
    CycleOutcome outcome = m.runCycle();
    EXPECT_TRUE(outcome.Connected);
    EXPECT_EQ(m.state.FtpSession, nullptr);
    Lines errors = Grep(m.sysLog(), "ERROR");
    ASSERT_GE(errors.size(), 2u);
    EXPECT_EQ(errors[0], "ERROR:Download File Failed!!!->a.edi");
    EXPECT_EQ(errors[errors.size() - 2], "ERROR:Receive Failed!!!");
    ExpectReceiveLostNothing(m,
                             Files{{"a.edi", kHead + std::string(4 << 20, 'a')}, {"b.edi", kHead}});
    ExpectSendLostNothing(m, kOutbox);
}

// Disk full on the inbox: nothing partial appears there, the remote file stays,
// the complete download waits in "TMP" (replaced by the next attempt).
TEST(Fault, InboxDiskFull) {
    Mailbox m(SharedVsftpd());
    TmpfsMount full(m.inbox(), 64 * 1024);
    if (!full.ok())
        GTEST_SKIP() << full.skipReason();
    const Files remote = {{"big.edi", kHead + std::string(200 * 1024, 'b')}, {"small.edi", kHead}};
    m.putRemote("out", remote);
    m.option("AllowSend", "0");
    for (int round = 0; round < 2; ++round) {
        m.runCycle();
        // Not delivered: nothing of it waits in "TMP", the server keeps it.
        ExpectReceiveLostNothing(m, remote);
        EXPECT_TRUE(FolderEntries(m.tmp()).empty());
    }
    Lines errors = Grep(m.sysLog(), "ERROR");
    ASSERT_EQ(errors.size(), 4u);
    EXPECT_EQ(errors[0], "ERROR:Copy File From Tmp Failed!!!->big.edi");
    EXPECT_NE(errors[1].find("No space left on device"), std::string::npos) << errors[1];
    EXPECT_NE(errors[1].find(m.inbox() + "/big.edi"), std::string::npos) << errors[1];
    EXPECT_EQ(Mailbox::Read(m.inbox()), (Files{{"small.edi", kHead}}));
    EXPECT_EQ(m.remote("out"), (Files{{"big.edi", remote.at("big.edi")}}));
}

// Disk full on "TMP": a file larger than the room left is refused before its
// download starts, the remote file stays; a small file still arrives (copied across file systems
// into the inbox).
TEST(Fault, TmpDiskFull) {
    Mailbox m(SharedVsftpd());
    TmpfsMount full(m.tmp(), 64 * 1024);
    if (!full.ok())
        GTEST_SKIP() << full.skipReason();
    const Files remote = {{"big.edi", kHead + std::string(200 * 1024, 'b')}, {"small.edi", kHead}};
    m.putRemote("out", remote);
    m.option("AllowSend", "0");
    m.runCycle();
    Lines errors = Grep(m.sysLog(), "ERROR");
    ASSERT_EQ(errors.size(), 2u) << ::testing::PrintToString(errors);
    EXPECT_EQ(errors[0], "ERROR:Download File Failed!!!->big.edi");
    // The SIZE answer comes before the data: refused before a byte is written.
    EXPECT_NE(errors[1].find("bytes free on the local disk"), std::string::npos) << errors[1];
    ExpectReceiveLostNothing(m, remote);
    EXPECT_EQ(Mailbox::Read(m.inbox()), (Files{{"small.edi", kHead}}));
    EXPECT_TRUE(FolderEntries(m.tmp()).empty());
}

// A file another program holds locked: an outbox file is not sent while the
// lock lasts; a locked leftover in "TMP" is left alone and the download takes
// a "!" name there.
TEST(Fault, LockedFiles) {
    Mailbox m(SharedVsftpd());
    m.putRemote("out/a.edi", kHead);
    m.putLocal(m.outbox(), Files{{"L.TXT", kOwn}, {"X2.TXT", kOwn}});
    m.putLocal(m.tmp(), Files{{"a.edi", "leftover"}});
    int outboxLock = ::open((m.outbox() + "/L.TXT").c_str(), O_RDWR);
    int tmpLock = ::open((m.tmp() + "/a.edi").c_str(), O_RDWR);
    ASSERT_EQ(::flock(outboxLock, LOCK_EX), 0);
    ASSERT_EQ(::flock(tmpLock, LOCK_EX), 0);
    m.runCycle();
    EXPECT_EQ(Grep(m.sysLog(), "ERROR"), (Lines{"ERROR:Delete ExistsTmp File Failed!!!->a.edi",
                                                "ERROR:ExistsTmp File Locked!!!->a.edi",
                                                "ERROR:File Locked, Not Sent!!!->L.TXT"}));
    EXPECT_EQ(m.restartFlag(), "1");
    EXPECT_EQ(Mailbox::Read(m.inbox()), (Files{{"a.edi", kHead}}));
    EXPECT_EQ(Mailbox::Read(m.tmp()), (Files{{"a.edi", "leftover"}}));
    EXPECT_EQ(Mailbox::Read(m.outbox()), (Files{{"L.TXT", kOwn}}));
    EXPECT_EQ(m.remote("in"), (Files{{"X2.TXT", kOwn}}));
    ::close(outboxLock);
    ::close(tmpLock);

    // Unlocked, a leftover is removed without a word and the file goes out.
    m.putRemote("out/a.edi", "again");
    m.runCycle();
    EXPECT_EQ(Grep(m.sysLog(), "ERROR").size(), 3u);
    EXPECT_EQ(Mailbox::Read(m.inbox()), (Files{{"a.edi", kHead}, {"a.edi!", "again"}}));
    EXPECT_TRUE(FolderEntries(m.tmp()).empty());
    EXPECT_EQ(m.remote("in"), (Files{{"X2.TXT", kOwn}, {"L.TXT", kOwn}}));
}

// A file that cannot be read stays where it is, in both passes.
TEST(Fault, UnreadableFiles) {
    Mailbox m(SharedVsftpd());
    ::mkdir(m.path("EX").c_str(), 0755);
    m.option("AllowReceive", "0");
    m.option("CNC102", "1");
    m.option("LocalExPath", m.path("EX"));
    m.putLocal(m.outbox(), Files{{"U.TXT", kOwn}, {"X2.TXT", kOwn}});
    m.putLocal(m.path("EX"), Files{{"C.TXT", "no header"}});
    ::chmod((m.outbox() + "/U.TXT").c_str(), 0200);
    ::chmod((m.path("EX") + "/C.TXT").c_str(), 0200);
    {
        NoFileAccessOverride asUser;
        m.runCycle();
    }
    Lines errors = Grep(m.sysLog(), "ERROR");
    ASSERT_EQ(errors.size(), 3u) << ::testing::PrintToString(errors);
    EXPECT_EQ(errors[0], "ERROR:CNC102 Send Failed!!!");
    EXPECT_NE(errors[1].find("C.TXT"), std::string::npos) << errors[1];
    EXPECT_EQ(errors[2], "ERROR:Open Local File ERROR!!!");
    ::chmod((m.outbox() + "/U.TXT").c_str(), 0644);
    ::chmod((m.path("EX") + "/C.TXT").c_str(), 0644);
    EXPECT_EQ(Mailbox::Read(m.outbox()), (Files{{"U.TXT", kOwn}}));
    EXPECT_EQ(Mailbox::Read(m.path("EX")), (Files{{"C.TXT", "no header"}}));
    EXPECT_EQ(m.remote("in"), (Files{{"X2.TXT", kOwn}}));
}

// A refused file whose copy into the error folder fails stays in the outbox; a
// sent file whose backup fails is reported and leaves the outbox all the same.
TEST(Fault, ErrorAndBackupFoldersFailing) {
    Mailbox m(SharedVsftpd());
    m.option("AllowReceive", "0");
    m.option("LocalErrPath", m.path("missing"));
    WriteFile(m.path("notafolder"), "");
    m.option("LocalBackupPath", m.path("notafolder"));
    const std::string foreign = "00:ORDERS:X:Y:OTHER:R:Z'\r\n";
    m.putLocal(m.outbox(), Files{{"F.TXT", foreign}, {"X2.TXT", kOwn}});
    m.runCycle();
    const std::string dated = BackupFolderName(m.state, m.path("notafolder"));
    Lines log = m.sysLog();
    Lines errors;
    for (const auto& l : log)
        if (l.rfind("INFO:", 0) != 0)
            errors.push_back(l);
    ASSERT_EQ(errors.size(), 6u) << ::testing::PrintToString(errors);
    EXPECT_EQ(errors[0], "ERROR:F.TXT Is Not Your File, Moved To Error Folder!");
    EXPECT_EQ(errors[1], "ERROR:Move File To Error Folder Failed!!!->F.TXT");
    EXPECT_NE(errors[2].find(m.path("missing/F.TXT")), std::string::npos) << errors[2];
    EXPECT_EQ(errors[3],
              "Create Directory " + dated + " Failed!!! Change To Create Default Directory.");
    EXPECT_EQ(errors[4], "ERROR:Backup File Failed!!!->X2.TXT");
    EXPECT_NE(errors[5].find(m.path("notafolder/X2.TXT")), std::string::npos) << errors[5];
    EXPECT_EQ(Mailbox::Read(m.outbox()), (Files{{"F.TXT", foreign}}));
    EXPECT_EQ(m.remote("in"), (Files{{"X2.TXT", kOwn}}));

    m.option("LocalErrPath", "");
    m.runCycle();
    EXPECT_EQ(Grep(m.sysLog(), "LocalErrPath").back(),
              "ERROR:LocalErrPath is not set; set an error folder in the preferences!!!");
    EXPECT_EQ(Mailbox::Read(m.outbox()), (Files{{"F.TXT", foreign}}));
}

// Listing lines that are not plain files are skipped; names that cannot be
// local file names are reported and skipped.
TEST(Fault, ListingLines) {
    FaultFtpServer& py = SharedFaultFtpd();
    Mailbox m(py);
    m.option("AllowSend", "0");
    m.putRemote("out", kRemote);
    py.setScenario("listing\ttotal 8\\r\\n"
                   "drwxr-xr-x 2 u g 4096 Jan 1 2020 sub\\r\\n"
                   "01-05-06  10:15AM   34 b.edi\\r\\n"
                   "-rw-r--r-- 1 u g 5 Jan 1 2020 ..\\r\\n"
                   "-rw-r--r-- 1 u g 5 Jan 1 2020 bad\x01name\\r\\n"
                   "-rw-r--r-- 1 u g 5 Jan 1 2020 \\r\\n"
                   "lrwxrwxrwx 1 u g 5 Jan 1 2020 l -> b.edi\\r\\n"
                   "-rw-r--r-- 1 u g 34 Jan 1 2020 out/b.edi\\r\\n");
    m.runCycle();
    py.clearScenario();
    EXPECT_EQ(
        From(m.sysLog(), "INFO:Now Receive"),
        // The DOS-format line is read too; the second b.edi line is the same file.
        // b.edi's delete waits for the end of its batch.
        (Lines{"INFO:Now Receive From FTP Dir:out", "INFO:Start Download File->b.edi",
               "ERROR:Invalid File Name In FTP LIST!!!->..",
               "ERROR:Invalid File Name In FTP LIST!!!->bad?name",
               "ERROR:Invalid File Name In FTP LIST!!!->", "INFO:Success Download File->b.edi",
               "INFO:End Receive!", "INFO:Total Receive 1 Files!",
               "INFO:Disconnecting from 127.0.0.1.", "INFO:Disconnected.", "INFO:Not connected."}));
    ExpectReceiveLostNothing(m, kRemote);
}
