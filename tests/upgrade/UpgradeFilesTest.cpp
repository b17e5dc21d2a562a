// The download plan and the updater: where each file goes, the lists a
// hostile server may publish, working files, checksums, the abort clean-up,
// and Upgrader3 replacing files (also when killed at any rename), waiting for
// the program and reporting in its log, and restarting a program that records
// how it was started.
#include "program/Program.h"
#include "support/ChildProgram.h"
#include "support/Servers.h"
#include "support/TestSupport.h"
#include "upgrade/Decision.h"
#include "upgrade/Failures.h"
#include "upgrade/HandOver.h"
#include "upgrade/InfoFile.h"
#include "upgrade/InstallFiles.h"
#include "upgrade/InstalledRecord.h"
#include "upgrade/Sha256.h"
#include "upgrade/UpgradePlan.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace kv;
using kvtest::Exists;
using kvtest::ReadFile;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

// SHA-256 of "abc" (FIPS 180-2 example).
const char* kAbcSha = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

// A stand-in program: records its version and arguments in ran.txt beside it.
std::string ProgramScript(const std::string& version) {
    return "#!/bin/sh\necho \"" + version + " $*\" > \"$(dirname \"$0\")/ran.txt\"\n";
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

std::string UpdaterBinary() {
    return kvtest::BuildProgram("Upgrader3");
}

// Waits (bounded) for a file the restarted program writes.
bool WaitForFile(const std::string& path) {
    return kvtest::Eventually([&] { return Exists(path); }, 600, 50);
}

bool WaitForEmptyFolder(const std::string& folder) {
    return kvtest::Eventually([&] { return ListFolder(folder, "*", false).empty(); }, 600, 50);
}

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const UpgradeError& e) {
        return e.what();
    }
    return "";
}

// An installed program working in a program folder of its own: korvane v1
// (rwxr-x---) and a data file in bin, the applied update script and a pack in
// home. Download() leaves v2 as the wizard does: working files, judged, and
// the list; "update" and the pack "kvnew.ini" go to home, the rest to bin.
struct UpgradeFolder {
    TempDir dir;
    std::string bin = dir / "bin", home = dir / "home";
    std::string program = bin + "/korvane";
    std::string info;
    UpgradeFolder() {
        ::mkdir(bin.c_str(), 0755);
        ::mkdir(home.c_str(), 0755);
        WriteFile(program, ProgramScript("v1"));
        ::chmod(program.c_str(), 0750);
        WriteFile(bin + "/data.txt", "old data");
        WriteFile(home + "/update", ";END\r\n");
    }
    UpgradeTarget Target() const { return {program, home, dir / "no-packages"}; }
    UpgradeFolders Folders() const { return {bin, home}; }
    UpgradePlan Download(const std::string& newData) {
        info = "#version=1.43\n#url=https://h/kv/korvane\n#url0=https://h/kv/data.txt\n"
               "#url3=https://h/kv/extra.txt\n#url4=https://h/kv/update\n"
               "#url5=https://h/kv/kvnew.ini\n#sha256=" +
               Sha256OfText(ProgramScript("v2")) + "\n";
        UpgradePlan plan(ParseInfoFile(info), Target(), Sha256OfText(info), "1.42 10/10/2005");
        const std::string contents[] = {ProgramScript("v2"), newData, "extra",
                                        "Header\r\nWRITE$Options$Marker$new\r\n", "[Info]\r\n"};
        for (size_t i = 0; i < plan.Downloads().size(); ++i) {
            int fd = plan.CreateWorkingFile(i);
            (void)!::write(fd, contents[i].data(), contents[i].size());
            ::close(fd);
            plan.AcceptFinished(i);
        }
        plan.WriteArrivedList();
        return plan;
    }
    // A program start after the upgrade applies the new script (kept as
    // update.old) and moves the new pack into Language/.
    bool AllNew() const {
        const bool script =
            StartsWith(ReadFile(home + "/update"), "Header") ||
            (Exists(home + "/update.old") && StartsWith(ReadFile(home + "/update.old"), "Header"));
        return ReadFile(program) == ProgramScript("v2") &&
               ReadFile(bin + "/data.txt") == "new data" &&
               ReadFile(bin + "/extra.txt") == "extra" && script &&
               (Exists(home + "/kvnew.ini") || Exists(home + "/Language/kvnew.ini"));
    }
    bool AllOld() const {
        return ReadFile(program) == ProgramScript("v1") &&
               ReadFile(bin + "/data.txt") == "old data" && !Exists(bin + "/extra.txt") &&
               ReadFile(home + "/update") == ";END\r\n" && !Exists(home + "/update.old") &&
               !Exists(home + "/kvnew.ini") && !Exists(home + "/Language/kvnew.ini");
    }
    // Working files, kept old files, the list or the journal left anywhere.
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> left;
        for (const std::string& folder : {bin, home})
            for (const std::string& name : ListFolder(folder, "*", false))
                if (EndsWith(name, kWorkingSuffix) || EndsWith(name, kKeptSuffix) ||
                    name == kArrivedListName || name == kReplaceJournalName ||
                    IsOwnTemporaryName(name))
                    left.push_back(name);
        return left;
    }
    static bool EndsWith(const std::string& s, const std::string& tail) {
        return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    }
};

// Upgrader3 (behind prefix, such as strace) on f's program, as the program
// hands over: the program folder in the environment.
int RunUpdater(const UpgradeFolder& f, const std::vector<std::string>& prefix,
               const std::vector<std::string>& extraEnv = {}, std::string* err = nullptr) {
    std::vector<std::string> argv = prefix;
    for (const auto& a : UpdaterArguments(UpdaterBinary(), f.program, "/afterupgrade", 0))
        argv.push_back(a);
    std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LANG=C",
                                    std::string(kUpdaterHomeVariable) + "=" + f.home};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    // No leak check under a tracer (it needs to trace the process itself).
    if (!prefix.empty())
        env.push_back("ASAN_OPTIONS=detect_leaks=0");
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* v = std::getenv(name); v && prefix.empty())
            env.push_back(std::string(name) + "=" + v);
    kvtest::ChildProgram updater(argv, env, f.dir / "updater.err");
    const int status = updater.wait(120);
    if (err)
        *err = updater.err();
    return status;
}

} // namespace

TEST(UpgradePlan, WorkingFilesChecksumsAndAbortCleanUp) {
    TempDir dir;
    EXPECT_EQ(FileNameOfUrl("http://h/a/kv.exe"), "kv.exe");
    EXPECT_EQ(FileNameOfUrl("h\\dl\\kv.ini"), "kv.ini");
    EXPECT_EQ(FileNameOfUrl("file:kv.dat"), "kv.dat");

    InfoFile info =
        ParseInfoFile(std::string("#version=2\n#url1=https://h/a/abc.bin\n#url2=h/b.bin\n"
                                  "#url3=h/c.bin\n#sha2561=") +
                      kAbcSha + "\n#sha2562=" + kAbcSha + "\n");
    UpgradePlan plan(info, {dir / "korvane", dir.path(), dir / "no-packages"});
    ASSERT_EQ(plan.Downloads().size(), 3u);
    EXPECT_EQ(plan.Downloads()[0].workPath, dir / "abc.bin.uTMP");
    EXPECT_EQ(plan.Downloads()[0].sha256, kAbcSha);
    EXPECT_EQ(plan.Downloads()[1].url, "http://h/b.bin"); // no scheme: http
    EXPECT_EQ(plan.Downloads()[2].sha256, "");

    WriteFile(dir / "abc.bin.uTMP", "abc");
    EXPECT_NO_THROW(plan.AcceptFinished(0));
    WriteFile(dir / "b.bin.uTMP", "abd"); // damaged in transit
    EXPECT_NE(ErrorOf([&] { plan.AcceptFinished(1); }).find("b.bin is damaged"), std::string::npos);
    // A download past the size limit (a sparse file) is refused before hashing.
    ASSERT_EQ(::truncate((dir / "b.bin.uTMP").c_str(), kMaxDownloadBytes + 1), 0);
    EXPECT_THROW(plan.AcceptFinished(1), UpgradeError);
    EXPECT_FALSE(UpgradePlan::DownloadSizeAllowed(kMaxDownloadBytes + 1));
    // Skipping a file removes its partial working file.
    WriteFile(dir / "c.bin.uTMP", "partial");
    plan.Skip(2);
    EXPECT_FALSE(Exists(dir / "c.bin.uTMP"));

    plan.WriteArrivedList();
    EXPECT_EQ(ReadFile(dir / kArrivedListName),
              "info - \n" + std::string(kAbcSha) + " 3 bin abc.bin\n");
    WriteFile(dir / "stale.UTMP", "from an earlier try");
    WriteFile(dir / "keep.txt", "mine");
    plan.AbortAndClean();
    EXPECT_FALSE(Exists(dir / "abc.bin.uTMP"));
    EXPECT_FALSE(Exists(dir / "b.bin.uTMP"));
    EXPECT_FALSE(Exists(dir / "stale.UTMP"));
    EXPECT_FALSE(Exists(dir / kArrivedListName));
    EXPECT_TRUE(Exists(dir / "keep.txt"));
    EXPECT_THROW(plan.WriteArrivedList(), UpgradeError); // nothing arrived any more
}

TEST(UpgradePlan, HostileListsAreRefusedBeforeAnythingIsDownloaded) {
    TempDir dir;
    WriteFile(dir / "korvane", "v1");
    const std::string db = dir / "dpkg";
    ::mkdir(db.c_str(), 0755);
    WriteFile(db + "/other.list", "/usr/share/doc\n/opt/other/bin/tool\n");
    const UpgradeTarget target{dir / "korvane", dir.path(), db};
    struct Case {
        std::string info;
        std::string refusal;
    };
    const std::string ownFile = "of this program, which an upgrade never replaces";
    const std::vector<Case> cases = {
        {"#url=https://h/Korvane.ini", "names Korvane.ini, the settings file " + ownFile},
        {"#url=https://h/KORVANE.INI", "the settings file"},
        {"#url=https://h/kvini.bak", "the settings backup"},
        {"#url=https://h/.korvane.lock", "the instance lock"},
        {"#url=https://h/KVRECV.JNL", "a transfer journal"},
        {"#url=https://h/KVSEND.JNL", "a transfer journal"},
        {"#url=https://h/LOG", "the log folder"},
        {"#url=https://h/TMP", "the temporary folder"},
        {"#url=https://h/update.old", "the copy of the applied update script"},
        {"#url=https://h/korvane.UOLD", "a working file of the upgrade"},
        {"#url=https://h/Upgrade.uLST", "a working file of the upgrade"},
        {"#url=https://h/Upgrade.uJNL", "a working file of the upgrade"},
        {"#url=https://h/Upgrade.uDONE", "a working file of the upgrade"},
        // One bad file refuses the whole list, whatever comes before it.
        {"#url=https://h/korvane\n#url0=https://h/kvini.bak", "the settings backup"},
        {"#url=https://h/dl/", "names no file"},
        {"#url=file:korvane", "file:korvane, which is not an HTTP or HTTPS address"},
        {"#url=file:///home/me/korvane", "not an HTTP or HTTPS address"},
        {"#url=ftp://h/korvane", "not an HTTP or HTTPS address"},
        {"#url=http:korvane", "not an HTTP or HTTPS address"},
        // No server: nothing may be offered that cannot be fetched.
        {"#url=/etc/passwd", "/etc/passwd, which names no server"},
        {"#url=http:///korvane", "http:///korvane, which names no server"},
        {"#url=https://user@:443/korvane", "names no server"},
        {"#url=http://[]/korvane", "names no server"},
        {"#url=https://h/korvane\n#url0=http://?x/kv.dat", "names no server"},
    };
    for (const Case& c : cases) {
        const std::string why = ErrorOf([&] { UpgradePlan(ParseInfoFile(c.info), target); });
        EXPECT_NE(why.find(c.refusal), std::string::npos) << c.info << " -> " << why;
        EXPECT_TRUE(ListFolder(dir.path(), "*.uTMP").empty());
    }
    // Allowed: the update script (it goes to the program folder), hosts with a
    // port, an IPv6 address, a user and password.
    EXPECT_EQ(ErrorOf([&] {
                  UpgradePlan(ParseInfoFile("#url=https://h/update\n#url0=127.0.0.1:8080/kv/x\n"
                                            "#url1=http://[::1]:8080/kv/y\n"
                                            "#url2=https://me:pw@h/kv/z"),
                              target);
              }),
              "");
    // Method 2 hands only web addresses to the browser.
    EXPECT_EQ(Decide(ParseInfoFile("#version=9\n#method=2\n#url=javascript:alert(1)"), {}, "K", 0)
                      .refusal.find("not an HTTP or HTTPS address") != std::string::npos,
              true);

    // An installation of the package manager never upgrades itself, whoever
    // runs it (the tests run as root, for whom every folder is writable).
    const std::string packaged = "This program was installed by the system's package manager";
    EXPECT_EQ(ErrorOf([&] {
                  UpgradePlan(ParseInfoFile("#url=https://h/korvane"),
                              {"/usr/bin/korvane", dir.path(), db});
              }).rfind(packaged, 0),
              0u);
    WriteFile(db + "/korvane.list", "/.\n/opt\n" + dir / "korvane" + "\n");
    EXPECT_EQ(ErrorOf([&] {
                  UpgradePlan(ParseInfoFile("#url=https://h/korvane"), target);
              }).rfind(packaged, 0),
              0u);
    EXPECT_FALSE(OwnedByPackageManager("/usr/local/bin/korvane", db));
    EXPECT_FALSE(OwnedByPackageManager("/opt/other/bin/tool2", db));
    EXPECT_TRUE(OwnedByPackageManager("/opt/other/bin/tool", db));
}

TEST(UpgradePlan, FilesGoWhereTheProgramReadsThemAndFoldersAreChecked) {
    UpgradeFolder f;
    UpgradePlan plan = f.Download("new data");
    std::vector<std::string> where;
    for (const auto& d : plan.Downloads())
        where.push_back(FolderOf(d.workPath));
    EXPECT_EQ(where, (std::vector<std::string>{f.bin, f.bin, f.bin, f.home, f.home}));
    const std::string list = ReadFile(f.home + "/" + kArrivedListName);
    EXPECT_NE(list.find(" bin korvane\n"), std::string::npos) << list;
    EXPECT_NE(list.find(" home update\n"), std::string::npos) << list;
    EXPECT_NE(list.find(" home kvnew.ini\n"), std::string::npos) << list;
    EXPECT_FALSE(Exists(f.bin + "/" + kArrivedListName));

    // A program folder the user cannot write refuses the script and packs.
    ASSERT_EQ(::chmod(f.home.c_str(), 0555), 0);
    std::string why;
    {
        kvtest::NoFileAccessOverride asUser;
        why = ErrorOf([&] { UpgradePlan(ParseInfoFile(f.info), f.Target()); });
        EXPECT_EQ(
            ErrorOf([&] { UpgradePlan(ParseInfoFile("#url=https://h/korvane"), f.Target()); }), "");
    }
    ::chmod(f.home.c_str(), 0755);
    EXPECT_EQ(why, FailureText(UpgradeFailure::FolderNotWritable, f.home));
}

TEST(UpgradePlan, WorkingFilesAreNeverWrittenThroughALink) {
    TempDir dir;
    WriteFile(dir / "outside.txt", "the user's file");
    WriteFile(dir / "hard.txt", "another file of the user's");
    UpgradePlan plan(ParseInfoFile("#url=https://h/a.bin\n#url0=https://h/b.bin"),
                     {dir / "korvane", dir.path(), dir / "no-packages"});
    ASSERT_EQ(::symlink((dir / "outside.txt").c_str(), (dir / "a.bin.uTMP").c_str()), 0);
    ASSERT_EQ(::link((dir / "hard.txt").c_str(), (dir / "b.bin.uTMP").c_str()), 0);
    for (size_t i = 0; i < 2; ++i) {
        int fd = plan.CreateWorkingFile(i);
        ASSERT_GE(fd, 0);
        (void)!::write(fd, "download", 8);
        ::close(fd);
        plan.AcceptFinished(i);
    }
    EXPECT_EQ(ReadFile(dir / "outside.txt"), "the user's file");
    EXPECT_EQ(ReadFile(dir / "hard.txt"), "another file of the user's");
    EXPECT_EQ(ReadFile(dir / "a.bin.uTMP"), "download");
    struct stat st {};
    ASSERT_EQ(::lstat((dir / "a.bin.uTMP").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(Upgrader, ReplacesAllOrNoneAndRecordsWhatItPutInPlace) {
    UpgradeFolder f;
    f.Download("new data");
    // A target that cannot be replaced (a folder in its place) undoes the others.
    ASSERT_EQ(::mkdir((f.bin + "/extra.txt").c_str(), 0755), 0);
    WriteFile(f.bin + "/extra.txt/inside", "x");
    EXPECT_THROW(InstallWorkingFiles(f.Folders()), UpgradeError);
    ::unlink((f.bin + "/extra.txt/inside").c_str());
    ::rmdir((f.bin + "/extra.txt").c_str());
    EXPECT_TRUE(f.AllOld());
    EXPECT_EQ(ModeOf(f.program), 0750u);
    EXPECT_EQ(f.Leftovers(), std::vector<std::string>{});
    EXPECT_FALSE(ReadInstalledRecord(f.home));

    // A working file changed after it was judged: nothing replaced, the working files go.
    f.Download("new data");
    WriteFile(f.bin + "/data.txt.uTMP", "new dat!");
    EXPECT_THROW(InstallWorkingFiles(f.Folders()), UpgradeError);
    EXPECT_TRUE(f.AllOld());
    EXPECT_EQ(f.Leftovers(), std::vector<std::string>{});

    // Whole: all in place, each where the program reads it, and recorded.
    f.Download("new data");
    EXPECT_EQ(InstallWorkingFiles(f.Folders()).size(), 5u);
    EXPECT_TRUE(f.AllNew());
    EXPECT_EQ(ModeOf(f.program), 0750u);            // the old file's mode
    EXPECT_EQ(ModeOf(f.bin + "/extra.txt"), 0644u); // a new file
    EXPECT_EQ(f.Leftovers(), std::vector<std::string>{});
    // The same published upgrade offered again to the same version: it did
    // not raise the version; said once, then quietly refused, until it changes.
    const std::string sha = Sha256OfText(f.info);
    EXPECT_EQ(JudgeRepeat(f.home, sha, "1.42 10/10/2005"), RepeatVerdict::ReportNow);
    EXPECT_EQ(JudgeRepeat(f.home, sha, "1.42 10/10/2005"), RepeatVerdict::AlreadyReported);
    EXPECT_EQ(JudgeRepeat(f.home, sha, "1.43 10/10/2005"), RepeatVerdict::NotARepeat);
    EXPECT_EQ(JudgeRepeat(f.home, Sha256OfText(f.info + "\n"), "1.42 10/10/2005"),
              RepeatVerdict::NotARepeat);
}

TEST(Upgrader, DamagedListChangesNothing) {
    // Names that leave their folder, a file listed twice, a bad size, a
    // folder a name does not belong in, one of the program's own files: each
    // list is refused as damaged before anything is replaced.
    for (const std::string& lines :
         {std::string(" 5 bin ../escaped.txt\n"), std::string(" 5 bin sub/x\n"),
          std::string(" 5 bin extra.txt\nSHA 5 bin extra.txt\n"),
          std::string(" -5 bin extra.txt\n"), std::string(" 5 home extra.txt\n"),
          std::string(" 5 bin Korvane.ini\n"), std::string(" 5 elsewhere extra.txt\n")}) {
        UpgradeFolder f;
        f.Download("new data");
        const std::string sha = Sha256OfFile(f.bin + "/extra.txt.uTMP");
        std::string list = "info - 1.42\n" + sha + lines;
        if (size_t at = list.find("SHA"); at != std::string::npos)
            list.replace(at, 3, sha);
        WriteFile(f.home + "/" + kArrivedListName, list);
        EXPECT_NE(ErrorOf([&] { InstallWorkingFiles(f.Folders()); }).find("is damaged"),
                  std::string::npos)
            << list;
        EXPECT_TRUE(f.AllOld()) << list;
        EXPECT_EQ(f.Leftovers(), std::vector<std::string>{}) << list;
    }
}

TEST(Upgrader, EndToEndWaitsForTheProgramReplacesFilesLogsAndRestartsIt) {
    UpgradeFolder f;
    TempDir tmpRoot;
    UpgradePlan plan = f.Download("new data");
    std::string leftover = WriteUpdaterCopy(UpdaterBinary(), tmpRoot.path());
    EXPECT_EQ(FolderOf(FolderOf(leftover)), tmpRoot.path());
    EXPECT_EQ(ModeOf(leftover), 0700u);
    RemoveLeftoverUpdaters(tmpRoot.path()); // as the component does when created
    EXPECT_FALSE(Exists(leftover));

    // The running program: holds the instance lock, hands over, looks at its
    // own file once more, and ends.
    pid_t program = ::fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        InstanceLock lock(f.home);
        ::setenv("TMPDIR", tmpRoot.path().c_str(), 1);
        try {
            HandOverToUpdater(plan, f.program, "/afterupgrade", 0, UpdaterBinary(), tmpRoot.path());
        } catch (...) {
            ::_exit(3);
        }
        ::usleep(300 * 1000);
        int fd = ::creat((f.dir / "seen-before-exit.txt").c_str(), 0644);
        std::string seen = ReadFile(f.program);
        (void)!::write(fd, seen.data(), seen.size());
        ::close(fd);
        ::_exit(lock.Acquired() ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(program, &status, 0), program);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadFile(f.dir / "seen-before-exit.txt"), ProgramScript("v1"));

    ASSERT_TRUE(WaitForFile(f.bin + "/ran.txt")) << "the program was not started again";
    EXPECT_EQ(ReadFile(f.bin + "/ran.txt"), "v2 /afterupgrade\n");
    EXPECT_TRUE(f.AllNew());
    EXPECT_EQ(f.Leftovers(), std::vector<std::string>{});
    // What it did is in the program's own log.
    ASSERT_TRUE(kvtest::Eventually(
        [&] {
            auto log = kvtest::SysLogLines(f.home);
            return !log.empty() &&
                   log.back() == "INFO:Upgrade put in place: korvane, data.txt, extra.txt, update, "
                                 "kvnew.ini.";
        },
        100, 50))
        << (kvtest::SysLogLines(f.home).empty() ? "" : kvtest::SysLogLines(f.home).back());
    // The updater removed its own copy and private folder.
    EXPECT_TRUE(WaitForEmptyFolder(tmpRoot.path())) << "the updater's copy was left behind";
}

TEST(Upgrader, NotWholeFilesLeaveTheOldProgramWhichIsStartedAgain) {
    UpgradeFolder f;
    f.Download("new data");
    ::unlink((f.bin + "/extra.txt.uTMP").c_str()); // lost after the download
    std::string err;
    EXPECT_EQ(RunUpdater(f, {}, {}, &err), 1) << err;
    ASSERT_TRUE(WaitForFile(f.bin + "/ran.txt"));
    EXPECT_EQ(ReadFile(f.bin + "/ran.txt"), "v1 /afterupgrade\n");
    EXPECT_TRUE(f.AllOld());
    EXPECT_EQ(f.Leftovers(), std::vector<std::string>{});
    auto log = kvtest::SysLogLines(f.home);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().rfind("ERROR:The upgrade was not put in place: The upgrade file " + f.bin +
                                   "/extra.txt.uTMP is missing",
                               0),
              0u)
        << log.back();
}

TEST(Upgrader, WaitsForTheProgramAndSaysSoWhenAnotherHoldsTheLock) {
    UpgradeFolder f;
    f.Download("new data");
    // The program ends soon; as it closes, another process takes the
    // instance lock and keeps it.
    pid_t program = ::fork();
    if (program == 0) {
        ::usleep(300 * 1000);
        ::_exit(0);
    }
    int lockFd = ::open((f.home + "/.korvane.lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(::flock(lockFd, LOCK_EX), 0);
    std::string err;
    const int status =
        RunUpdater(f, {},
                   {std::string(kUpdaterWaitPidVariable) + "=" + std::to_string(program),
                    "KORVANE_UPGRADE_WAIT=2"},
                   &err);
    ::waitpid(program, nullptr, 0);
    EXPECT_EQ(status, 1) << err;
    // Not blamed on the program, said in its log, and the program is started
    // again so the user sees what runs.
    EXPECT_EQ(err.find("did not end"), std::string::npos) << err;
    auto log = kvtest::SysLogLines(f.home);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().rfind("ERROR:Another program holds the instance lock of " + f.home, 0), 0u)
        << log.back();
    EXPECT_TRUE(WaitForFile(f.bin + "/ran.txt"));
    EXPECT_TRUE(f.AllOld());
    EXPECT_EQ(f.Leftovers(), std::vector<std::string>{});
    ::close(lockFd);
}

TEST(Upgrader, KilledAtEachRenameTheNextStartCompletesOrRollsBackAndSaysWhich) {
    const char* strace = "/usr/bin/strace";
    ASSERT_TRUE(Exists(strace)) << "strace is missing: run scripts/install-deps.sh";
    for (int n = 1;; ++n) {
        SCOPED_TRACE("killed at rename " + std::to_string(n));
        UpgradeFolder f;
        // The next start is korvaned's, from the same folder as the program.
        std::filesystem::copy_file(kvtest::BuildProgram("korvaned"), f.bin + "/korvaned");
        WriteFile(f.home + "/Korvane.ini",
                  "[Options]\r\nHost=127.0.0.1\r\nPort=" + std::to_string(kvtest::FreePort()) +
                      "\r\nUserID=u\r\n[System]\r\nLogStep=Day\r\n");
        f.Download("new data");
        const std::string when = "when=" + std::to_string(n);
        const int status =
            RunUpdater(f, {strace, "-f", "-o", "/dev/null", "-e", "trace=rename,renameat,renameat2",
                           "-e", "inject=rename,renameat,renameat2:signal=KILL:" + when});
        if (status == 0) {
            // No rename left to kill at: the whole run went through.
            EXPECT_GT(n, 3);
            EXPECT_TRUE(f.AllNew());
            EXPECT_EQ(f.Leftovers(), std::vector<std::string>{});
            break;
        }
        ASSERT_LT(n, 20) << "the updater never ran to its end";
        EXPECT_EQ(status, 128 + SIGKILL);
        // A working file spoilt after the crash: the next start cannot
        // finish the replacement and undoes it instead.
        const bool spoil = n == 3;
        if (spoil && Exists(f.bin + "/extra.txt.uTMP"))
            WriteFile(f.bin + "/extra.txt.uTMP", "spoilt");
        kvtest::ChildProgram next({f.bin + "/korvaned", "ONCE"},
                                  {"KORVANE_HOME=" + f.home, "PATH=/usr/bin:/bin", "LANG=C"},
                                  f.dir / "next.err");
        EXPECT_EQ(next.wait(), 2) << next.err(); // nobody listens at the port
        const bool allNew = f.AllNew(), allOld = f.AllOld();
        EXPECT_TRUE(allNew || allOld) << "mixed files";
        EXPECT_EQ(f.Leftovers(), std::vector<std::string>{});
        auto log = kvtest::SysLogLines(f.home);
        ASSERT_GE(log.size(), 3u);
        const std::string& said = log[2];
        if (n == 1) {
            EXPECT_TRUE(allOld);
            EXPECT_EQ(said, "INFO:A downloaded upgrade had not been put in place; its files were "
                            "removed and nothing was changed. Check for the new version again.");
        } else if (spoil) {
            EXPECT_TRUE(allOld);
            EXPECT_EQ(said.rfind("ERROR:An upgrade that was cut off has been rolled back", 0), 0u)
                << said;
        } else {
            EXPECT_TRUE(allNew);
            EXPECT_EQ(said, "INFO:An upgrade that was cut off has been completed: korvane, "
                            "data.txt, extra.txt, update, kvnew.ini put in place.");
            EXPECT_TRUE(ReadInstalledRecord(f.home));
        }
    }
}
