#include "program/Startup.h"
#include "config/IniFile.h"
#include "logging/Logs.h"
#include "support/TestSupport.h"
#include "util/Errors.h"
#include "util/Fs.h"

#include <gtest/gtest.h>

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
    EXPECT_TRUE(BackupIniFile(f.state));
    EXPECT_EQ(ReadFile(f.path("kvini.bak")), "[Options]\r\nHost=h\r\n");
    f.state.IniPath.clear(); // settings never found: no backup
    EXPECT_FALSE(BackupIniFile(f.state));
}

TEST(Startup, CreatesWorkFoldersWithDefaults) {
    StateFixture f;
    WriteFile(f.state.IniPath, "[Options]\r\nCNC102=0\r\nLocalOutPath=" + f.path("my/out") +
                                   "\r\nLocalInPath3=" + f.path("in3") +
                                   "\r\nRemoteOutPath5=x\r\n");
    IniFile ini(f.state.IniPath);
    OpenLogs(f.state);
    CreateWorkFolders(f.state, ini);
    CloseLogs(f.state);
    EXPECT_EQ(ini.ReadString("Options", "LocalInPath"), f.path("INBOX"));
    EXPECT_EQ(ini.ReadString("Options", "LocalOutPath"), f.path("my/out"));
    EXPECT_EQ(ini.ReadString("Options", "LocalErrPath"), f.path("ERROR"));
    EXPECT_EQ(ini.ReadString("Options", "LocalBackupPath"), f.path("BACKUP"));
    for (const char* d : {"INBOX", "my/out", "ERROR", "BACKUP", "TMP", "in3"})
        EXPECT_TRUE(DirectoryExists(f.path(d))) << d;
    EXPECT_FALSE(DirectoryExists(f.path("EX")));
    EXPECT_FALSE(ini.ValueExists("Options", "LocalExPath"));
    EXPECT_FALSE(ini.ValueExists("Options", "LocalInPath5")); // numbered keys: empty means unused
    EXPECT_FALSE(DirectoryExists(f.path("INBOX5")));
    EXPECT_TRUE(f.host.view.empty());
}

TEST(Startup, FolderThatCannotBeCreatedFallsBackToTheDefault) {
    StateFixture f;
    WriteFile(f.path("blocker"), "a file, so no folder can be made below it");
    const std::string bad = f.path("blocker/in");
    WriteFile(f.state.IniPath,
              "[Options]\r\nCNC102=1\r\nLocalInPath=" + bad + "\r\nLocalInPath3=" + bad + "3\r\n");
    IniFile ini(f.state.IniPath);
    f.state.MessageBoxesAllowed = true;
    OpenLogs(f.state);
    CreateWorkFolders(f.state, ini);
    CloseLogs(f.state);
    EXPECT_EQ(ini.ReadString("Options", "LocalInPath"), f.path("INBOX"));
    EXPECT_EQ(ini.ReadString("Options", "LocalInPath3"), f.path("INBOX3"));
    EXPECT_EQ(ini.ReadString("Options", "LocalExPath"), f.path("EX"));
    EXPECT_TRUE(DirectoryExists(f.path("EX")));
    ASSERT_EQ(f.host.view.size(), 2u);
    EXPECT_EQ(f.host.view[0],
              "Create Directory " + bad + " Failed!!! Change To Create Default Directory.");
    EXPECT_EQ(f.host.boxes.size(), 2u);
    auto sys = kvtest::ReadCrLfLines(f.state.logs.SysLogPath);
    EXPECT_EQ(sys, f.host.view);
}

TEST(Startup, DefaultThatCannotBeCreatedIsAnError) {
    StateFixture f;
    WriteFile(f.path("INBOX"), "a file named like the default folder");
    WriteFile(f.state.IniPath, "[Options]\r\n");
    IniFile ini(f.state.IniPath);
    EXPECT_THROW(CreateWorkFolders(f.state, ini), FileError);
}
