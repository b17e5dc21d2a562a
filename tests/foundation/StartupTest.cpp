#include "program/Startup.h"
#include "config/IniFile.h"
#include "config/SettingsSnapshot.h"
#include "logging/Logs.h"
#include "support/TestSupport.h"
#include "util/Errors.h"
#include "util/Fs.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kv;
using kvtest::ReadFile;
using kvtest::StateFixture;
using kvtest::WriteFile;

TEST(Startup, RestoresTheSettingsFileFromItsBackup) {
    kvtest::TempDir d;
    EXPECT_FALSE(RestoreIniFromBackup(d.path()));
    WriteFile(d / "kvini.bak", "[Options]\r\nHost=backup\r\n");
    EXPECT_TRUE(RestoreIniFromBackup(d.path()));
    EXPECT_EQ(ReadFile(d / "Korvane.ini"), "[Options]\r\nHost=backup\r\n");
    WriteFile(d / "Korvane.ini", "[Options]\r\nHost=current\r\n");
    EXPECT_TRUE(RestoreIniFromBackup(d.path()));
    EXPECT_EQ(ReadFile(d / "Korvane.ini"), "[Options]\r\nHost=current\r\n");
}

TEST(Startup, BackupAtClose) {
    StateFixture f;
    WriteFile(f.state.IniPath, "[Options]\r\nHost=h\r\n");
    ::chmod(f.state.IniPath.c_str(), 0600);
    // A start that failed reading the settings never replaces the backup.
    EXPECT_FALSE(BackupIniFile(f.state));
    EXPECT_FALSE(kvtest::Exists(f.path("kvini.bak")));
    f.state.IniReadOk = true;
    EXPECT_TRUE(BackupIniFile(f.state));
    EXPECT_EQ(ReadFile(f.path("kvini.bak")), "[Options]\r\nHost=h\r\n");
    // The backup, and a settings file restored from it, stay private.
    struct stat st {};
    ::stat(f.path("kvini.bak").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ::unlink(f.state.IniPath.c_str());
    EXPECT_TRUE(RestoreIniFromBackup(f.state.ProgramDir));
    ::stat(f.state.IniPath.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    f.state.IniPath.clear(); // settings never found: no backup
    EXPECT_FALSE(BackupIniFile(f.state));
}

TEST(Startup, CreatesWorkFoldersWithDefaults) {
    StateFixture f;
    // LocalInPath3 relative: inside the program folder, not the current folder.
    WriteFile(f.state.IniPath, "[Options]\r\nCNC102=0\r\nLocalOutPath=" + f.path("my/out") +
                                   "\r\nLocalInPath3=in3\r\nRemoteOutPath5=x\r\n");
    IniFile ini(f.state.IniPath);
    OpenLogs(f.state);
    CreateWorkFolders(f.state, SettingsSnapshot::Read(ini.Path()));
    CloseLogs(f.state);
    // The defaults by name: a copy of the program folder serves its own.
    EXPECT_EQ(ini.ReadString("Options", "LocalInPath"), "INBOX");
    EXPECT_EQ(ini.ReadString("Options", "LocalOutPath"), f.path("my/out"));
    EXPECT_EQ(ini.ReadString("Options", "LocalErrPath"), "ERROR");
    EXPECT_EQ(ini.ReadString("Options", "LocalBackupPath"), "BACKUP");
    EXPECT_EQ(ini.ReadString("Options", "LocalInPath3"), "in3");
    for (const char* d : {"INBOX", "my/out", "ERROR", "BACKUP", "TMP", "in3"})
        EXPECT_TRUE(DirectoryExists(f.path(d))) << d;
    EXPECT_FALSE(DirectoryExists(f.path("EX")));
    EXPECT_FALSE(ini.ValueExists("Options", "LocalExPath"));
    EXPECT_FALSE(ini.ValueExists("Options", "LocalInPath5")); // numbered keys: empty means unused
    EXPECT_FALSE(DirectoryExists(f.path("INBOX5")));
    EXPECT_TRUE(f.host.view.empty());
}

// A folder that cannot be created (a mount not up yet) keeps its setting:
// nothing is sent to the default folder instead. The line counts as an error.
TEST(Startup, FolderThatCannotBeCreatedKeepsItsSetting) {
    StateFixture f;
    WriteFile(f.path("blocker"), "a file, so no folder can be made below it");
    const std::string bad = f.path("blocker/in");
    WriteFile(f.state.IniPath,
              "[Options]\r\nCNC102=1\r\nLocalInPath=" + bad + "\r\nLocalInPath3=" + bad + "3\r\n");
    IniFile ini(f.state.IniPath);
    f.state.MessageBoxesAllowed = true;
    OpenLogs(f.state);
    CreateWorkFolders(f.state, SettingsSnapshot::Read(ini.Path()));
    CloseLogs(f.state);
    EXPECT_EQ(ini.ReadString("Options", "LocalInPath"), bad);
    EXPECT_EQ(ini.ReadString("Options", "LocalInPath3"), bad + "3");
    EXPECT_EQ(ini.ReadString("Options", "LocalExPath"), "EX");
    EXPECT_TRUE(DirectoryExists(f.path("EX")));
    EXPECT_FALSE(DirectoryExists(f.path("INBOX")));
    ASSERT_EQ(f.host.view.size(), 2u);
    EXPECT_EQ(f.host.view[0], "Create Directory " + bad + " Failed!!!");
    EXPECT_EQ(f.host.boxes.size(), 2u);
    EXPECT_EQ(f.state.ErrorLinesReported, 2);
    auto sys = kvtest::ReadCrLfLines(f.state.logs.SysLogPath);
    EXPECT_EQ(sys, f.host.view);
}

TEST(Startup, DefaultThatCannotBeCreatedIsAnError) {
    StateFixture f;
    WriteFile(f.path("INBOX"), "a file named like the default folder");
    WriteFile(f.state.IniPath, "[Options]\r\n");
    IniFile ini(f.state.IniPath);
    EXPECT_THROW(CreateWorkFolders(f.state, SettingsSnapshot::Read(ini.Path())), FileError);
}

// A relative KORVANE_HOME names an absolute program folder, so no relative
// folder ever reaches the settings.
TEST(Startup, RelativeProgramFolderIsMadeAbsolute) {
    const char* old = std::getenv("KORVANE_HOME");
    std::string saved = old ? old : "";
    ::setenv("KORVANE_HOME", "some/home/", 1);
    std::string folder = ProgramFolder();
    if (old)
        ::setenv("KORVANE_HOME", saved.c_str(), 1);
    else
        ::unsetenv("KORVANE_HOME");
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(folder, std::string(cwd) + "/some/home");
}
