// Folder and log cleaning on real folder trees: what goes, what stays (read-
// only files, files being written, links and what they point to, the folders
// themselves), the folders never emptied, and the pump on a large folder.
#include "prefs/CleanFolder.h"
#include "support/TestSupport.h"
#include "util/Fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
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
    // The executables' folder, apart from the program folder as installed.
    std::string bin = dir / "opt/bin";
    Program() {
        MakeDir(prog);
        MakeDir(log);
        MakeDir(dir / "opt");
        MakeDir(bin);
        for (const char* name : {"korvane", "korvaned", "Upgrader3"})
            WriteFile(bin + "/" + name, "x");
    }
    CleanFolderModel Model(const std::string& logStepInUse = "") {
        return CleanFolderModel(ini, prog + "/Language/kven.ini", prog, logStepInUse, bin);
    }
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

    CleanFolderModel m = p.Model("day");
    for (const char* box : {"CheckBox4", "CheckBox6", "CheckBox7"})
        m.SetChecked(box, true);
    m.Clean(now, nullptr);

    std::vector<std::string> left = ListFolder(p.log, "*.*", false);
    EXPECT_EQ(left, (std::vector<std::string>{
                        "KVSRV202611.LOG", "KVSYS2020.LOG", "KVSYS20261207.LOG", "KVTRAY202611.LOG",
                        "KVTRAY202612.LOG", "KVTSF202611.LOG", "KVTSF20261207.LOG", "OTHER.LOG"}));
    EXPECT_TRUE(m.Enabled("Btn_Clean"));
    EXPECT_FALSE(m.Running());

    // A program that started with monthly logs writes them until it starts
    // again, whatever LogStep says now: its files are in use and stay.
    WriteFile(p.log + "/KVSYS202612.LOG", "x");
    WriteFile(p.log + "/KVTSF202612.LOG", "x");
    CleanFolderModel running = p.Model("Month");
    running.SetChecked("CheckBox4", true);
    running.SetChecked("CheckBox5", true);
    running.Clean(now, nullptr);
    for (const char* kept : {"KVSYS202612.LOG", "KVTSF202612.LOG", "KVSYS20261207.LOG"})
        EXPECT_TRUE(Exists(p.log + "/" + kept)) << kept;
    EXPECT_FALSE(Exists(p.log + "/KVTSF202611.LOG"));
}

namespace {

// A layout of folders for the cleaning rules: the folder of a setting that
// is cleaned, what the tree holds, and the rule that refuses it ("" when it
// is emptied).
struct Layout {
    const char* name;
    const char* box;               // the box that cleans it
    const char* key;               // the setting that names it
    std::string folder;            // its value
    std::string settings;          // further Options lines
    std::string refusal;           // part of the reason, or "" when it is emptied
    std::vector<std::string> keep; // files that must survive either way
    bool needsMount = false;       // checked only where the test could mount
};

// Unmounts what a case mounted, before the temporary folder goes.
struct Mount {
    std::string point;
    ~Mount() {
        if (!point.empty())
            ::umount2(point.c_str(), MNT_DETACH);
    }
};

// source shown again at point (a second name of the same folder); false with
// errno set when it cannot be mounted (not root).
bool BindMount(const std::string& source, const std::string& point, std::vector<Mount>& mounts) {
    if (::mkdir(point.c_str(), 0755) != 0 && errno != EEXIST)
        return false;
    if (::mount(source.c_str(), point.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return false;
    mounts.emplace_back().point = point;
    return true;
}

} // namespace

TEST(CleanFolder, FolderLayoutsThatAreRefusedOrEmptied) {
    Program p;
    const std::string t = p.dir.path();
    // The user's home with a document and keys, in a tree of its own; edi: a
    // folder that holds an inbox with an undelivered invoice and an outbox
    // with an unsent order.
    TempDir homes;
    const std::string h = homes.path();
    for (const char* d : {"/users", "/users/me", "/users/me/.ssh"})
        MakeDir(h + d);
    WriteFile(h + "/users/me/letter.doc", "x");
    WriteFile(h + "/users/me/.ssh/id_ed25519", "x");
    for (const char* d :
         {"/edi", "/edi/INBOX", "/edi/OUTBOX", "/in", "/in/three", "/plain", "/plain/sub", "/same",
          "/withmount", "/withmount/disk", "/prog/TMP", "/prog/TMP/x"})
        MakeDir(t + d);
    WriteFile(t + "/edi/INBOX/invoice.edi", "x");
    WriteFile(t + "/edi/OUTBOX/order.edi", "x");
    WriteFile(t + "/in/a.edi", "x");
    WriteFile(t + "/in/three/b.edi", "x");
    WriteFile(t + "/plain/sub/c.edi", "x");
    WriteFile(t + "/plain/d.edi", "x");
    WriteFile(t + "/same/e.edi", "x");
    WriteFile(p.log + "/KVSYS202612.LOG", "x");
    WriteFile(t + "/prog/TMP/x/part.edi", "x");
    MakeDir(p.prog + "/BACKUP");
    WriteFile(p.prog + "/BACKUP/sent.edi", "x");
    Link(p.prog, t + "/link-to-prog");
    Link(t + "/loop-b", t + "/loop-a");
    Link(t + "/loop-a", t + "/loop-b");
    // The program folder's own files, and a second outbox and a shared one.
    for (const char* d : {"/prog/Language", "/prog/INBOX", "/prog/OUTBOX", "/out2", "/both"})
        MakeDir(t + d);
    const std::vector<std::string> programFiles = {p.ini,
                                                   p.prog + "/kvini.bak",
                                                   p.prog + "/Language/kven.ini",
                                                   p.prog + "/INBOX/received.edi",
                                                   p.prog + "/OUTBOX/unsent.edi",
                                                   p.log + "/KVSYS202612.LOG"};
    for (const std::string& f : programFiles)
        WriteFile(f, "x");
    WriteFile(t + "/out2/unsent2.edi", "x");
    WriteFile(t + "/both/unsent3.edi", "x");
    const std::vector<std::string> executables = {p.bin + "/korvane", p.bin + "/korvaned",
                                                  p.bin + "/Upgrader3"};
    // Second names by bind mounts: of the program folder, of the inbox, and
    // one inside an ordinary-looking folder.
    std::vector<Mount> binds;
    binds.reserve(3); // a Mount moved by the vector's growth would unmount
    MakeDir(t + "/holder");
    errno = 0;
    const bool bound = BindMount(p.prog, t + "/prog-again", binds) &&
                       BindMount(t + "/edi/INBOX", t + "/inbox-again", binds) &&
                       BindMount(p.prog, t + "/holder/view", binds);
    const int bindError = errno;
    Mount mount;
    const bool mounted = ::mount("none", (t + "/withmount/disk").c_str(), "tmpfs", 0, "") == 0;
    if (mounted) {
        mount.point = t + "/withmount/disk";
        WriteFile(t + "/withmount/disk/on-the-disk", "x");
    }

    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    ::setenv("HOME", (h + "/users/me").c_str(), 1);
    const std::string work =
        "LocalInPath=" + t + "/edi/INBOX\r\nLocalOutPath=" + t + "/edi/OUTBOX\r\n";
    std::vector<Layout> layouts = {
        {"home below",
         "CheckBox1",
         "LocalBackupPath",
         h + "/users",
         "",
         "it holds the home folder " + h + "/users/me",
         {h + "/users/me/letter.doc", h + "/users/me/.ssh/id_ed25519"}},
        {"the home itself",
         "CheckBox1",
         "LocalBackupPath",
         h + "/users/me/",
         "",
         "it is the home folder",
         {h + "/users/me/letter.doc"}},
        {"program folder below",
         "CheckBox2",
         "LocalErrPath",
         t,
         "",
         "it holds the program folder",
         {p.ini}},
        {"the program folder through a link",
         "CheckBox1",
         "LocalBackupPath",
         t + "/link-to-prog",
         "",
         "it is the program folder",
         {p.ini}},
        {"the program's log folder",
         "CheckBox1",
         "LocalBackupPath",
         p.log,
         "",
         "it is the program's log folder",
         {p.log + "/KVSYS202612.LOG"}},
        {"inside the program's temporary folder",
         "CheckBox2",
         "LocalErrPath",
         t + "/prog/TMP/x",
         "",
         "it lies inside the program's temporary folder",
         {t + "/prog/TMP/x/part.edi"}},
        {"work folders inside",
         "CheckBox1",
         "LocalBackupPath",
         t + "/edi",
         work,
         "it holds the inbox folder " + t + "/edi/INBOX (Options/LocalInPath)",
         {t + "/edi/INBOX/invoice.edi", t + "/edi/OUTBOX/order.edi"}},
        {"an extra inbox inside the inbox",
         "CheckBox3",
         "LocalInPath",
         t + "/in",
         "LocalInPath3=" + t + "/in/three\r\n",
         "it holds the inbox folder 3",
         {t + "/in/a.edi"}},
        {"mount point inside",
         "CheckBox1",
         "LocalBackupPath",
         t + "/withmount",
         "",
         "it holds the mount point",
         {},
         true},
        // As the program writes its defaults: inside the program folder.
        {"relative", "CheckBox1", "LocalBackupPath", "BACKUP", "", "", {}},
        {"the root", "CheckBox1", "LocalBackupPath", "/../", "", "it is the root folder", {}},
        // Two settings naming one folder: it holds no other folder.
        {"error and backup in one folder",
         "CheckBox1",
         "LocalBackupPath",
         t + "/same",
         "LocalErrPath=" + t + "/same\r\n",
         "",
         {}},
        {"the executables' folder (KORVANE_HOME apart)", "CheckBox1", "LocalBackupPath", p.bin, "",
         "it is the folder of the running program", executables},
        {"a folder holding the executables' folder", "CheckBox2", "LocalErrPath", t + "/opt", "",
         "it holds the folder of the running program", executables},
        {"the backup folder is the outbox",
         "CheckBox1",
         "LocalBackupPath",
         t + "/edi/OUTBOX",
         work,
         "it is also the outbox folder " + t + "/edi/OUTBOX (Options/LocalOutPath)",
         {t + "/edi/OUTBOX/order.edi"}},
        {"the error folder is an extra group's outbox",
         "CheckBox2",
         "LocalErrPath",
         t + "/out2/",
         "LocalOutPath2=" + t + "/out2\r\n",
         "it is also the outbox folder 2",
         {t + "/out2/unsent2.edi"}},
        {"the inbox is also the outbox",
         "CheckBox3",
         "LocalInPath",
         t + "/both",
         "LocalOutPath=" + t + "/both\r\n",
         "it is also the outbox folder",
         {t + "/both/unsent3.edi"}},
        {"a loop of links",
         "CheckBox1",
         "LocalBackupPath",
         t + "/loop-a",
         "",
         "its symbolic links form a loop",
         {}},
        {"the program folder by a bind mount", "CheckBox1", "LocalBackupPath", t + "/prog-again",
         "", "it is the program folder", programFiles, true},
        {"the inbox by a bind mount",
         "CheckBox1",
         "LocalBackupPath",
         t + "/inbox-again",
         work,
         "it is also the inbox folder",
         {t + "/edi/INBOX/invoice.edi"},
         true},
        {"a mount point itself",
         "CheckBox2",
         "LocalErrPath",
         t + "/withmount/disk",
         "",
         "it is a mount point",
         {t + "/withmount/disk/on-the-disk"},
         true},
        {"a folder holding the program folder by a bind mount", "CheckBox1", "LocalBackupPath",
         t + "/holder", "", "it holds the program folder (as " + t + "/holder/view)", programFiles,
         true},
        {"an ordinary folder", "CheckBox1", "LocalBackupPath", t + "/plain", work, "", {}},
    };
    for (const Layout& l : layouts) {
        if (l.needsMount && !(bound && mounted)) {
            std::printf("[ note ] layout \"%s\" not checked: cannot mount here (%s)\n", l.name,
                        std::strerror(bindError ? bindError : EPERM));
            continue;
        }
        WriteFile(p.ini,
                  "[Options]\r\n" + std::string(l.key) + "=" + l.folder + "\r\n" + l.settings);
        CleanFolderModel m = p.Model();
        m.SetChecked(l.box, true);
        m.Clean(std::time(nullptr), nullptr);
        auto messages = m.TakeMessages();
        if (l.refusal.empty()) {
            EXPECT_TRUE(messages.empty()) << l.name << ": " << messages[0].text;
            const std::string folder = kv::FolderInProgram(p.prog, l.folder);
            EXPECT_TRUE(ListFolder(folder, "*.*", false).empty()) << l.name;
            EXPECT_TRUE(kv::DirectoryExists(folder)) << l.name << ": the folder itself went";
        } else if (messages.empty()) {
            ADD_FAILURE() << l.name << " was emptied";
        } else {
            EXPECT_EQ(messages[0].code, "f09") << l.name;
            const std::string& text = messages[0].text;
            EXPECT_NE(text.find(l.refusal), std::string::npos) << l.name << ": " << text;
            EXPECT_NE(text.find(l.folder), std::string::npos) << l.name << ": " << text;
            EXPECT_NE(text.find(std::string("Options/") + l.key), std::string::npos) << text;
        }
        for (const std::string& kept : l.keep)
            EXPECT_TRUE(Exists(kept)) << l.name << ": " << kept;
    }
    if (oldHome)
        ::setenv("HOME", savedHome.c_str(), 1);
    else
        ::unsetenv("HOME");
    EXPECT_TRUE(Exists(h + "/users/me"));
    EXPECT_FALSE(Exists(t + "/in/three/b.edi")); // the extra inbox itself was emptied
    if (mounted) {
        EXPECT_TRUE(Exists(t + "/withmount/disk/on-the-disk"));
    }
    // A bind mount met while emptying (set up after the check) is neither
    // entered nor removed, and is said.
    if (bound) {
        CleanContext ctx;
        EmptyDirectory(t + "/holder", true, ctx);
        for (const std::string& f : programFiles)
            EXPECT_TRUE(Exists(f)) << f;
        ASSERT_EQ(ctx.left.size(), 1u);
        EXPECT_NE(ctx.left[0].find(t + "/holder/view: a mount point"), std::string::npos)
            << ctx.left[0];
    }
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
