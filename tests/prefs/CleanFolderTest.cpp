// Folder and log cleaning on real folder trees: what goes, what stays (read-
// only files, files being written, links and what they point to, the folders
// themselves), the folders never emptied, and the pump on a large folder.
#include "prefs/CleanFolder.h"
#include "support/TestSupport.h"
#include "util/Fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kv;
using kvtest::Exists;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

void MakeDir(const std::string& path) {
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
}

void Link(const std::string& target, const std::string& path) {
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
}

// A descriptor the test holds for the length of a case.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

struct Program {
    TempDir dir;
    std::string prog = dir / "prog";
    std::string ini = prog + "/Korvane.ini";
    std::string log = prog + "/LOG";
    Program() {
        MakeDir(prog);
        MakeDir(log);
    }
    CleanFolderModel Model() { return CleanFolderModel(ini, prog + "/Language/kven.ini", prog); }
};

} // namespace

TEST(CleanFolder, EmptiesFoldersButKeepsReadOnlyAndBusyFilesAndNeverFollowsLinks) {
    Program p;
    std::string in = p.dir / "inbox", out = p.dir / "outside";
    MakeDir(in);
    MakeDir(out);
    WriteFile(out + "/keep.txt", "x");
    MakeDir(out + "/dir");
    WriteFile(out + "/dir/keep2.txt", "x");
    WriteFile(in + "/a.edi", "x");
    WriteFile(in + "/.hidden", "x");
    WriteFile(in + "/ro.edi", "x");
    ::chmod((in + "/ro.edi").c_str(), 0444);
    MakeDir(in + "/sub");
    MakeDir(in + "/sub/deeper");
    WriteFile(in + "/sub/deeper/y", "x");
    MakeDir(in + "/sub2");
    WriteFile(in + "/sub2/ro2", "x");
    ::chmod((in + "/sub2/ro2").c_str(), 0400);
    Link(out + "/keep.txt", in + "/filelink");
    Link(out + "/dir", in + "/dirlink");
    Link(out + "/nowhere", in + "/dangling");
    ASSERT_EQ(::mkfifo((in + "/fifo").c_str(), 0644), 0);
    WriteFile(in + "/busy.edi", "x");
    Fd writer(::open((in + "/busy.edi").c_str(), O_WRONLY | O_APPEND));
    ASSERT_GE(writer.fd, 0);
    WriteFile(in + "/locked.edi", "x");
    Fd locker(::open((in + "/locked.edi").c_str(), O_RDONLY));
    ASSERT_EQ(::flock(locker.fd, LOCK_SH), 0);
    WriteFile(in + "/read.edi", "x");
    Fd reader(::open((in + "/read.edi").c_str(), O_RDONLY));

    // The busy and locked files are what BusyFiles sees.
    BusyFiles busy = BusyFiles::Scan();
    struct stat st;
    ::stat((in + "/busy.edi").c_str(), &st);
    EXPECT_TRUE(busy.Contains(st.st_dev, st.st_ino));
    ::stat((in + "/locked.edi").c_str(), &st);
    EXPECT_TRUE(busy.Contains(st.st_dev, st.st_ino));
    ::stat((in + "/read.edi").c_str(), &st);
    EXPECT_FALSE(busy.Contains(st.st_dev, st.st_ino));

    WriteFile(p.ini, "[Options]\r\nLocalInPath=" + in + "\r\nLocalInPath4=" + out +
                         "/dir\r\nLocalBackupPath=" + out + "\r\n");
    CleanFolderModel m = p.Model();
    m.SetChecked("CheckBox3", true);
    m.Clean(std::time(nullptr), nullptr);
    EXPECT_TRUE(m.TakeMessages().empty());

    EXPECT_TRUE(Exists(in));
    for (const char* gone : {"/a.edi", "/.hidden", "/sub", "/fifo", "/read.edi"})
        EXPECT_FALSE(Exists(in + gone)) << gone;
    for (const char* link : {"/filelink", "/dirlink", "/dangling"})
        EXPECT_NE(::lstat((in + link).c_str(), &st), 0) << link;
    for (const char* kept : {"/ro.edi", "/sub2/ro2", "/busy.edi", "/locked.edi"})
        EXPECT_TRUE(Exists(in + kept)) << kept;
    EXPECT_TRUE(Exists(out + "/keep.txt"));       // not the backup box
    EXPECT_FALSE(Exists(out + "/dir/keep2.txt")); // extra inbox 4 was emptied
    EXPECT_TRUE(Exists(out + "/dir"));
}

TEST(CleanFolder, DeletesOldLogsOnlyKeepingCurrentReadOnlyAndBusyOnes) {
    Program p;
    std::time_t now = kvtest::LocalTime(2026, 12, 7, 10, 0, 0);
    EXPECT_EQ(CurrentLogName(LogKind::System, "day", now), "KVSYS20261207.LOG");
    EXPECT_EQ(CurrentLogName(LogKind::Transfer, "Month", now), "KVTSF202612.LOG");
    EXPECT_EQ(CurrentLogName(LogKind::Tray, "Day", now), "KVTRAY202612.LOG");
    EXPECT_EQ(CurrentLogName(LogKind::Service, "Day", now), "KVSRV202612.LOG");

    for (const char* name :
         {"KVSYS202610.LOG", "KVSYS202611.LOG", "KVSYS202612.LOG", "KVSYS20261206.LOG",
          "KVSYS20261207.LOG", "kvsys202609.log", "KVTSF202611.LOG", "KVTSF20261207.LOG",
          "KVTRAY202612.LOG", "KVTRAY20261207.LOG", "KVTRAY202611.LOG", "KVSRV202611.LOG",
          "KVSRV202610.LOG", "OTHER.LOG"})
        WriteFile(p.log + "/" + name, "x");
    ::chmod((p.log + "/KVSRV202611.LOG").c_str(), 0444);
    Fd writer(::open((p.log + "/KVTRAY202611.LOG").c_str(), O_WRONLY | O_APPEND));
    MakeDir(p.log + "/KVSYS2020.LOG");
    WriteFile(p.ini, "[System]\r\nLogStep=day\r\n");

    CleanFolderModel m = p.Model();
    for (const char* box : {"CheckBox4", "CheckBox6", "CheckBox7"})
        m.SetChecked(box, true);
    m.Clean(now, nullptr);

    std::vector<std::string> left = ListFolder(p.log, "*.*", false);
    EXPECT_EQ(left, (std::vector<std::string>{
                        "KVSRV202611.LOG", "KVSYS2020.LOG", "KVSYS20261207.LOG", "KVTRAY202611.LOG",
                        "KVTRAY202612.LOG", "KVTSF202611.LOG", "KVTSF20261207.LOG", "OTHER.LOG"}));
    EXPECT_TRUE(m.Enabled("Btn_Clean"));
    EXPECT_FALSE(m.Running());
}

TEST(CleanFolder, RefusesTheRootHomeAndProgramFoldersAndTheirParents) {
    Program p;
    std::string home = p.dir / "home";
    MakeDir(home);
    WriteFile(home + "/mine", "x");
    WriteFile(p.prog + "/Korvane.keep", "x");
    std::string inbox3 = p.dir / "in3";
    MakeDir(inbox3);
    WriteFile(inbox3 + "/f", "x");
    const char* oldHome = std::getenv("HOME");
    std::string savedHome = oldHome ? oldHome : "";
    ::setenv("HOME", home.c_str(), 1);

    EXPECT_EQ(FolderRefusal("/", p.prog), "it is the root folder");
    EXPECT_EQ(FolderRefusal("/../", p.prog), "it is the root folder");
    EXPECT_EQ(FolderRefusal(home + "/", p.prog), "it is the home folder");
    EXPECT_EQ(FolderRefusal(p.prog + "/.", p.prog), "it is the program folder");
    EXPECT_EQ(FolderRefusal(p.dir.path(), p.prog), "it holds the program folder");
    EXPECT_EQ(FolderRefusal("INBOX", p.prog), "it is not an absolute path");
    EXPECT_EQ(FolderRefusal(p.prog + "/INBOX", p.prog), "");
    EXPECT_EQ(FolderRefusal(p.dir / "missing", p.prog), "");

    std::string viaLink = p.dir / "link-to-prog";
    Link(p.prog, viaLink);
    WriteFile(p.ini, "[Options]\r\nLocalBackupPath=" + viaLink +
                         "\r\nLocalErrPath=" + p.dir.path() + "\r\nLocalInPath=" + home +
                         "\r\nLocalInPath3=" + inbox3 + "\r\nLocalInPath5=relative\r\n");
    CleanFolderModel m = p.Model();
    for (const char* box : {"CheckBox1", "CheckBox2", "CheckBox3"})
        m.SetChecked(box, true);
    m.Clean(std::time(nullptr), nullptr);
    auto messages = m.TakeMessages();
    if (oldHome)
        ::setenv("HOME", savedHome.c_str(), 1);
    else
        ::unsetenv("HOME");

    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].code, "f09");
    EXPECT_NE(messages[0].text.find(viaLink), std::string::npos);
    EXPECT_NE(messages[0].text.find("program folder"), std::string::npos);
    EXPECT_NE(messages[3].text.find("relative"), std::string::npos);
    EXPECT_TRUE(Exists(p.prog + "/Korvane.keep"));
    EXPECT_TRUE(Exists(p.ini));
    EXPECT_TRUE(Exists(home + "/mine"));
    EXPECT_FALSE(Exists(inbox3 + "/f"));
    EXPECT_TRUE(Exists(inbox3));
}

namespace {
// Looks at the dialog while the cleaning pumps events, as a window would.
class WatchingHost : public kvtest::RecordingHost {
public:
    CleanFolderModel* model = nullptr;
    bool sawDisabled = true;
    bool sawRunning = true;
    void ProcessPendingEvents() override {
        RecordingHost::ProcessPendingEvents();
        sawDisabled = sawDisabled && !model->Enabled("Btn_Clean") && !model->Enabled("Btn_Exit");
        sawRunning = sawRunning && model->Running();
        model->SetChecked("CheckBox1", false); // ignored while running
        model->Clean(0, this);                 // no second run inside the first
    }
};
} // namespace

TEST(CleanFolder, ALargeFolderKeepsTheWindowPumpedAndReportsProgress) {
    Program p;
    std::string backup = p.dir / "backup";
    MakeDir(backup);
    const int kFiles = 3000;
    for (int i = 0; i < kFiles; ++i) {
        std::string sub = backup + "/d" + std::to_string(i / 500);
        if (i % 500 == 0)
            MakeDir(sub);
        WriteFile(sub + "/f" + std::to_string(i), "");
    }
    WriteFile(p.ini, "[Options]\r\nLocalBackupPath=" + backup + "\r\n");
    CleanFolderModel m = p.Model();
    m.SetChecked("CheckBox1", true);
    WatchingHost host;
    host.model = &m;
    std::vector<uint64_t> progress;
    m.Clean(std::time(nullptr), &host, [&](uint64_t n) { progress.push_back(n); });

    EXPECT_EQ(ListFolder(backup, "*.*", false).size(), 0u);
    EXPECT_EQ(m.Removed(), static_cast<uint64_t>(kFiles + 6));
    EXPECT_GE(host.pumps, kFiles / static_cast<int>(CleanContext::kPumpEvery));
    EXPECT_EQ(progress.size(), static_cast<size_t>(host.pumps));
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_TRUE(host.sawDisabled);
    EXPECT_TRUE(host.sawRunning);
    EXPECT_TRUE(m.Checked("CheckBox1"));
    EXPECT_TRUE(m.Enabled("Btn_Exit"));
}
