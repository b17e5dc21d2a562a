// The engine's local pieces: usable listing names, the lock probe, delivery into the
// inbox (same and other file system, disk full), the outbox listing, the
// backup folder name and the client information file.
#include "EngineTestSupport.h"

#include "app/CycleSettings.h"
#include "config/IniFile.h"
#include "engine/journal/TransferJournal.h"
#include "engine/receive/InboxDelivery.h"
#include "engine/receive/ListingLine.h"
#include "engine/send/OutboxListing.h"
#include "engine/send/SendUpload.h"
#include "engine/session/ClientInfo.h"
#include "util/LockProbe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kv;
using kvtest::ReadFile;
using kvtest::StateFixture;
using kvtest::TempDir;
using kvtest::WriteFile;

TEST(ListingName, UsableNames) {
    EXPECT_TRUE(IsUsableListingName("a.edi"));
    EXPECT_TRUE(IsUsableListingName("INV 001.txt"));
    EXPECT_TRUE(IsUsableListingName("...x"));
    EXPECT_FALSE(IsUsableListingName(""));
    EXPECT_FALSE(IsUsableListingName("."));
    EXPECT_FALSE(IsUsableListingName(".."));
    EXPECT_FALSE(IsUsableListingName("a\tb"));
    EXPECT_FALSE(IsUsableListingName("a\x7f"));
    EXPECT_FALSE(IsUsableListingName(std::string("a\0b", 3)));
    EXPECT_FALSE(IsUsableListingName("a/b"));
    EXPECT_TRUE(IsUsableListingName(" lead.txt "));
}

TEST(FileLock, ProbeSeesOpenFailuresAndOtherLocks) {
    TempDir d;
    std::string f = d / "f.txt";
    WriteFile(f, "x");
    EXPECT_FALSE(IsFileLocked(f));
    EXPECT_TRUE(IsFileLocked(d / "missing"));
    EXPECT_TRUE(IsFileLocked(d.path())); // a folder cannot be opened for writing

    // An exclusive flock on another open of the file.
    int fd = ::open(f.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    EXPECT_TRUE(IsFileLocked(f));
    ::flock(fd, LOCK_UN);
    EXPECT_FALSE(IsFileLocked(f));
    ::close(fd);

    // A record lock of another process.
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int cfd = ::open(f.c_str(), O_RDWR);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        char c = ::fcntl(cfd, F_SETLK, &fl) == 0 ? 'y' : 'n';
        (void)!::write(ready[1], &c, 1);
        (void)!::read(release[0], &c, 1);
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_TRUE(IsFileLocked(f));
    (void)!::write(release[1], "x", 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_FALSE(IsFileLocked(f));
    for (int p : {ready[0], ready[1], release[0], release[1]})
        ::close(p);
}

TEST(Delivery, SameFileSystemMovesAndNeverReplaces) {
    TempDir d;
    ::mkdir((d / "TMP").c_str(), 0755);
    ::mkdir((d / "in").c_str(), 0755);
    WriteFile(d / "TMP/a.edi", "content");
    std::string why;
    ASSERT_EQ(DeliverIntoInbox(d / "TMP/a.edi", d / "in/a.edi", why), Delivery::Moved) << why;
    EXPECT_EQ(ReadFile(d / "in/a.edi"), "content");
    EXPECT_FALSE(kvtest::Exists(d / "TMP/a.edi"));

    WriteFile(d / "TMP/b.edi", "new");
    WriteFile(d / "in/b.edi", "old");
    EXPECT_EQ(DeliverIntoInbox(d / "TMP/b.edi", d / "in/b.edi", why), Delivery::Taken);
    EXPECT_EQ(ReadFile(d / "in/b.edi"), "old");
    EXPECT_EQ(ReadFile(d / "TMP/b.edi"), "new");

    EXPECT_EQ(DeliverIntoInbox(d / "TMP/b.edi", d / "nowhere/b.edi", why), Delivery::Failed);
    EXPECT_NE(why.find("nowhere/b.edi"), std::string::npos) << why;
}

// Across file systems a flushed copy takes the name, or nothing appears; no
// hidden name a listing could also produce is ever used.
TEST(Delivery, OtherFileSystemCopiesWholeOrNothing) {
    TempDir d;
    kvtest::TmpfsMount inbox(d / "in", 64 * 1024);
    if (!inbox.ok())
        GTEST_SKIP() << inbox.skipReason();
    ::mkdir((d / "TMP").c_str(), 0755);
    WriteFile(d / "TMP/small.edi", std::string(1000, 's'));
    std::string why;
    ASSERT_EQ(DeliverIntoInbox(d / "TMP/small.edi", d / "in/small.edi", why), Delivery::Copied)
        << why;
    EXPECT_EQ(ReadFile(d / "in/small.edi"), std::string(1000, 's'));
    EXPECT_TRUE(kvtest::Exists(d / "TMP/small.edi")); // the caller removes it
    const std::string longest(255, 'n');
    WriteFile(d / "TMP/long", "long");
    ASSERT_EQ(DeliverIntoInbox(d / "TMP/long", d / ("in/" + longest), why), Delivery::Copied)
        << why;
    EXPECT_EQ(ReadFile(d / ("in/" + longest)), "long");
    ::unlink((d / ("in/" + longest)).c_str());

    // Too big for what is left: nothing appears, not even a hidden part.
    WriteFile(d / "TMP/big.edi", std::string(200 * 1024, 'b'));
    EXPECT_EQ(DeliverIntoInbox(d / "TMP/big.edi", d / "in/big.edi", why), Delivery::Failed);
    EXPECT_NE(why.find("No space left"), std::string::npos) << why;
    EXPECT_EQ(kvtest::FolderEntries(d / "in"), std::vector<std::string>{"small.edi"});
    EXPECT_EQ(ReadFile(d / "TMP/big.edi").size(), 200u * 1024);

    // Only the hidden copies of this program are ever cleaned away.
    const std::string received = ".small.edi.0123456789abcdef.part";
    const std::string ours = ".small.edi.0123456789abcdef.part\x01";
    WriteFile(d / ("in/" + received), "a file the server had");
    WriteFile(d / ("in/" + ours), "half a copy");
    EXPECT_FALSE(IsInboxCopyName(received));
    EXPECT_EQ(RemoveInboxCopies(d / "in"), 1);
    EXPECT_EQ(kvtest::FolderEntries(d / "in"), (std::vector<std::string>{received, "small.edi"}));
}

TEST(Outbox, OnlyPlainWritableVisibleFiles) {
    TempDir d;
    WriteFile(d / "b.txt", "bb");
    WriteFile(d / "a.txt", "a");
    WriteFile(d / ".hidden", "h");
    WriteFile(d / "ro.txt", "r");
    ::chmod((d / "ro.txt").c_str(), 0444);
    ::mkdir((d / "sub").c_str(), 0755);
    ASSERT_EQ(::symlink((d / "a.txt").c_str(), (d / "link.txt").c_str()), 0);
    ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0644), 0);
    auto files = ListOutbox(d.path());
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].Name, "a.txt");
    EXPECT_EQ(files[0].Size, 1);
    EXPECT_EQ(files[1].Name, "b.txt");
    EXPECT_EQ(files[1].Size, 2);
    EXPECT_TRUE(ListOutbox(d / "missing").empty());
}

TEST(Backup, DatedFolderFollowsLogStep) {
    StateFixture f;
    f.state.Now = [] { return kvtest::LocalTime(2026, 3, 4, 23, 59, 0); };
    f.state.LogStep = "day";
    EXPECT_EQ(BackupFolderName(f.state, "/b"), "/b/20260304");
    f.state.LogStep = "MONTH";
    EXPECT_EQ(BackupFolderName(f.state, "/b"), "/b/202603");
    f.state.LogStep = "";
    EXPECT_EQ(BackupFolderName(f.state, "/b"), "/b/202603");
}

TEST(ClientInfo, TwentyNineRowsInOrder) {
    StateFixture f;
    WriteFile(f.state.IniPath, "[System]\r\nAutoUpgrade=1\r\n[Options]\r\nFileSender=INI_SENDER\r\n"
                               "AllowReceive=0\r\nRemoteInPath=in\r\nRemoteOutPath=out\r\n"
                               "LocalInPath=/l/in\r\nLocalOutPath=/l/out\r\n");
    Settings& s = f.state.settings;
    s.Host = "edi.example";
    s.Port = 2121;
    s.UserID = "user1";
    s.Password = "secret";
    s.TransferType = "bin";
    s.FileSender = "RECORD_SENDER";
    s.Passive = true;
    s.CNC102 = true;
    s.TimeInterval = "0,5";
    s.LogTimeOut = "30";
    s.KVTimeOut = "";
    f.state.LogStep = "DAY";
    f.state.AutoMode = true;
    f.state.ServiceMode = true;
    OsVersionInfo os{0, 6, 1, 18, "Debian GNU/Linux 12 (bookworm)"};
    std::string text = ClientInfoText(f.state, ReadCycleSettings(f.state), "10.0.0.5", os);
    EXPECT_EQ(text, "Version=1.42\r\nLocalIP=10.0.0.5\r\nWin32Platform=0\r\n"
                    "Win32MajorVersion=6\r\nWin32MinorVersion=1\r\nWin32BuildNumber=18\r\n"
                    "Win32CSDVersion=Debian GNU/Linux 12 (bookworm)\r\nAutoUpgrade=1\r\n"
                    "LogStep=DAY\r\nHost=edi.example\r\nPort=2121\r\nUsername=user1\r\n"
                    "Passive=1\r\nTransferType=bin\r\nFileSender=INI_SENDER\r\n"
                    "AllowReceive=0\r\nAllowSend=\r\nWinXPFirewall=0\r\nAutoMode=1\r\n"
                    "TRAYMode=0\r\nServiceMode=1\r\nCNC102=1\r\nRemoteInPath=in\r\n"
                    "RemoteOutPath=out\r\nLocalInPath=/l/in\r\nLocalOutPath=/l/out\r\n"
                    "TimeInterval=0,5\r\nLogTimeOut=30\r\nKVTimeOut=\r\n");
    EXPECT_EQ(text.find("secret"), std::string::npos);
    EXPECT_EQ(ClientInfoRemoteName("10.0.0.5"), "KVinf_10_0_0_5.txt");
    EXPECT_EQ(ClientInfoRemoteName("2001:db8::5"), "KVinf_2001_db8__5.txt");
    // An IPv6 address of the machine is reported in a row of its own, after the 29.
    const std::string withV6 =
        ClientInfoText(f.state, ReadCycleSettings(f.state), "10.0.0.5", os, "2001:db8::5");
    EXPECT_EQ(withV6, text + "LocalIPv6=2001:db8::5\r\n");

    OsVersionInfo here = QueryOsVersion();
    EXPECT_GT(here.Major, 0);
    EXPECT_FALSE(here.Name.empty());
    std::string ip = LocalIPAddress();
    EXPECT_EQ(std::count(ip.begin(), ip.end(), '.'), 3) << ip;
}

// The journal survives what a crash does to its file: a last line cut off is
// removed before the next one is appended (so it cannot swallow it), a
// damaged line is ignored, lines of the first format are delivered entries,
// and a file of finished entries goes.
TEST(Journal, TornDamagedAndFirstFormatLines) {
    TempDir d;
    const std::string path = d / "KVRECV.JNL";
    const std::string sha(64, 'a');
    std::string good;
    {
        TransferJournal j(path);
        JournalEntry& e = j.Begin({{"remote", "out/x.edi"}, {"name", "x\tname\n%"}});
        j.Mark(e, mark::Delivered, {{"inbox", "/in/x.edi"}});
        j.Flush();
        good = ReadFile(path);
    }
    WriteFile(path, sha + " 12 out/first.edi\n" + good + "I\t99\tremote=out/damaged\tdeadbeef\n" +
                        "I\t100\tremote=out/cut");
    {
        TransferJournal j(path);
        std::vector<JournalEntry*> open = j.OpenEntries();
        ASSERT_EQ(open.size(), 2u);
        EXPECT_EQ(open[0]->Get("remote"), "out/first.edi");
        EXPECT_EQ(open[0]->Number("size"), 12);
        EXPECT_TRUE(open[0]->Has(mark::Delivered));
        EXPECT_EQ(open[1]->Get("name"), "x\tname\n%");
        EXPECT_EQ(open[1]->Get("inbox"), "/in/x.edi");
        j.Begin({{"remote", "out/y.edi"}});
        j.Flush();
    }
    {
        TransferJournal j(path);
        std::vector<JournalEntry*> open = j.OpenEntries();
        ASSERT_EQ(open.size(), 3u);
        EXPECT_EQ(open[2]->Get("remote"), "out/y.edi");
        for (JournalEntry* e : open)
            j.Mark(*e, mark::Closed);
        j.Compact();
    }
    EXPECT_FALSE(kvtest::Exists(path));
}
