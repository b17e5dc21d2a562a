// The send cycle never loses, duplicates, shortens or replaces a file: a file
// still being written, a link swapped in after the listing, refused uploads
// and renames, servers without SIZE, error folders that are taken or the
// outbox itself, logs that cannot be written.
#include "EngineTestSupport.h"

#include "engine/Engine.h"
#include "engine/send/SendUpload.h"
#include "engine/session/Connection.h"
#include "logging/Logs.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kv;
using namespace kvtest;
using Lines = std::vector<std::string>;

namespace {

const std::string kForeign = "00:ORDERS:X:Y:OTHER:RECV1:Z'\r\n";
// Large enough to go in a batch of its own: the files after it are opened
// only once it is sent.
const std::string kBig = kOwn + std::string(1200000, 'x') + "\r\n";

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

} // namespace

// A file that grows during its upload is neither renamed into place nor
// deleted, and goes whole in a later pass; a name swapped for a link after the
// listing is not followed; a refused file keeps its bytes and mode and never
// replaces an earlier one; a backup keeps the mode.
TEST(SendSafety, LocalFilesChangingUnderThePass) {
    Mailbox m(SharedVsftpd());
    m.option("AllowReceive", "0");
    WriteFile(m.path("secret"), kForeign + "root's secret\r\n");
    m.putLocal(m.outbox(), Files{{"A.TXT", kBig}, {"B.TXT", kForeign}, {"C.TXT", kForeign}});
    m.putLocal(m.errors(), Files{{"C.TXT", "an earlier refused file"}});
    ::chmod((m.outbox() + "/A.TXT").c_str(), 0640);
    ::chmod((m.outbox() + "/C.TXT").c_str(), 0600);
    bool changed = false;
    m.host.onWork = [&](WorkDirection, int64_t) {
        if (changed)
            return;
        changed = true;
        // A producer appends while the file is on its way, and B.TXT becomes
        // a link to a file the user may not read.
        int fd = ::open((m.outbox() + "/A.TXT").c_str(), O_WRONLY | O_APPEND);
        ASSERT_EQ(::write(fd, "MORE\r\n", 6), 6);
        ::close(fd);
        ::unlink((m.outbox() + "/B.TXT").c_str());
        ASSERT_EQ(::symlink(m.path("secret").c_str(), (m.outbox() + "/B.TXT").c_str()), 0);
    };
    m.runCycle();
    EXPECT_EQ(Grep(m.sysLog(), "ERROR"),
              (Lines{"ERROR:Send File Failed!!!->A.TXT",
                     "ERROR:The file A.TXT changed while it was sent; it stays in the outbox and "
                     "goes in a later pass!!!",
                     "ERROR:Open Local File ERROR!!!",
                     "ERROR:C.TXT Is Not Your File, Moved To Error Folder!"}));
    EXPECT_TRUE(m.remote("in").empty());
    EXPECT_TRUE(m.remote("tmp").empty());
    // The link stays where it was put; nothing of the secret went anywhere.
    EXPECT_EQ(FolderEntries(m.outbox()), (Lines{"A.TXT", "B.TXT"}));
    EXPECT_TRUE(Mailbox::Read(m.outbox())["A.TXT"] == kBig + "MORE\r\n");
    EXPECT_EQ(Mailbox::Read(m.errors()),
              (Files{{"C.TXT", "an earlier refused file"}, {"C.TXT!", kForeign}}));
    EXPECT_EQ(ModeOf(m.errors() + "/C.TXT!"), 0600u);

    ::unlink((m.outbox() + "/B.TXT").c_str());
    m.host.onWork = nullptr;
    // A second name of the file elsewhere must not share its bytes with the
    // backup (the backup is a copy then, not the moved file).
    ASSERT_EQ(::link((m.outbox() + "/A.TXT").c_str(), m.path("A.alias").c_str()), 0);
    m.runCycle();
    Files in = m.remote("in");
    EXPECT_EQ(in.size(), 1u);
    EXPECT_TRUE(in["A.TXT"] == kBig + "MORE\r\n");
    EXPECT_TRUE(FolderEntries(m.outbox()).empty());
    const std::string backup = BackupFolderName(m.state, m.backup()) + "/A.TXT";
    EXPECT_EQ(ModeOf(backup), 0640u);
    WriteFile(m.path("A.alias"), "rewritten through the other name");
    EXPECT_TRUE(ReadFile(backup) == kBig + "MORE\r\n");
}

// The error folder is the outbox itself (written another way): the refused
// file stays, with a clear line. An outbox the program cannot remove files
// from sends nothing, and says so once.
// A program writing an outbox file without a lock (half, a pause, the rest):
// while it holds the file open for writing, or changed it within the settle
// time, the file waits, rewrites included, and then goes out whole, once.
TEST(SendSafety, FilesStillBeingWrittenWait) {
    Mailbox m(SharedVsftpd());
    m.option("AllowReceive", "0");
    const std::string head = "00:PREMFT:9:20261207:SENDER1:X:1\r\n";
    const std::string tail = "10:CONTAINER MSKU1234565\r\n";
    const std::string edifact = "UNB+UNOA:2+SENDER1:ZZ+CENTRE01:ZZ+261207:1000+5'\r\n"
                                "UNH+1+ORDERS:D:96A:UN'\r\nBGM+220+PO55+9'\r\nUNT+3+1'\r\n"
                                "UNZ+1+5'\r\n";
    m.putLocal(m.outbox(), Files{{"P.TXT", head}, {"E.EDI", edifact}});
    // What a rewrite killed midway left beside its file goes at the next pass.
    WriteFile(m.outbox() + "/.P.TXT.0123456789abcdef.part", "00:PREMFT:9:2");
    const int writer = ::open((m.outbox() + "/P.TXT").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);
    m.option("OutboxSettleTime", "3600"); // E.EDI is younger than that
    m.runCycle();
    EXPECT_FALSE(kvtest::Exists(m.outbox() + "/.P.TXT.0123456789abcdef.part"));
    m.option("OutboxSettleTime", "0");
    m.runCycle(); // E.EDI goes; P.TXT is still open for writing
    EXPECT_EQ(Grep(m.sysLog(), "Still Being Written"),
              (Lines{"INFO:File Still Being Written, Not Sent Yet->E.EDI",
                     "INFO:File Still Being Written, Not Sent Yet->P.TXT",
                     "INFO:File Still Being Written, Not Sent Yet->P.TXT"}));
    EXPECT_EQ(Mailbox::Read(m.outbox()), (Files{{"P.TXT", head}}));
    ASSERT_EQ(::write(writer, tail.data(), tail.size()), static_cast<ssize_t>(tail.size()));
    ::close(writer);
    m.runCycle();
    EXPECT_TRUE(Mailbox::Read(m.outbox()).empty());
    const Files sent = m.remote("in");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent.at("P.TXT"), "00:PREMFT:9:20261207:SENDER1:TOLMA:1\r\n" + tail);
    EXPECT_TRUE(Grep(m.sysLog(), "ERROR").empty());
}

TEST(SendSafety, FoldersThatWouldSendTwice) {
    Mailbox m(SharedVsftpd());
    m.option("AllowReceive", "0");
    m.option("LocalErrPath", m.outbox() + "/.");
    m.putLocal(m.outbox(), Files{{"F.TXT", kForeign}});
    m.runCycle();
    EXPECT_EQ(Mailbox::Read(m.outbox()), (Files{{"F.TXT", kForeign}}));
    Lines errors = Grep(m.sysLog(), "ERROR");
    ASSERT_EQ(errors.size(), 3u) << ::testing::PrintToString(errors);
    EXPECT_EQ(errors[1], "ERROR:Move File To Error Folder Failed!!!->F.TXT");
    EXPECT_NE(errors[2].find("is the outbox itself"), std::string::npos) << errors[2];

    m.option("LocalErrPath", m.errors());
    ::unlink((m.outbox() + "/F.TXT").c_str());
    m.putLocal(m.outbox(), Files{{"G.TXT", kOwn}, {"H.TXT", kOwn}});
    ::chmod(m.outbox().c_str(), 0555);
    {
        NoFileAccessOverride asUser;
        m.runCycle();
    }
    ::chmod(m.outbox().c_str(), 0755);
    errors = Grep(m.sysLog(), "ERROR");
    ASSERT_EQ(errors.size(), 4u) << ::testing::PrintToString(errors);
    EXPECT_NE(errors[3].find("Cannot remove files from the outbox"), std::string::npos);
    EXPECT_TRUE(m.remote("in").empty());
    EXPECT_EQ(Mailbox::Read(m.outbox()).size(), 2u);

    // A backup folder that is the folder sent from: the sent file still
    // leaves it (a move onto itself would leave it to go again).
    m.option("CNC102", "1");
    m.option("LocalExPath", m.path("EX"));
    m.option("LocalBackupPath", m.path("EX"));
    ::mkdir(m.path("EX").c_str(), 0755);
    m.putLocal(m.path("EX"), Files{{"c1.txt", "A\r\n"}});
    m.runCycle();
    m.runCycle();
    EXPECT_EQ(m.remote("in").count("c1.txt"), 1u);
    EXPECT_EQ(m.remote("in").count("c1.txt!"), 0u);
    EXPECT_FALSE(kvtest::Exists(m.path("EX/c1.txt")));
    EXPECT_EQ(Grep(m.sysLog(), "ERROR:Backup File Failed!!!->c1.txt").size(), 1u);
    m.option("CNC102", "0");
    m.option("LocalBackupPath", m.backup());

    // A name with a line break cannot forge a log line.
    m.putLocal(m.outbox(), Files{{"BAD\nINFO:forged", kForeign}});
    m.runCycle();
    EXPECT_TRUE(Grep(m.sysLog(), "BAD?INFO:forged").size() >= 1);
    for (const std::string& line : m.sysLog())
        EXPECT_NE(line.rfind("INFO:forged", 0), 0u) << line;
    EXPECT_EQ(Mailbox::Read(m.errors()).count("BAD\nINFO:forged"), 1u);
}

// Remote names: a SIZE that says nothing (502) is not "free"; a refused STOR
// leaves a file that is not ours alone; a refused rename leaves no orphan in
// "tmp"; the transfer type comes back after a failed name check.
TEST(SendSafety, RemoteNamesAreNeverReplaced) {
    FaultFtpServer& py = SharedFaultFtpd();
    Mailbox m(py);
    m.option("AllowReceive", "0");
    m.putRemote("in/X.TXT", "waiting in the remote folder");
    m.putLocal(m.outbox(), Files{{"X.TXT", kOwn}});
    py.setScenario("reply\tSIZE\t502 Command not implemented.\n");
    m.runCycle();
    EXPECT_EQ(m.remote("in"), (Files{{"X.TXT", "waiting in the remote folder"}, {"X.TXT!", kOwn}}));
    EXPECT_TRUE(Grep(m.sysLog(), "ERROR").empty());

    // Another client's upload appears in "tmp" although SIZE said no file.
    m.putRemote("tmp/Y.TXT", "someone else's upload");
    m.putLocal(m.outbox(), Files{{"Y.TXT", kOwn}});
    py.setScenario("reply\tSIZE\t550 No such file.\nreply\tSTOR\t553 Could not create file.\n");
    m.runCycle();
    EXPECT_EQ(m.remote("tmp"), (Files{{"Y.TXT", "someone else's upload"}}));
    EXPECT_EQ(Mailbox::Read(m.outbox()), (Files{{"Y.TXT", kOwn}}));
    ::unlink(py.path("tmp/Y.TXT").c_str());

    py.setScenario("reply\tRNTO\t550 Not now.\n");
    m.runCycle();
    EXPECT_TRUE(m.remote("tmp").empty());
    EXPECT_EQ(Mailbox::Read(m.outbox()), (Files{{"Y.TXT", kOwn}}));

    // ASCII mode; neither SIZE nor the listing answers: type A comes back.
    m.state.settings.TransferType = "ASC";
    py.setScenario("reply\tSIZE\t502 No.\nreply\tNLST\t500 No.\n");
    m.host.trace.clear();
    m.runCycle();
    py.clearScenario();
    Lines cmds = m.commands();
    auto nlst = std::find_if(cmds.begin(), cmds.end(),
                             [](const std::string& c) { return c.rfind("nlst", 0) == 0; });
    ASSERT_NE(nlst, cmds.end());
    EXPECT_NE(std::find(nlst, cmds.end(), "type A"), cmds.end()) << ::testing::PrintToString(cmds);
    EXPECT_EQ(Mailbox::Read(m.outbox()), (Files{{"Y.TXT", kOwn}}));
}

// Logs that cannot be written change nothing of what happens to files: the
// sent file leaves the outbox (no second upload), every file is handled, and
// the failure counts as an error.
TEST(SendSafety, FailingLogsNeverSendTwice) {
    Mailbox m(SharedVsftpd());
    m.option("AllowReceive", "0");
    m.putLocal(m.outbox(), Files{{"P.TXT", kOwn}, {"Q.TXT", kOwn}});
    int errorsBefore = m.state.ErrorLinesReported;
    m.withFullLogs([&] { SendAll(m.state, m.settings()); });
    EXPECT_TRUE(FolderEntries(m.outbox()).empty());
    EXPECT_EQ(m.remote("in"), (Files{{"P.TXT", kOwn}, {"Q.TXT", kOwn}}));
    EXPECT_GT(m.state.ErrorLinesReported, errorsBefore);
}

// Refused renames of a batch never put a reply out of step: each temporary
// copy is deleted, a file refused locally between them changes nothing, and
// the next cycle sends each file once, its name checks asked once.
TEST(SendSafety, ChecksAskedAheadKeepTheSessionInStep) {
    FaultFtpServer& py = SharedFaultFtpd();
    Mailbox m(py);
    m.option("AllowReceive", "0");
    const Files own{{"A.TXT", kOwn}, {"C.TXT", kOwn + "C"}, {"D.TXT", kOwn + "D"}};
    m.putLocal(m.outbox(), own);
    m.putLocal(m.outbox(), Files{{"B.TXT", kForeign}});
    py.setScenario("reply\tRNTO\t550 Not now.\n");
    m.runCycle();
    const std::string refused = "ERROR:550 Not now.!!!";
    EXPECT_EQ(Grep(m.sysLog(), "ERROR"),
              (Lines{"ERROR:Rename File Failed!!!->A.TXT", refused,
                     "ERROR:B.TXT Is Not Your File, Moved To Error Folder!",
                     "ERROR:Rename File Failed!!!->C.TXT", refused,
                     "ERROR:Rename File Failed!!!->D.TXT", refused}));
    EXPECT_TRUE(m.remote("tmp").empty());
    EXPECT_TRUE(m.remote("in").empty());
    EXPECT_EQ(Mailbox::Read(m.outbox()), own);

    py.clearScenario();
    m.host.trace.clear();
    m.runCycle();
    EXPECT_EQ(m.remote("in"), own);
    EXPECT_TRUE(m.remote("tmp").empty());
    EXPECT_TRUE(FolderEntries(m.outbox()).empty());
    // C's and D's checks went with the rename before them, not again.
    const Lines cmds = m.commands();
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "SIZE tmp/C.TXT"), 1);
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "SIZE tmp/D.TXT"), 1);
    EXPECT_EQ(Grep(m.sysLog(), "ERROR").size(), 7u);
}

// A server that sends a second "226" after each upload: its extra replies are
// skipped, every rename is taken for what the server did, and after three
// cycles each file is on the server once and the outbox is empty.
TEST(SendSafety, AChattyServerNeverShiftsTheReplies) {
    FaultFtpServer& py = SharedFaultFtpd();
    Mailbox m(py);
    m.option("AllowReceive", "0");
    const Files outbox = {{"ORDER1.TXT", kOwn + "1\r\n"},
                          {"ORDER2.TXT", kOwn + "2\r\n"},
                          {"ORDER3.TXT", kOwn + "3\r\n"}};
    m.putLocal(m.outbox(), outbox);
    py.setScenario("also\tSTOR\t226 Closing data connection.\n");
    for (int cycle = 0; cycle < 3; ++cycle)
        m.runCycle();
    py.clearScenario();
    EXPECT_EQ(m.remote("in"), outbox);
    EXPECT_TRUE(m.remote("tmp").empty());
    EXPECT_TRUE(FolderEntries(m.outbox()).empty());
    EXPECT_TRUE(Grep(m.sysLog(), "ERROR").empty()) << ::testing::PrintToString(m.sysLog());
}
