// korvaned's command line: the common options, refusals that name the word,
// standard output for --help and --version, and commands that only read
// never making a folder or a file.
#include "program/CommandLine.h"
#include "app/Settings.h"
#include "config/IniFile.h"
#include "config/WnDes.h"
#include "support/ChildProgram.h"
#include "support/TestSupport.h"
#include "util/Fs.h"

#include <gtest/gtest.h>

using kvtest::ReadFile;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

struct Outcome {
    int code;
    std::string out, err;
};

// korvaned with the words and the environment; its two outputs kept.
Outcome Korvaned(const TempDir& dir, const std::vector<std::string>& words,
                 const std::vector<std::string>& env) {
    std::vector<std::string> argv{"/bin/sh", "-c",
                                  "exec \"$0\" \"$@\" >\"$KV_OUT\" <\"${KV_IN:-/dev/null}\"",
                                  kvtest::BuildProgram("korvaned")};
    argv.insert(argv.end(), words.begin(), words.end());
    std::vector<std::string> environment = env;
    environment.push_back("KV_OUT=" + (dir / "out.txt"));
    kvtest::ChildProgram p(argv, environment, dir / "err.txt");
    Outcome r;
    r.code = p.wait();
    r.out = ReadFile(dir / "out.txt");
    r.err = p.err();
    return r;
}

} // namespace

TEST(CommandLine, CommonOptionsAndRefusals) {
    struct Case {
        std::vector<std::string> args;
        std::string command, folder, rest, refusal;
        bool help = false, version = false;
    };
    const Case cases[] = {
        {{"once"}, "ONCE", "", "", ""},
        {{"--folder", "/srv/a", "HISTORY", "--csv"}, "HISTORY", "/srv/a", "--csv", ""},
        {{"CHECK", "-w", "1m", "--folder=/srv/b"}, "CHECK", "/srv/b", "-w 1m", ""},
        {{"status", "--help"}, "STATUS", "", "", "", true},
        {{"--version"}, "", "", "", "", false, true},
        {{"ONSE"}, "ONSE", "", "", "unknown command 'ONSE'"},
        {{"--typo", "ONCE"}, "", "", "", "unknown option '--typo'"},
        {{"ONCE", "--folder"}, "ONCE", "", "", "option --folder needs a folder"},
        {{"ONCE", "--folder="}, "ONCE", "", "", "option --folder needs a folder"},
        {{"ONCE", "--folder", "/a", "--folder", "/b"},
         "ONCE",
         "/a",
         "",
         "option --folder given twice"},
        {{"FOO\x1b[2J"}, "FOO\x1b[2J", "", "", "unknown command 'FOO?[2J'"},
    };
    for (const Case& c : cases) {
        const kv::CommandLine line = kv::ParseCommandLine(c.args, kv::KorvanedCommands());
        std::string rest;
        for (const std::string& w : line.rest)
            rest += (rest.empty() ? "" : " ") + w;
        SCOPED_TRACE(c.args[0]);
        EXPECT_EQ(line.refusal, c.refusal);
        if (!c.refusal.empty())
            continue;
        EXPECT_EQ(line.command, c.command);
        EXPECT_EQ(line.folder, c.folder);
        EXPECT_EQ(rest, c.rest);
        EXPECT_EQ(line.help, c.help);
        EXPECT_EQ(line.version, c.version);
    }
    EXPECT_EQ(kv::UnexpectedWord("SRV", "--typo"), "unknown option '--typo' for SRV");
    EXPECT_EQ(kv::UnexpectedWord("ONCE", "x"), "unexpected argument 'x' for ONCE");
}

TEST(CommandLine, KorvanedRefusesByNameAndReadsWithoutMaking) {
    TempDir dir;
    const std::string home = dir / "home";   // the mailbox KORVANE_HOME names
    const std::string other = dir / "other"; // a second one, named by --folder
    ASSERT_TRUE(kv::ForceDirectories(home));
    WriteFile(home + "/Korvane.ini", "[Options]\r\nHost=\r\n");
    const std::string typo = dir / "typo";
    const std::vector<std::string> env{"KORVANE_HOME=" + home, "PATH=/usr/bin:/bin", "LANG=C",
                                       "XDG_DATA_HOME=" + (dir / "xdg"), "HOME=" + (dir / "h")};
    // Without KORVANE_HOME: the user's folder, which commands that only read
    // never make.
    const std::vector<std::string> noHome(env.begin() + 1, env.end());
    struct Case {
        std::vector<std::string> args;
        bool withHome;
        int code;
        std::string out, err; // texts each stream holds ("" : empty stream)
    };
    const Case cases[] = {
        {{"--help"}, true, 0, "usage: korvaned COMMAND [--folder DIR]", ""},
        {{"STATUS", "--help"}, true, 0, "  --folder DIR  the program folder", ""},
        {{"--version"}, true, 0, "korvaned " KORVANE_VERSION "\n", ""},
        {{}, true, 2, "", "usage: korvaned"},
        {{"FOO"}, true, 2, "", "korvaned: unknown command 'FOO'\nRun korvaned --help"},
        {{"--typo"}, true, 2, "", "unknown option '--typo'"},
        {{"SRV", "--typo"}, true, 2, "", "unknown option '--typo' for SRV"},
        {{"ONCE", "extra"}, true, 2, "", "unexpected argument 'extra' for ONCE"},
        {{"STATUS", "now"}, true, 2, "", "unexpected argument 'now' for STATUS"},
        {{"PASSWORD", "x"}, true, 2, "", "unexpected argument 'x' for PASSWORD"},
        {{"INIT", typo, "b"}, true, 2, "", "unexpected argument 'b' for INIT"},
        {{"INIT", "--folder", typo, typo}, true, 2, "", "unexpected argument"},
        {{"HISTORY", "--bogus"}, true, 2, "", "unknown option '--bogus'"},
        {{"HISTORY", "--match"}, true, 2, "", "option --match needs a value"},
        {{"HISTORY", "--folder", typo},
         true,
         2,
         "",
         typo + " is not a program folder (no such folder)"},
        {{"STATUS", "--folder", typo}, true, 1, "", "is not a program folder"},
        {{"TEST", "now"}, true, 2, "", "unexpected argument 'now' for TEST"},
        {{"TEST", "--folder", typo}, true, 2, "", typo + " is not a program folder"},
        {{"TEST"}, false, 2, "", "is not a program folder"},
        {{"TEST"}, true, 2, "", "Options/Host is empty in " + home + "/Korvane.ini"},
        {{"CHECK", "--warn", "1m", "--crit", "2m", "--folder", typo},
         true,
         3,
         "KORVANE UNKNOWN - " + typo + " is not a program folder",
         ""},
        {{"ONCE", "--folder", typo}, true, 2, "", "Cannot use the program folder " + typo},
        {{"CHECK", "--folder"}, true, 3, "KORVANE UNKNOWN - option --folder needs a folder", ""},
        // A program folder without history: nothing, and nothing made.
        {{"HISTORY", "--json"}, true, 0, "[]\n", ""},
        {{"CHECK", "--warn", "1m", "--crit", "2m"}, false, 3, "KORVANE UNKNOWN - ", ""},
        {{"HISTORY"}, false, 2, "", "is not a program folder"},
        {{"STATUS"}, false, 1, "", "is not a program folder"},
        // A new mailbox from the template; --folder runs it, not
        // KORVANE_HOME's, and its empty Options/Host says so and what to do.
        {{"INIT", "--folder", other}, true, 0, "Made the program folder " + other, ""},
        {{"once", "--folder", other},
         true,
         2,
         "",
         "Options/Host is empty in " + other + "/Korvane.ini: no mailbox is set up"},
    };
    for (const Case& c : cases) {
        std::string words;
        for (const std::string& w : c.args)
            words += w + " ";
        SCOPED_TRACE(words);
        const Outcome r = Korvaned(dir, c.args, c.withHome ? env : noHome);
        EXPECT_EQ(r.code, c.code) << r.out << r.err;
        if (c.out.empty())
            EXPECT_EQ(r.out, "");
        else
            EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        if (c.err.empty())
            EXPECT_EQ(r.err, "");
        else
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    EXPECT_FALSE(kvtest::Exists(typo));
    EXPECT_FALSE(kvtest::Exists(dir / "xdg"));
    EXPECT_FALSE(kvtest::Exists(home + "/LOG"));
    // The empty host stopped the run before any name lookup, and the
    // status says why.
    for (const std::string& line : kvtest::SysLogLines(other))
        EXPECT_EQ(line.find("Resolving hostname"), std::string::npos) << line;
    EXPECT_NE(ReadFile(other + "/LOG/KVSTATUS.json").find("Options/Host is empty"),
              std::string::npos);
}

// INIT with the mailbox's essentials as options (the password from standard
// input): each bad value refused with the option named before anything is
// made, the good ones written into the new folder's Korvane.ini.
TEST(CommandLine, InitWritesTheEssentialsItIsGiven) {
    TempDir dir;
    WriteFile(dir / "password", "pa ss\n");
    WriteFile(dir / "ca.pem", "-----BEGIN CERTIFICATE-----\n");
    const std::string key = "SHA256:" + std::string(43, 'k');
    const std::string fingerprint = std::string(62, 'a') + ":0F";
    const std::vector<std::string> env{"PATH=/usr/bin:/bin", "LANG=C",
                                       "KV_IN=" + (dir / "password")};
    struct Case {
        std::vector<std::string> args;
        std::string refusal; // empty: made, with the values below
        std::vector<std::pair<std::string, std::string>> values;
    };
    const Case cases[] = {
        {{"--host", "ftp.example", "--user", "edi", "--password-stdin", "--sender", "me"},
         "",
         {{"Host", "ftp.example"},
          {"NetType", "Custom"},
          {"UserID", "edi"},
          {"Password", kv::EncryptToHex("pa ss", kv::kPasswordKey)},
          {"FileSender", "ME"},
          {"Port", "21"},
          {"Protocol", "FTP"}}},
        {{"--protocol", "sftp", "--host-key", key, "--host=h"},
         "",
         {{"Protocol", "SFTP"}, {"Port", "22"}, {"FTPS", "0"}, {"SFTPHostKey", key}}},
        {{"--protocol", "FTPS", "--port", "990", "--ca-file", dir / "ca.pem", "--fingerprint",
          fingerprint},
         "",
         {{"Protocol", "FTP"},
          {"FTPS", "1"},
          {"Port", "990"},
          {"FTPSCAFile", dir / "ca.pem"},
          {"FTPSFingerprint", fingerprint}}},
        {{"--protocol", "SCP"}, "--protocol must be FTP, FTPS or SFTP, not 'SCP'", {}},
        {{"--port", "70000"}, "--port needs a port number from 1 to 65535", {}},
        {{"--port", "-1"}, "--port needs a port number from 1 to 65535", {}},
        {{"--host-key", key}, "--host-key pins an SFTP server's key", {}},
        {{"--protocol", "SFTP", "--host-key", "MD5:aa"}, "--host-key needs the key's", {}},
        {{"--protocol", "FTPS", "--fingerprint", "12:34"}, "--fingerprint needs", {}},
        {{"--protocol", "FTPS", "--ca-file", dir / "none.pem"}, "--ca-file names no file", {}},
        {{"--fingerprint", fingerprint}, "--fingerprint concerns FTPS", {}},
        {{"--host"}, "option --host needs a value", {}},
        {{"--host", "a", "--host", "b"}, "option --host given twice", {}},
        {{"--hots", "a"}, "unknown option '--hots' for INIT", {}},
        {{"--host", "a b"}, "--host needs a host name or address without blanks", {}},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string folder = dir / ("m" + std::to_string(++n));
        std::vector<std::string> words{"INIT", folder};
        words.insert(words.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(folder);
        const Outcome r = Korvaned(dir, words, env);
        if (!c.refusal.empty()) {
            EXPECT_EQ(r.code, 2);
            EXPECT_NE(r.err.find(c.refusal), std::string::npos) << r.err;
            EXPECT_FALSE(kvtest::Exists(folder));
            continue;
        }
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.out.find("korvaned TEST --folder " + folder), std::string::npos) << r.out;
        kv::IniFile ini(folder + "/Korvane.ini");
        for (const auto& [name, value] : c.values)
            EXPECT_EQ(ini.ReadString("Options", name, ""), value) << name;
    }
}
