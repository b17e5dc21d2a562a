// The download plan and the updater: working files in the program folder,
// checksums, the abort clean-up, and Upgrader3 replacing files and restarting
// a program that records how it was started.
#include "program/Program.h"
#include "support/TestSupport.h"
#include "upgrade/HandOver.h"
#include "upgrade/InfoFile.h"
#include "upgrade/InstallFiles.h"
#include "upgrade/Sha256.h"
#include "upgrade/UpgradePlan.h"
#include "util/Fs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
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
    return "#!/bin/sh\necho \"" + version +
           " $*\" > \"$(dirname \"$0\")/ran.tmp\"\n"
           "mv \"$(dirname \"$0\")/ran.tmp\" \"$(dirname \"$0\")/ran.txt\"\n";
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

std::string UpdaterBinary() {
    const char* build = std::getenv("KORVANE_BUILD_DIR");
    return std::string(build ? build : ".") + "/bin/Upgrader3";
}

// Waits (bounded) for a file the restarted program writes.
bool WaitForFile(const std::string& path) {
    return kvtest::Eventually([&] { return Exists(path); }, 600, 50);
}

bool WaitForEmptyFolder(const std::string& folder) {
    return kvtest::Eventually([&] { return ListFolder(folder, "*", false).empty(); }, 600, 50);
}

// A program folder with korvane v1 (rwxr-x---) and a data file, and the
// downloads of v2 as the wizard leaves them: "<name>.uTMP" files, judged.
struct UpgradeFolder {
    TempDir dir;
    std::string program = dir / "korvane";
    UpgradeFolder() {
        WriteFile(program, ProgramScript("v1"));
        ::chmod(program.c_str(), 0750);
        WriteFile(dir / "data.txt", "old data");
    }
    UpgradePlan Download(const std::string& newData) {
        std::string v2 = ProgramScript("v2");
        std::string info = "#version=1.43\n#url=https://h/kv/korvane\n#url0=https://h/kv/data.txt\n"
                           "#url3=https://h/kv/extra.txt\n"; // c = 2: url3 follows
        WriteFile(dir / "korvane.uTMP", v2);
        info += "#sha256=" + Sha256OfFile(dir / "korvane.uTMP") + "\n";
        UpgradePlan plan(ParseInfoFile(info), dir.path());
        WriteFile(dir / "data.txt.uTMP", newData);
        WriteFile(dir / "extra.txt.uTMP", "extra");
        ::chmod((dir / "korvane.uTMP").c_str(), 0600);
        for (size_t i = 0; i < plan.Downloads().size(); ++i)
            plan.AcceptFinished(i);
        plan.WriteArrivedList();
        return plan;
    }
};

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
    UpgradePlan plan(info, dir.path());
    ASSERT_EQ(plan.Downloads().size(), 3u);
    EXPECT_EQ(plan.Downloads()[0].workPath, dir / "abc.bin.uTMP");
    EXPECT_EQ(plan.Downloads()[0].sha256, kAbcSha);
    EXPECT_EQ(plan.Downloads()[2].sha256, "");

    WriteFile(dir / "abc.bin.uTMP", "abc");
    EXPECT_NO_THROW(plan.AcceptFinished(0));
    WriteFile(dir / "b.bin.uTMP", "abd"); // damaged in transit
    try {
        plan.AcceptFinished(1);
        FAIL() << "a file with the wrong checksum was accepted";
    } catch (const UpgradeError& e) {
        EXPECT_NE(std::string(e.what()).find("b.bin is damaged"), std::string::npos) << e.what();
    }
    // A download past the size limit (a sparse file) is refused before hashing.
    ASSERT_EQ(::truncate((dir / "b.bin.uTMP").c_str(), kMaxDownloadBytes + 1), 0);
    EXPECT_THROW(plan.AcceptFinished(1), UpgradeError);
    EXPECT_FALSE(UpgradePlan::DownloadSizeAllowed(kMaxDownloadBytes + 1));
    // Skipping a file removes its partial working file.
    WriteFile(dir / "c.bin.uTMP", "partial");
    plan.Skip(2);
    EXPECT_FALSE(Exists(dir / "c.bin.uTMP"));

    plan.WriteArrivedList();
    EXPECT_EQ(ReadFile(dir / kArrivedListName), std::string(kAbcSha) + " 3 abc.bin\n");
    WriteFile(dir / "stale.UTMP", "from an earlier try");
    WriteFile(dir / "keep.txt", "mine");
    plan.AbortAndClean();
    EXPECT_FALSE(Exists(dir / "abc.bin.uTMP"));
    EXPECT_FALSE(Exists(dir / "b.bin.uTMP"));
    EXPECT_FALSE(Exists(dir / "stale.UTMP"));
    EXPECT_FALSE(Exists(dir / kArrivedListName));
    EXPECT_TRUE(Exists(dir / "keep.txt"));
    EXPECT_THROW(plan.WriteArrivedList(), UpgradeError); // nothing arrived any more

    // A URL that names no file is refused before anything is downloaded.
    EXPECT_THROW(UpgradePlan(ParseInfoFile("#url=https://h/dl/\n"), dir.path()), UpgradeError);
    // Nor one that names a file the upgrade keeps for itself.
    for (const char* name : {"korvane.uTMP", "korvane.UOLD", "Upgrade.uLST", ".korvane.lock"})
        EXPECT_THROW(
            UpgradePlan(ParseInfoFile(std::string("#url=https://h/") + name + "\n"), dir.path()),
            UpgradeError)
            << name;
}

TEST(UpgradePlan, FolderTheUserCannotWriteIsRefusedBeforeDownloading) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    {
        kvtest::NoFileAccessOverride asUser;
        try {
            UpgradePlan plan(ParseInfoFile("#url=https://h/korvane\n"), dir.path());
            FAIL() << "a read-only program folder was accepted";
        } catch (const UpgradeError& e) {
            std::string msg = e.what();
            EXPECT_NE(msg.find(dir.path()), std::string::npos) << msg;
            EXPECT_NE(msg.find("upgrade it the way it was installed"), std::string::npos) << msg;
        }
    }
    ::chmod(dir.path().c_str(), 0755);
}

TEST(Upgrader, ReplacesAllOrNone) {
    UpgradeFolder f;
    f.Download("new data");
    // A target that cannot be replaced (a folder in its place) undoes the others.
    ASSERT_EQ(::mkdir((f.dir / "extra.txt").c_str(), 0755), 0);
    WriteFile(f.dir / "extra.txt/inside", "x");
    EXPECT_THROW(InstallWorkingFiles(f.dir.path()), UpgradeError);
    EXPECT_EQ(ReadFile(f.program), ProgramScript("v1"));
    EXPECT_EQ(ReadFile(f.dir / "data.txt"), "old data");
    EXPECT_EQ(ModeOf(f.program), 0750u);
    EXPECT_FALSE(Exists(f.dir / "korvane.uOLD"));

    // A working file changed after it was judged: nothing replaced, the working files go.
    ::unlink((f.dir / "extra.txt/inside").c_str());
    ::rmdir((f.dir / "extra.txt").c_str());
    WriteFile(f.dir / "data.txt.uTMP", "new dat!");
    EXPECT_THROW(InstallWorkingFiles(f.dir.path()), UpgradeError);
    EXPECT_EQ(ReadFile(f.dir / "data.txt"), "old data");
    EXPECT_FALSE(Exists(f.dir / "korvane.uTMP"));
    EXPECT_FALSE(Exists(f.dir / kArrivedListName));
}

TEST(Upgrader, DamagedListChangesNothing) {
    // Names that leave the program folder, a file listed twice, a bad size:
    // each list is refused as damaged before anything is replaced.
    for (const std::string& lines :
         {std::string(" 5 ../escaped.txt\n"), std::string(" 5 sub/x\n"),
          std::string(" 5 extra.txt\nSHA 5 extra.txt\n"), std::string(" -5 extra.txt\n")}) {
        UpgradeFolder f;
        f.Download("new data");
        const std::string sha = Sha256OfFile(f.dir / "extra.txt.uTMP");
        std::string list = sha + lines;
        if (size_t at = list.find("SHA"); at != std::string::npos)
            list.replace(at, 3, sha);
        WriteFile(f.dir / kArrivedListName, list);
        try {
            InstallWorkingFiles(f.dir.path());
            ADD_FAILURE() << "accepted " << list;
        } catch (const UpgradeError& e) {
            EXPECT_NE(std::string(e.what()).find("is damaged"), std::string::npos) << e.what();
        }
        EXPECT_EQ(ReadFile(f.program), ProgramScript("v1")) << list;
        EXPECT_EQ(ReadFile(f.dir / "data.txt"), "old data") << list;
        EXPECT_FALSE(Exists(f.dir / "extra.txt")) << list;
        EXPECT_FALSE(Exists(f.dir / "extra.txt.uTMP")) << list;
    }
}

TEST(Upgrader, EndToEndWaitsForTheProgramReplacesFilesAndRestartsIt) {
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
        InstanceLock lock(f.dir.path());
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

    ASSERT_TRUE(WaitForFile(f.dir / "ran.txt")) << "the program was not started again";
    EXPECT_EQ(ReadFile(f.dir / "ran.txt"), "v2 /afterupgrade\n");
    EXPECT_EQ(ReadFile(f.dir / "data.txt"), "new data");
    EXPECT_EQ(ReadFile(f.dir / "extra.txt"), "extra");
    EXPECT_EQ(ModeOf(f.program), 0750u); // the old file's mode, not the download's 0600
    EXPECT_EQ(ModeOf(f.dir / "extra.txt"), 0644u);
    EXPECT_FALSE(Exists(f.dir / "korvane.uTMP"));
    EXPECT_FALSE(Exists(f.dir / "korvane.uOLD"));
    EXPECT_FALSE(Exists(f.dir / kArrivedListName));
    // The updater removed its own copy and private folder.
    EXPECT_TRUE(WaitForEmptyFolder(tmpRoot.path())) << "the updater's copy was left behind";
}

TEST(Upgrader, NotWholeFilesLeaveTheOldProgramWhichIsStartedAgain) {
    UpgradeFolder f;
    f.Download("new data");
    ::unlink((f.dir / "extra.txt.uTMP").c_str()); // lost after the download
    std::string updater = UpdaterBinary();
    std::vector<std::string> argv = UpdaterArguments(updater, f.program, "/afterupgrade", 1);
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, updater.c_str(), nullptr, nullptr, args.data(), environ), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    ASSERT_TRUE(WaitForFile(f.dir / "ran.txt"));
    EXPECT_EQ(ReadFile(f.dir / "ran.txt"), "v1 /afterupgrade\n");
    EXPECT_EQ(ReadFile(f.dir / "data.txt"), "old data");
    EXPECT_FALSE(Exists(f.dir / "data.txt.uTMP"));
}
