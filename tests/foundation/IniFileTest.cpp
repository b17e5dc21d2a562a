#include "config/IniFile.h"
#include "support/TestSupport.h"
#include "util/Errors.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/Fs.h"

using namespace kv;
using kvtest::ReadFile;
using kvtest::TempDir;
using kvtest::WriteFile;

TEST(IniFile, ReadsWithProfileSemantics) {
    TempDir d;
    WriteFile(d / "a.ini", "\xEF\xBB\xBF[Options]\r\n"
                           "; a comment=not a key\r\n"
                           "  Host =  ftp.example.org  \r\n"
                           "Quoted=\"  spaced  \"\r\n"
                           "Single='x'\r\n"
                           "Half=\"x\r\n"
                           "Port=2121\r\n"
                           "junk line without equals\r\n"
                           "[other]\n"
                           "host=second\n"
                           "[OPTIONS]\r\n"
                           "Host=duplicate section is ignored\r\n");
    IniFile ini(d / "a.ini");
    EXPECT_EQ(ini.ReadString("options", "HOST"), "ftp.example.org");
    EXPECT_EQ(ini.ReadString("Options", "Quoted"), "  spaced  ");
    EXPECT_EQ(ini.ReadString("Options", "Single"), "x");
    EXPECT_EQ(ini.ReadString("Options", "Half"), "\"x");
    EXPECT_EQ(ini.ReadString("Other", "Host"), "second");
    EXPECT_EQ(ini.ReadString("Options", "Missing"), "");
    EXPECT_EQ(ini.ReadString("Nowhere", "Host", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadString("Options", "; a comment"), "");
    EXPECT_EQ(ini.ReadInteger("Options", "Port"), 2121);
    EXPECT_EQ(ini.ReadInteger("Options", "Host"), 0);
    EXPECT_EQ(ini.ReadInteger("Options", "Missing", 7), 7);
    // Out of range is not a number (no wrap-around: 2^32 + 1 is not 1).
    IniFile big(d / "big.ini");
    big.WriteString("Proxy", "ProxyType", "4294967297");
    big.WriteString("Proxy", "Port", "-99999999999");
    EXPECT_EQ(big.ReadInteger("Proxy", "ProxyType", 0), 0);
    EXPECT_EQ(big.ReadInteger("Proxy", "Port", 5), 5);
    EXPECT_TRUE(ini.SectionExists("other"));
    EXPECT_EQ(ini.ReadSection("Options"),
              (std::vector<std::string>{"Host", "Quoted", "Single", "Half", "Port"}));
    IniFile missing(d / "none.ini");
    EXPECT_EQ(missing.ReadString("Options", "Host"), "");
}

TEST(IniFile, WritesInPlaceAppendsAndKeepsEverythingElse) {
    TempDir d;
    const std::string original = "; header comment\n"
                                 "[Options]\n"
                                 "Host = old   \n"
                                 "Unknown=kept as is  \n"
                                 "\n"
                                 "[KVTray]\r\n"
                                 "MustReBoot=0\r\n";
    WriteFile(d / "a.ini", original);
    IniFile ini(d / "a.ini");
    ini.WriteString("options", "host", "new.example.org");
    ini.WriteString("Options", "Port", "21");
    ini.WriteString("Proxy", "ProxyType", "0");
    ini.WriteInteger("View", "DebugView", 1);
    EXPECT_EQ(ReadFile(d / "a.ini"), "; header comment\n"
                                     "[Options]\n"
                                     "Host=new.example.org\n"
                                     "Unknown=kept as is  \n"
                                     "Port=21\r\n"
                                     "\n"
                                     "[KVTray]\r\n"
                                     "MustReBoot=0\r\n"
                                     "[Proxy]\r\n"
                                     "ProxyType=0\r\n"
                                     "[View]\r\n"
                                     "DebugView=1\r\n");
    // A second object on the same file sees the writes at once (no cache).
    IniFile other(d / "a.ini");
    EXPECT_EQ(other.ReadString("OPTIONS", "HOST"), "new.example.org");
    other.WriteString("KVTray", "MustReBoot", "1");
    EXPECT_EQ(ini.ReadString("KVTray", "MustReBoot"), "1");
}

TEST(IniFile, CreatesFileAndHandlesLastLineWithoutBreak) {
    TempDir d;
    IniFile ini(d / "new.ini");
    ini.WriteString("Options", "Host", "h");
    EXPECT_EQ(ReadFile(d / "new.ini"), "[Options]\r\nHost=h\r\n");
    WriteFile(d / "b.ini", "[Options]\r\nHost=h");
    IniFile b(d / "b.ini");
    b.WriteString("Options", "Port", "1");
    EXPECT_EQ(ReadFile(d / "b.ini"), "[Options]\r\nHost=h\r\nPort=1\r\n");
    WriteFile(d / "c.ini", "[A]\r\nx=1");
    IniFile c(d / "c.ini");
    c.WriteString("B", "y", "2");
    EXPECT_EQ(ReadFile(d / "c.ini"), "[A]\r\nx=1\r\n[B]\r\ny=2\r\n");
}

TEST(IniFile, BadInputIsRefusedAndNothingIsLost) {
    TempDir d;
    const std::string original = "[Options]\r\nHost=h\r\n";
    WriteFile(d / "a.ini", original);
    IniFile ini(d / "a.ini");
    EXPECT_THROW(ini.WriteString("Options", "Host", "two\r\nlines"), IniError);
    EXPECT_THROW(ini.WriteString("Options", "a=b", "x"), IniError);
    EXPECT_THROW(ini.WriteString("Opt]ions", "a", "x"), IniError);
    EXPECT_THROW(ini.WriteString("Options", "", "x"), IniError);
    EXPECT_EQ(ReadFile(d / "a.ini"), original);

    // A 10 MB value and non-UTF-8 bytes are stored and read back whole.
    std::string big(10 * 1024 * 1024, 'x');
    ini.WriteString("Options", "Big", big);
    ini.WriteString("Options", "Gbk", "\xD6\xD0\xCE\xC4\xFF");
    EXPECT_EQ(ini.ReadString("Options", "Big"), big);
    EXPECT_EQ(ini.ReadString("Options", "Gbk"), "\xD6\xD0\xCE\xC4\xFF");
    EXPECT_EQ(ini.ReadString("Options", "Host"), "h");
}

TEST(IniFile, FailedWriteLeavesTheOldFile) {
    kvtest::NoFileAccessOverride asUser; // root would ignore the folder's permissions
    TempDir d;
    ::mkdir((d / "ro").c_str(), 0755);
    WriteFile(d / "ro/a.ini", "[Options]\r\nHost=h\r\n");
    ::chmod((d / "ro").c_str(), 0555);
    IniFile ini(d / "ro/a.ini");
    EXPECT_THROW(ini.WriteString("Options", "Host", "x"), IniError);
    EXPECT_EQ(ReadFile(d / "ro/a.ini"), "[Options]\r\nHost=h\r\n");
    // A folder that does not exist: a clear error, nothing created.
    IniFile nowhere(d / "missing/a.ini");
    try {
        nowhere.WriteString("Options", "Host", "x");
        ADD_FAILURE() << "wrote into a missing folder";
    } catch (const IniError& e) {
        EXPECT_NE(std::string(e.what()).find(d / "missing/a.ini"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(kvtest::Exists(d / "missing"));
}

TEST(IniFile, FullDiskLeavesTheOldFileAndNoTemporary) {
    // /dev/full refuses every write: a write through a temporary file in a
    // folder that cannot take it must fail cleanly. Simulate with a folder on
    // which the temporary file cannot grow: a file size limit.
    TempDir d;
    const std::string original = "[Options]\r\nHost=h\r\n";
    WriteFile(d / "a.ini", original);
    IniFile ini(d / "a.ini");
    struct rlimit old;
    ::getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit lim = old;
    lim.rlim_cur = 64;
    ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &lim);
    EXPECT_THROW(ini.WriteString("Options", "Big", std::string(1000, 'y')), IniError);
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(ReadFile(d / "a.ini"), original);
    EXPECT_EQ(kv::ListFolder(d.path(), "*", true), std::vector<std::string>{"a.ini"});
}

// A settings file that is a link is written at its target (the link stays);
// a new settings file is private.
TEST(IniFile, WritesThroughLinksAndCreatesPrivateFiles) {
    kvtest::TempDir d;
    ::mkdir((d / "real").c_str(), 0755);
    WriteFile(d / "real/Korvane.ini", "[Options]\r\nHost=a\r\n");
    ASSERT_EQ(::symlink("real/Korvane.ini", (d / "Korvane.ini").c_str()), 0);
    IniFile ini(d / "Korvane.ini");
    ini.WriteString("Options", "Host", "b");
    struct stat st {};
    ASSERT_EQ(::lstat((d / "Korvane.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFile(d / "real/Korvane.ini"), "[Options]\r\nHost=b\r\n");

    IniFile fresh(d / "new.ini");
    fresh.WriteString("Options", "Password", "x");
    ::stat((d / "new.ini").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}
