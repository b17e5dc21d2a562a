#include "logging/UpdateScript.h"
#include "config/IniFile.h"
#include "logging/Logs.h"
#include "support/TestSupport.h"
#include "util/Errors.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace kv;
using kvtest::ReadFile;
using kvtest::StateFixture;
using kvtest::WithoutStamp;
using kvtest::WriteFile;

using Fields = std::vector<std::string>;

TEST(UpdateScript, SplitsFieldsAtDollars) {
    EXPECT_EQ(SplitUpdateLine("WRITE$Options$Port$2121"),
              (Fields{"WRITE", "Options", "Port", "2121"}));
    EXPECT_EQ(SplitUpdateLine("$$WRITE$$Options$$$Port$2121$"),
              (Fields{"WRITE", "Options", "Port", "2121"}));
    EXPECT_EQ(SplitUpdateLine("WRITE$Options$Host$"), (Fields{"WRITE", "Options", "Host"}));
    EXPECT_EQ(SplitUpdateLine("WRITE$S$K$'a$b'$extra"),
              (Fields{"WRITE", "S", "K", "'a$b'", "extra"}));
    EXPECT_EQ(SplitUpdateLine("WRITE$S$K$x\"a$b\"y"), (Fields{"WRITE", "S", "K", "x\"a$b\"y"}));
    EXPECT_EQ(SplitUpdateLine("WRITE$S$K$'unclosed$rest"),
              (Fields{"WRITE", "S", "K", "'unclosed$rest"}));
    EXPECT_TRUE(SplitUpdateLine("").empty());
}

TEST(UpdateScript, VersionNumbersIgnoreTheLocale) {
    EXPECT_EQ(ParseVersionNumber("1.42"), 1.42);
    EXPECT_EQ(ParseVersionNumber(" 1.10 "), 1.1);
    EXPECT_EQ(ParseVersionNumber("2"), 2.0);
    EXPECT_FALSE(ParseVersionNumber(""));
    EXPECT_FALSE(ParseVersionNumber("1,42"));
    EXPECT_FALSE(ParseVersionNumber("v1.4"));
}

struct UpdateFixture : StateFixture {
    IniFile ini{state.IniPath};
    UpdateFixture() { OpenLogs(state); }
    ~UpdateFixture() { CloseLogs(state); }
    void Apply() { ApplyUpdateScript(state); }
};

TEST(UpdateScript, AppliesOncePerNewVersion) {
    UpdateFixture f;
    WriteFile(f.state.IniPath, "[Options]\r\nVersionNumber=1.4\r\nLogStep=\r\nPort=21\r\n"
                               "[System]\r\nLogStep=Month\r\n[Proxy]\r\nHost=\r\n");
    const std::string script = "WRITE$Options$Host$first line is never run\r\n"
                               "write$Options$Port$2121\r\n"
                               "ADD$System$LogStep$DAY\r\n"
                               "ADD$Options$LogStep$DAY\r\n"
                               "CHANGE$Proxy$Host$proxy.example\r\n"
                               "CHANGE$Options$Port$3000\r\n"
                               "WRITE$Options$Note$'a$b'\n"
                               "WRITE$Options$Empty$\r\n"
                               "DELETE$Options$Port$1\r\n"
                               "WRITE$Options$Port\r\n"
                               "WRITE$New$Key$v$ignored\r\n"
                               "WRITE$Options$Broken$a\rb\r\n"
                               "ADD$New$Key$not written after the WRITE\r\n"
                               "WRITE$Options$After$still applied\r\n";
    WriteFile(f.path("update"), script);
    f.Apply();
    EXPECT_EQ(f.ini.ReadString("Options", "VersionNumber"), "1.42");
    EXPECT_EQ(f.ini.ReadString("Options", "Host"), "");
    EXPECT_EQ(f.ini.ReadString("Options", "Port"), "3000");
    EXPECT_EQ(f.ini.ReadString("System", "LogStep"), "Month");
    EXPECT_EQ(f.ini.ReadString("Options", "LogStep"), "DAY");
    EXPECT_EQ(f.ini.ReadString("Proxy", "Host"), "");
    EXPECT_NE(ReadFile(f.state.IniPath).find("Note='a$b'\r\n"), std::string::npos);
    EXPECT_FALSE(f.ini.ValueExists("Options", "Empty"));
    EXPECT_EQ(f.ini.ReadString("New", "Key"), "v");
    // A value with a line break is a malformed line: skipped, the rest applied.
    EXPECT_FALSE(f.ini.ValueExists("Options", "Broken"));
    EXPECT_EQ(f.ini.ReadString("Options", "After"), "still applied");
    EXPECT_EQ(ReadFile(f.path("update")), ";END\r\n");
    EXPECT_EQ(ReadFile(f.path("update.old")), script);
    ASSERT_EQ(f.host.view.size(), 1u);
    EXPECT_EQ(WithoutStamp(f.host.view[0]), "INFO:Program Update Sucess!");

    // Next start of the same version: nothing happens.
    f.ini.WriteString("Options", "Port", "21");
    WriteFile(f.path("update"), "pending\r\nWRITE$Options$Port$9\r\n");
    f.Apply();
    EXPECT_EQ(f.ini.ReadString("Options", "Port"), "21");
    EXPECT_EQ(f.host.view.size(), 1u);
}

TEST(UpdateScript, VersionGateAndMarkers) {
    UpdateFixture f;
    // 1.10 is smaller than 1.9 as a number: a 1.9 program applies the script.
    f.state.ProgramVersion = "1.9";
    WriteFile(f.state.IniPath, "[Options]\r\nVersionNumber=1.10\r\n");
    WriteFile(f.path("update"), "\r\nWRITE$Options$A$1\r\n");
    f.Apply();
    EXPECT_EQ(f.ini.ReadString("Options", "A"), "1");
    EXPECT_EQ(f.ini.ReadString("Options", "VersionNumber"), "1.9");

    // Already applied (";END"): the version is raised, nothing else.
    f.state.ProgramVersion = "2.0";
    WriteFile(f.path("update"), ";END\r\nWRITE$Options$A$2\r\n");
    f.Apply();
    EXPECT_EQ(f.ini.ReadString("Options", "A"), "1");
    EXPECT_EQ(f.ini.ReadString("Options", "VersionNumber"), "2.0");

    // No script at all: only the version is raised. A non-numeric recorded version counts as 0.
    f.state.ProgramVersion = "1.42";
    f.ini.WriteString("Options", "VersionNumber", "garbage");
    ::unlink(f.path("update").c_str());
    f.Apply();
    EXPECT_EQ(f.ini.ReadString("Options", "VersionNumber"), "1.42");

    // An empty script is pending: it becomes ";END", the backup is empty, success is logged.
    f.ini.WriteString("Options", "VersionNumber", "1.0");
    WriteFile(f.path("update"), "");
    size_t before = f.host.view.size();
    f.Apply();
    EXPECT_EQ(ReadFile(f.path("update")), ";END\r\n");
    EXPECT_EQ(ReadFile(f.path("update.old")), "");
    EXPECT_EQ(f.host.view.size(), before + 1);
}

TEST(UpdateScript, UnreadableScriptRaisesAfterTheVersionIsRaised) {
    kvtest::NoFileAccessOverride asUser; // root would read the file anyway
    UpdateFixture f;
    WriteFile(f.state.IniPath, "[Options]\r\nVersionNumber=1.0\r\n");
    WriteFile(f.path("update"), "x\r\nWRITE$Options$A$1\r\n");
    ::chmod(f.path("update").c_str(), 0);
    EXPECT_THROW(f.Apply(), FileError);
    EXPECT_EQ(f.ini.ReadString("Options", "VersionNumber"), "1.42");
    EXPECT_EQ(f.ini.ReadString("Options", "A"), "");
}

TEST(UpdateScript, ScriptThatIsAFolderFailsWithoutLosingIt) {
    UpdateFixture f;
    WriteFile(f.state.IniPath, "[Options]\r\nVersionNumber=1.0\r\n");
    ::mkdir(f.path("update.old").c_str(), 0755); // the backup cannot be written
    WriteFile(f.path("update"), "x\r\nWRITE$Options$A$1\r\n");
    EXPECT_THROW(f.Apply(), FileError);
    EXPECT_EQ(ReadFile(f.path("update")), "x\r\nWRITE$Options$A$1\r\n");
    EXPECT_EQ(f.ini.ReadString("Options", "A"), "");
}
