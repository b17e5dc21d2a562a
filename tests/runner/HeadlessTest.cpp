// The headless runner end to end: korvaned started as a child process in a
// program folder of its own, against a real vsftpd.
#include "app/AppState.h"
#include "app/Settings.h"
#include "config/IniFile.h"
#include "config/WnDes.h"
#include "logging/Logs.h"
#include "program/Program.h"
#include "support/ChildProgram.h"
#include "support/Servers.h"
#include "support/SftpServer.h"
#include "support/TestSupport.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Json.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace kv;
using kvtest::ReadFile;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

kvtest::VsftpdServer& Server() {
    static kvtest::VsftpdServer server;
    return server;
}

// korvaned with the given words in a program folder; stderr goes to a file.
class Runner : public kvtest::ChildProgram {
public:
    Runner(const std::string& home, const std::vector<std::string>& words)
        : ChildProgram(Argv(words), {"KORVANE_HOME=" + home, "PATH=/usr/bin:/bin", "LANG=C"},
                       home + "/stderr.txt") {
        if (!started())
            ADD_FAILURE() << "cannot start korvaned";
    }

private:
    static std::vector<std::string> Argv(const std::vector<std::string>& words) {
        std::vector<std::string> argv{kvtest::BuildProgram("korvaned")};
        argv.insert(argv.end(), words.begin(), words.end());
        return argv;
    }
};

// A program folder whose settings point at the test server.
struct Home {
    TempDir dir;
    std::string path(const std::string& name) const { return dir / name; }
    void Settings(int port = 0) { SettingsFor(Server(), port); }
    void SettingsFor(kvtest::FtpServer& s, int port = 0) {
        WriteFile(path("Korvane.ini"),
                  "[Options]\r\nHost=127.0.0.1\r\nPort=" + std::to_string(port ? port : s.port()) +
                      "\r\nUserID=" + s.user() +
                      "\r\nPassword=" + EncryptToHex(s.password(), kPasswordKey) +
                      "\r\nTransferType=BIN\r\nPassive=1\r\nFileSender=ME\r\n"
                      "RemoteInPath=in\r\nRemoteOutPath=out\r\nTimeInterval=10\r\n"
                      "OutboxSettleTime=0\r\n[System]\r\nLogStep=Day\r\nMessage=1\r\n");
    }
    std::vector<std::string> SysLog() const { return kvtest::SysLogLines(dir.path()); }
    bool LogHas(const std::string& line) const {
        auto lines = SysLog();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    int Count(const std::string& line) const {
        auto lines = SysLog();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
};

void FreshRemote(kvtest::FtpServer& s = Server()) {
    std::filesystem::remove_all(s.path("out"));
    std::filesystem::remove_all(s.path("in"));
    std::filesystem::remove_all(s.path("tmp"));
    s.makeDir("out");
    s.makeDir("in");
    s.makeDir("tmp");
}

} // namespace

TEST(Headless, OnceServesTheMailboxAndExitsZero) {
    if (!kvtest::RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    FreshRemote();
    Server().writeFile("out/a.edi", "00:INVOIC:X:Y:THEM:ME:Z'\r\n");
    Home h;
    h.Settings();
    ::mkdir(h.path("OUTBOX").c_str(), 0755);
    WriteFile(h.path("OUTBOX/b.txt"), "00:ORDERS:X:Y:ME:THEM:Z'\r\n");
    Runner r(h.dir.path(), {"once"});
    EXPECT_EQ(r.wait(), 0) << r.err();
    EXPECT_EQ(ReadFile(h.path("INBOX/a.edi")), "00:INVOIC:X:Y:THEM:ME:Z'\r\n");
    EXPECT_TRUE(kvtest::Exists(Server().path("in/b.txt")));
    EXPECT_FALSE(kvtest::Exists(h.path("OUTBOX/b.txt")));
    auto log = h.SysLog();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0], "++++++++++++++++++++");
    EXPECT_EQ(log[1], "INFO:Start Korvane System!");
    EXPECT_EQ(log[2], "INFO:Read Configuration From INI File.");
    EXPECT_EQ(log.back(), "INFO:Korvane System Close!");
    EXPECT_TRUE(h.LogHas("INFO:Success Download File->a.edi"));
    // ONCE is not a start-up word of the window: AllowStartAuto stays unset,
    // and the settings file is backed up at close.
    IniFile ini(h.path("Korvane.ini"));
    EXPECT_EQ(ini.ReadString("Options", "AllowStartAuto"), "");
    EXPECT_EQ(ReadFile(h.path("kvini.bak")), ReadFile(h.path("Korvane.ini")));
}

TEST(Headless, OnceExitStatusesForErrorsAndFailures) {
    if (!kvtest::RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    FreshRemote();
    {
        // A missing remote folder is a folder-level error: 1.
        Home h;
        h.Settings();
        IniFile(h.path("Korvane.ini")).WriteString("Options", "RemoteOutPath", "nowhere");
        Runner r(h.dir.path(), {"ONCE"});
        EXPECT_EQ(r.wait(), 1) << r.err();
        EXPECT_TRUE(h.LogHas("ERROR:RemoteOutPath->nowhere Not Exist!!!"));
        EXPECT_NE(r.err().find("1 error line"), std::string::npos) << r.err();
    }
    {
        // Nobody listens: 2, with the socket error in the log.
        Home h;
        h.Settings(kvtest::FreePort());
        Runner r(h.dir.path(), {"ONCE"});
        EXPECT_EQ(r.wait(), 2) << r.err();
        EXPECT_TRUE(h.LogHas("ERROR:Socket Error # 10061 Connection refused.!"));
        // The terminal line carries the reason, not only where the log is.
        EXPECT_NE(r.err().find("could not connect:\n  ERROR:Socket Error # 10061 Connection "
                               "refused.!"),
                  std::string::npos)
            << r.err();
    }
    {
        // A wrong password: 2, with the server's refusal on the terminal.
        Home h;
        h.Settings();
        IniFile(h.path("Korvane.ini"))
            .WriteString("Options", "Password", EncryptToHex("not it", kPasswordKey));
        Runner r(h.dir.path(), {"ONCE"});
        EXPECT_EQ(r.wait(), 2) << r.err();
        EXPECT_NE(r.err().find("530"), std::string::npos) << r.err();
        EXPECT_NE(r.err().find("The whole cycle is in " + h.dir.path() + "/LOG/"),
                  std::string::npos)
            << r.err();
    }
    {
        // A port that is not a number stops the start: 2, and the reason is logged.
        Home h;
        h.Settings();
        // The good backup is not replaced by the damaged file.
        WriteFile(h.path("kvini.bak"), ReadFile(h.path("Korvane.ini")));
        const std::string good = ReadFile(h.path("kvini.bak"));
        IniFile(h.path("Korvane.ini")).WriteString("Options", "Port", "21x");
        Runner r(h.dir.path(), {"ONCE"});
        EXPECT_EQ(r.wait(), 2);
        EXPECT_TRUE(h.LogHas("ERROR:Options/Port: '21x' is not a valid integer value"));
        EXPECT_NE(r.err().find("Options/Port: '21x' is not a valid integer value"),
                  std::string::npos);
        EXPECT_EQ(ReadFile(h.path("kvini.bak")), good);
    }
    {
        // Neither the settings file nor its backup: 2, and only the close line.
        Home h;
        Runner r(h.dir.path(), {"ONCE"});
        EXPECT_EQ(r.wait(), 2);
        EXPECT_NE(r.err().find("INI File Lost!!!"), std::string::npos);
        EXPECT_EQ(h.SysLog(), std::vector<std::string>{"INFO:Korvane System Close!"});
    }
    {
        // A backup that cannot be copied into place is not called missing.
        Home h;
        h.Settings();
        std::rename(h.path("Korvane.ini").c_str(), h.path("kvini.bak").c_str());
        ::mkdir(h.path("Korvane.ini").c_str(), 0755);
        Runner r(h.dir.path(), {"ONCE"});
        EXPECT_EQ(r.wait(), 2);
        EXPECT_NE(r.err().find("kvini.bak could not be copied to it"), std::string::npos)
            << r.err();
    }
    {
        // No word: usage, 2.
        Home h;
        Runner r(h.dir.path(), {});
        EXPECT_EQ(r.wait(), 2);
        EXPECT_NE(r.err().find("usage: korvaned"), std::string::npos);
    }
}

TEST(Headless, OnceOverFtpsAgainstVsftpd) {
    if (!kvtest::RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    kvtest::FtpServer& server = kvtest::SharedVsftpsd();
    FreshRemote(server);
    const std::string edi = "00:INVOIC:X:Y:THEM:ME:Z'\r\n";
    server.writeFile("out/a.edi", edi);
    Home h;
    h.SettingsFor(server);
    IniFile ini(h.path("Korvane.ini"));
    ini.WriteString("Options", "FTPS", "1");
    ini.WriteString("Options", "FTPSCAFile", kvtest::SharedCertificate().certFile);
    ::mkdir(h.path("OUTBOX").c_str(), 0755);
    WriteFile(h.path("OUTBOX/b.txt"), "00:ORDERS:X:Y:ME:THEM:Z'\r\n");
    {
        // Pinned to another certificate: nothing moves, the reason is logged.
        ini.WriteString("Options", "FTPSFingerprint", kvtest::OtherCertificate().fingerprint);
        Runner r(h.dir.path(), {"ONCE"});
        EXPECT_EQ(r.wait(), 2) << r.err();
        EXPECT_TRUE(kvtest::Exists(server.path("out/a.edi")));
        EXPECT_TRUE(kvtest::Exists(h.path("OUTBOX/b.txt")));
        auto log = h.SysLog();
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) {
            return l.find("does not match the pinned fingerprint") != std::string::npos;
        }));
    }
    ini.WriteString("Options", "FTPSFingerprint", "");
    Runner r(h.dir.path(), {"ONCE"});
    EXPECT_EQ(r.wait(), 0) << r.err();
    EXPECT_EQ(ReadFile(h.path("INBOX/a.edi")), edi);
    EXPECT_FALSE(kvtest::Exists(server.path("out/a.edi")));
    EXPECT_TRUE(kvtest::Exists(server.path("in/b.txt")));
    EXPECT_FALSE(kvtest::Exists(h.path("OUTBOX/b.txt")));
    EXPECT_TRUE(h.LogHas("INFO:Success Download File->a.edi"));
}

TEST(Headless, RestoresSettingsFromTheBackup) {
    if (!kvtest::RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    FreshRemote();
    Home h;
    h.Settings();
    std::rename(h.path("Korvane.ini").c_str(), h.path("kvini.bak").c_str());
    Runner r(h.dir.path(), {"ONCE"});
    EXPECT_EQ(r.wait(), 0) << r.err();
    EXPECT_TRUE(kvtest::Exists(h.path("Korvane.ini")));
}

TEST(Headless, OneInstancePerProgramFolder) {
    Home h;
    h.Settings();
    InstanceLock first(h.dir.path());
    ASSERT_TRUE(first.Acquired());
    InstanceLock second(h.dir.path());
    EXPECT_FALSE(second.Acquired());
    EXPECT_EQ(second.OpenError(), 0); // held by another instance
    // A missing program folder is told apart from a running instance.
    InstanceLock missing(h.path("no/such/folder"));
    EXPECT_FALSE(missing.Acquired());
    EXPECT_EQ(missing.OpenError(), ENOENT);
    EXPECT_EQ(missing.Refusal("/m"), "Cannot use the program folder /m: No such file or directory. "
                                     "Create it or give this user write access to it "
                                     "(KORVANE_HOME names it).");
    Runner r(h.dir.path(), {"ONCE"});
    EXPECT_EQ(r.wait(), 2);
    // The folder and the process that holds it (this test) are named.
    EXPECT_NE(r.err().find("Program Already Run!!! (the program folder " + h.dir.path() +
                           " is held by process " + std::to_string(::getpid()) + ": "),
              std::string::npos)
        << r.err();
    EXPECT_FALSE(kvtest::Exists(h.path("LOG")));

    // A file system that keeps no locks (ENOLCK: NFS without its lock
    // service) is named as such, not taken for a running instance.
    const char* strace = "/usr/bin/strace";
    ASSERT_TRUE(kvtest::Exists(strace)) << "strace is missing: run scripts/install-deps.sh";
    kvtest::ChildProgram noLocks({strace, "-f", "-o", "/dev/null", "-e", "trace=flock", "-e",
                                  "inject=flock:error=ENOLCK", kvtest::BuildProgram("korvaned"),
                                  "ONCE"},
                                 {"KORVANE_HOME=" + h.dir.path(), "PATH=/usr/bin:/bin", "LANG=C",
                                  "ASAN_OPTIONS=detect_leaks=0"}, // no leak check under a tracer
                                 h.path("nolocks.txt"));
    EXPECT_EQ(noLocks.wait(), 2);
    EXPECT_NE(noLocks.err().find("Cannot lock the program folder " + h.dir.path() +
                                 ": No locks available"),
              std::string::npos)
        << noLocks.err();
    EXPECT_EQ(noLocks.err().find("Program Already Run!!!"), std::string::npos);
}

namespace {

// Every entry under folder whose owner or group is not uid/gid, but the names
// skipped (files the test itself or the transfer engine writes).
std::vector<std::string> NotOwnedBy(const std::string& folder, uid_t uid, gid_t gid,
                                    const std::vector<std::string>& skipped) {
    std::vector<std::string> wrong;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (std::find(skipped.begin(), skipped.end(), name) != skipped.end())
            continue;
        struct stat st {};
        ::lstat(e.path().c_str(), &st);
        if (st.st_uid != uid || st.st_gid != gid)
            wrong.push_back(e.path().string().substr(folder.size() + 1));
    }
    return wrong;
}

} // namespace

TEST(Headless, ARootRunLeavesTheServiceItsFolderAndAFailedLogIsAnError) {
    if (!kvtest::RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root, and so does a second user";
    FreshRemote();
    // A service's program folder, owned by its own user (nobody here), with
    // an update script and a language pack to be moved at the next start.
    const uid_t service = 65534;
    const gid_t group = 65534;
    Home h;
    h.Settings();
    WriteFile(h.path("update"), "Header\r\nWRITE$Options$Marker$script\r\n");
    WriteFile(h.path("kvnew.ini"), "[Info]\r\nLanguage=New\r\n");
    ::chmod(h.dir.path().c_str(), 0755);
    for (const auto& e : std::filesystem::recursive_directory_iterator(h.dir.path()))
        ::lchown(e.path().c_str(), service, group);
    ::chown(h.dir.path().c_str(), service, group);

    // Root runs a cycle there on a new day (a file arrives), and presses OK
    // in a dialog.
    Server().writeFile("out/arrived.edi", "00:INVOIC:X:Y:THEM:ME:Z'\r\n");
    Runner asRoot(h.dir.path(), {"ONCE"});
    ASSERT_EQ(asRoot.wait(), 0) << asRoot.err();
    IniFile(h.path("Korvane.ini")).WriteString("Options", "Marker", "root");
    // Everything it made or replaced is the service's: logs, lock, settings
    // and backup, work folders, the applied script and its copy, the pack,
    // the client information file and the file received.
    EXPECT_TRUE(kvtest::Exists(h.path("update.old")));
    EXPECT_TRUE(kvtest::Exists(h.path("Language/kvnew.ini")));
    EXPECT_TRUE(kvtest::Exists(h.path("INBOX/arrived.edi")));
    EXPECT_EQ(NotOwnedBy(h.dir.path(), service, group, {"stderr.txt"}), std::vector<std::string>{});

    // So the service's next run works as before.
    const std::vector<std::string> asService = {"/usr/bin/setpriv",
                                                "--reuid=65534",
                                                "--regid=65534",
                                                "--clear-groups",
                                                kvtest::BuildProgram("korvaned"),
                                                "ONCE"};
    const std::vector<std::string> env = {"KORVANE_HOME=" + h.dir.path(), "PATH=/usr/bin:/bin",
                                          "LANG=C"};
    {
        kvtest::ChildProgram run(asService, env, h.path("service.txt"));
        EXPECT_EQ(run.wait(), 0) << run.err();
        EXPECT_EQ(run.err().find("Cannot"), std::string::npos) << run.err();
        EXPECT_EQ(h.Count("INFO:Start Korvane System!"), 2);
    }
    // A log it cannot open (left root's, 0644, by an older program) is no
    // longer silent: standard error says so and the exit status counts it.
    const std::string log = h.path("LOG/" + ListFolder(h.path("LOG"), "KVTSF*")[0]);
    ::chown(log.c_str(), 0, 0);
    ::chmod(log.c_str(), 0644);
    kvtest::ChildProgram run(asService, env, h.path("service2.txt"));
    EXPECT_EQ(run.wait(), 1) << run.err();
    EXPECT_NE(run.err().find("Cannot open the log file " + log + ": Permission denied"),
              std::string::npos)
        << run.err();
}

TEST(Headless, ServiceRepeatsCyclesUntilTerminated) {
    if (!kvtest::RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    FreshRemote();
    Home h;
    h.Settings();
    IniFile ini(h.path("Korvane.ini"));
    ini.WriteString("Options", "TimeInterval", "0.005"); // 300 ms between cycles
    ini.WriteString("Options", "LanguageFile", "kvt.ini");
    ::mkdir(h.path("Language").c_str(), 0755);
    WriteFile(h.path("Language/kvt.ini"), "[Messages]\r\nm03=auto on\r\nm04=auto off\r\n");
    Runner r(h.dir.path(), {"srv"});
    const bool twoCycles =
        kvtest::Eventually([&] { return h.Count("INFO:Begin Receive......") >= 2; }, 200, 100);
    EXPECT_TRUE(twoCycles);
    // A file that arrives between cycles is picked up by the next one.
    Server().writeFile("out/late.edi", "late");
    const bool received =
        kvtest::Eventually([&] { return kvtest::Exists(h.path("INBOX/late.edi")); }, 200, 100);
    EXPECT_TRUE(received);
    r.signal(SIGTERM);
    EXPECT_EQ(r.wait(), 0) << r.err();
    auto log = h.SysLog();
    EXPECT_TRUE(h.LogHas("INFO:auto on"));
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "INFO:auto off");
    EXPECT_EQ(log.back(), "INFO:Korvane System Close!");
    EXPECT_EQ(ini.ReadString("Options", "AllowStartAuto"), "1");
}

TEST(Headless, StopSignalDuringATransferLosesNothing) {
    // A server that sends 20 KiB a second: the signal lands mid-download.
    const char* source = std::getenv("KORVANE_SOURCE_DIR");
    ASSERT_NE(source, nullptr) << "run through ctest";
    kvtest::PyFtpdServer slow("pyftpdlib (slow)",
                              std::string(source) + "/tests/engine/fault_ftpd.py", "kvslow",
                              "Kv-slow-pass");
    slow.makeDir("out");
    slow.makeDir("in");
    slow.makeDir("tmp");
    const std::string big(200 * 1024, 'x');
    slow.writeFile("out/big.dat", big);
    slow.setScenario("throttle\t20000\n");
    Home h;
    WriteFile(h.path("Korvane.ini"),
              "[Options]\r\nHost=127.0.0.1\r\nPort=" + std::to_string(slow.port()) +
                  "\r\nUserID=kvslow\r\nPassword=" + EncryptToHex("Kv-slow-pass", kPasswordKey) +
                  "\r\nTransferType=BIN\r\nPassive=1\r\nRemoteInPath=in\r\n"
                  "RemoteOutPath=out\r\nTimeInterval=10\r\n");
    Runner r(h.dir.path(), {"SRV"});
    const bool started =
        kvtest::Eventually([&] { return h.LogHas("INFO:Start Download File->big.dat"); }, 200, 50);
    ASSERT_TRUE(started);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    r.signal(SIGTERM);
    EXPECT_EQ(r.wait(20), 0) << r.err();
    EXPECT_EQ(h.SysLog().back(), "INFO:Korvane System Close!");
    EXPECT_FALSE(h.LogHas("INFO:Success Download File->big.dat"));
    // Not delivered, nothing half in the inbox or left in TMP, still on the server.
    EXPECT_TRUE(ListFolder(h.path("INBOX"), "*").empty());
    EXPECT_TRUE(ListFolder(h.path("TMP"), "*").empty());
    EXPECT_EQ(ReadFile(slow.path("out/big.dat")), big);
}

TEST(Headless, AutomaticIntervalFromMinutes) {
    EXPECT_EQ(AutoIntervalMs("10"), 600000);
    EXPECT_EQ(AutoIntervalMs("0.5"), 30000);
    EXPECT_EQ(AutoIntervalMs(" 0 "), 0);
    EXPECT_EQ(AutoIntervalMs("0.0000125"), 1);  // 0.75 ms
    EXPECT_EQ(AutoIntervalMs("0.00000625"), 0); // 0.375 ms
    EXPECT_THROW(AutoIntervalMs(""), FloatConversionError);
    EXPECT_THROW(AutoIntervalMs("ten"), FloatConversionError);

    // Every interval, up to the largest the setting can hold, waits at least
    // as long as the clock can tell: never an overflow into the past.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    for (const char* minutes : {"0.0000125", "35791", "9999999999", "1e12", "1e300"}) {
        SCOPED_TRACE(minutes);
        const int64_t ms = AutoIntervalMs(minutes);
        const Clock::time_point until = IntervalDeadline(ms, now);
        EXPECT_GT(until, now);
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
        EXPECT_TRUE(until == Clock::time_point::max() || waited.count() == ms);
    }
    EXPECT_EQ(IntervalDeadline(INT64_MAX, Clock::time_point::max() - std::chrono::hours(1)),
              Clock::time_point::max());
}

// A huge TimeInterval is one cycle and then a wait, not logins back to back.
TEST(Headless, AHugeIntervalWaitsInsteadOfRepeating) {
    if (!kvtest::RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    FreshRemote();
    Home h;
    h.Settings();
    IniFile(h.path("Korvane.ini")).WriteString("Options", "TimeInterval", "9999999999");
    Runner r(h.dir.path(), {"SRV"});
    EXPECT_TRUE(kvtest::Eventually([&] { return h.LogHas("INFO:End Send!"); }, 200, 20));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    r.signal(SIGTERM);
    EXPECT_EQ(r.wait(), 0) << r.err();
    EXPECT_EQ(h.Count("INFO:Begin Receive......"), 1);
}

// Logs on a full disk: every write fails from the first line of the start-up
// to the last one after SIGTERM. The work goes on, the failure is told once
// per log on standard error and counts as an error; nothing aborts.
TEST(Headless, FullLogDiskNeverStopsTheWork) {
    if (!kvtest::RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    FreshRemote();
    Home h;
    h.Settings();
    ::mkdir(h.path("LOG").c_str(), 0755);
    const std::time_t now = std::time(nullptr);
    for (const std::string& name : {SysLogName("Day", now), TransferLogName("Day", now)})
        ASSERT_EQ(::symlink("/dev/full", h.path(name).c_str()), 0);
    Server().writeFile("out/a.edi", "first");
    {
        Runner r(h.dir.path(), {"ONCE"});
        EXPECT_EQ(r.wait(), 1) << r.err();
        EXPECT_EQ(ReadFile(h.path("INBOX/a.edi")), "first");
        const std::string err = r.err();
        EXPECT_NE(err.find("Cannot write the log file " + h.path(SysLogName("Day", now)) +
                           ": No space left on device"),
                  std::string::npos)
            << err;
        EXPECT_NE(err.find("Cannot write the log file " + h.path(TransferLogName("Day", now))),
                  std::string::npos)
            << err;
    }
    Server().writeFile("out/b.edi", "second");
    Runner r(h.dir.path(), {"SRV"});
    // Received and removed from the server: the delete follows the delivery
    // into the inbox, so waiting for the inbox alone races with it.
    const bool received = kvtest::Eventually(
        [&] {
            return kvtest::Exists(h.path("INBOX/b.edi")) &&
                   !kvtest::Exists(Server().path("out/b.edi"));
        },
        200, 50);
    EXPECT_TRUE(received);
    r.signal(SIGTERM);
    EXPECT_EQ(r.wait(), 0) << r.err();
}

// A relative KORVANE_HOME names a folder below the current one; the program
// works there with absolute folder settings, and relative ones count from
// the program folder, not from where it was started.
TEST(Headless, RelativeProgramFolder) {
    if (!kvtest::RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    FreshRemote();
    Home h;
    ::mkdir(h.path("box").c_str(), 0755);
    Home inner; // only for its settings text
    inner.Settings();
    WriteFile(h.path("box/Korvane.ini"), ReadFile(inner.path("Korvane.ini")));
    IniFile ini(h.path("box/Korvane.ini"));
    ini.WriteString("Options", "LocalOutPath", "SENDING");
    ::mkdir(h.path("box/SENDING").c_str(), 0755);
    WriteFile(h.path("box/SENDING/b.txt"), "00:ORDERS:X:Y:ME:THEM:Z'\r\n");
    Server().writeFile("out/a.edi", "arrived");
    kvtest::ChildProgram r({"/bin/sh", "-c", "cd \"$1\" && exec \"$2\" ONCE", "sh", h.dir.path(),
                            kvtest::BuildProgram("korvaned")},
                           {"KORVANE_HOME=box", "PATH=/usr/bin:/bin", "LANG=C"},
                           h.path("stderr.txt"));
    EXPECT_EQ(r.wait(), 0) << r.err();
    EXPECT_EQ(ReadFile(h.path("box/INBOX/a.edi")), "arrived");
    EXPECT_TRUE(kvtest::Exists(Server().path("in/b.txt")));
    EXPECT_FALSE(kvtest::Exists(h.path("box/SENDING/b.txt")));
    EXPECT_EQ(ini.ReadString("Options", "LocalInPath"), "INBOX");
    EXPECT_FALSE(kvtest::Exists(h.path("INBOX")));
}

// The first cycle writes its default folders relative to the program
// folder, so a copy of a served folder (cp -a) made for a second mailbox
// receives into and sends from its own folders, never the first one's.
TEST(Headless, ACopiedProgramFolderServesItsOwnFolders) {
    if (!kvtest::RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    FreshRemote();
    TempDir dir;
    const std::string first = dir / "first", second = dir / "second";
    ASSERT_TRUE(kv::ForceDirectories(first));
    Home settings; // only for its settings text
    settings.Settings();
    WriteFile(first + "/Korvane.ini", ReadFile(settings.path("Korvane.ini")));
    {
        Runner r(first, {"ONCE"});
        ASSERT_EQ(r.wait(), 0) << r.err();
    }
    IniFile firstIni(first + "/Korvane.ini");
    for (const auto& [key, value] : {std::pair{"LocalInPath", "INBOX"},
                                     {"LocalOutPath", "OUTBOX"},
                                     {"LocalBackupPath", "BACKUP"},
                                     {"LocalErrPath", "ERROR"}})
        EXPECT_EQ(firstIni.ReadString("Options", key), value) << key;
    ASSERT_EQ(kvtest::RunProgram({"/bin/cp", "-a", first, second}, dir / "cp.log"), 0);
    const std::string edi = "00:ORDERS:X:Y:ME:THEM:Z'\r\n";
    WriteFile(first + "/OUTBOX/stays.txt", edi);
    WriteFile(second + "/OUTBOX/goes.txt", edi);
    Server().writeFile("out/a.edi", "arrived");
    Runner r(second, {"ONCE"});
    EXPECT_EQ(r.wait(), 0) << r.err();
    EXPECT_EQ(ReadFile(second + "/INBOX/a.edi"), "arrived");
    EXPECT_FALSE(kvtest::Exists(first + "/INBOX/a.edi"));
    EXPECT_TRUE(kvtest::Exists(Server().path("in/goes.txt")));
    EXPECT_FALSE(kvtest::Exists(Server().path("in/stays.txt")));
    EXPECT_EQ(ReadFile(first + "/OUTBOX/stays.txt"), edi);
    EXPECT_FALSE(kvtest::Exists(second + "/OUTBOX/goes.txt"));
    // The copy's backup holds what it sent; the first folder's backup nothing new.
    std::string backups;
    kvtest::RunProgram({"/usr/bin/find", first + "/BACKUP", second + "/BACKUP", "-type", "f"},
                       dir / "find.log");
    backups = ReadFile(dir / "find.log");
    EXPECT_NE(backups.find(second + "/BACKUP/"), std::string::npos) << backups;
    EXPECT_EQ(backups.find(first + "/BACKUP/"), std::string::npos) << backups;
}

// korvaned PASSWORD on a terminal: the typed password is not echoed, and an
// interrupt at the prompt leaves the terminal echoing again.
TEST(Headless, PasswordIsReadWithoutEcho) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slaveName = ::ptsname(master);
    int slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    auto echoes = [&] {
        struct termios t {};
        return ::tcgetattr(slave, &t) == 0 && (t.c_lflag & ECHO);
    };
    auto start = [&] {
        return std::make_unique<kvtest::ChildProgram>(
            std::vector<std::string>{"/bin/sh", "-c", "exec \"$1\" PASSWORD <\"$2\" >\"$2\"", "sh",
                                     kvtest::BuildProgram("korvaned"), slaveName},
            std::vector<std::string>{"PATH=/usr/bin:/bin", "LANG=C"}, "/dev/null");
    };
    ASSERT_TRUE(echoes());
    auto cut = start();
    ASSERT_TRUE(kvtest::Eventually([&] { return !echoes(); }, 200, 20));
    cut->signal(SIGINT);
    EXPECT_EQ(cut->wait(), 128 + SIGINT);
    EXPECT_TRUE(echoes());

    auto r = start();
    ASSERT_TRUE(kvtest::Eventually([&] { return !echoes(); }, 200, 20));
    ASSERT_EQ(::write(master, "s3cret-word\n", 12), 12);
    EXPECT_EQ(r->wait(), 0);
    ::close(slave);
    std::string shown;
    char buf[256];
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;)
        shown.append(buf, static_cast<size_t>(n));
    ::close(master);
    EXPECT_EQ(shown.find("s3cret-word"), std::string::npos) << shown;
    EXPECT_NE(shown.find(EncryptToHex("s3cret-word", kPasswordKey)), std::string::npos) << shown;
}

// What a cycle leaves for people, scripts and monitoring, from real cycles:
// the history of the records they wrote (names with blanks), the status
// file through STATUS and CHECK in each outcome, the metrics file, and the
// service manager's STATUS= line after a cycle of SRV.
TEST(Headless, HistoryStatusAndCheckAfterRealCycles) {
    if (!kvtest::RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    FreshRemote();
    Server().writeFile("out/MANIFEST 1.EDI", "00:CUSCAR:X:Y:THEM:ME:Z'\r\n");
    Server().writeFile("out/b.edi", "00:INVOIC:X:Y:THEM:ME:Z'\r\n");
    Server().writeFile("out/=1+1.edi", "00:INVOIC:X:Y:THEM:ME:Z'\r\n");
    Home h;
    h.Settings();
    IniFile(h.path("Korvane.ini")).WriteString("Options", "MetricsFile", h.path("k.prom"));
    ::mkdir(h.path("OUTBOX").c_str(), 0755);
    WriteFile(h.path("OUTBOX/order 1.txt"), "00:ORDERS:X:Y:ME:THEM:Z'\r\n");
    auto run = [&](const std::vector<std::string>& words) {
        Runner r(h.dir.path(), words);
        return r.wait();
    };
    // The words' output goes to a file the test reads.
    auto capture = [&](const std::string& words) {
        kvtest::ChildProgram r({"/bin/sh", "-c", "exec \"$1\" " + words + " >\"$2\"", "sh",
                                kvtest::BuildProgram("korvaned"), h.path("out.txt")},
                               {"KORVANE_HOME=" + h.dir.path(), "PATH=/usr/bin:/bin", "LANG=C"},
                               h.path("err.txt"));
        const int code = r.wait();
        return std::make_pair(code, ReadFile(h.path("out.txt")));
    };
    ASSERT_EQ(run({"ONCE"}), 0);
    auto [code, out] = capture("CHECK --warn 30m --crit 2h");
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(out.rfind("KORVANE OK - last cycle ok at ", 0), 0u) << out;
    std::tie(code, out) = capture("STATUS");
    EXPECT_EQ(code, 0);
    EXPECT_NE(out.find("Received:         3 file(s)"), std::string::npos) << out;
    EXPECT_NE(out.find("Sent:             1 file(s)"), std::string::npos) << out;
    EXPECT_NE(out.find("Errors:           none"), std::string::npos) << out;
    EXPECT_TRUE(kvtest::Exists(h.path("k.prom")));

    std::tie(code, out) = capture("HISTORY --json");
    EXPECT_EQ(code, 0) << ReadFile(h.path("err.txt"));
    const std::optional<JsonValue> history = ParseJson(out);
    ASSERT_TRUE(history) << out;
    ASSERT_EQ(history->items.size(), 4u) << out;
    std::set<std::string> names;
    for (const JsonValue& r : history->items)
        names.insert(r["name"].text + "/" + r["direction"].text + "/" + r["sender"].text);
    EXPECT_EQ(names, (std::set<std::string>{"MANIFEST 1.EDI/received/THEM", "b.edi/received/THEM",
                                            "=1+1.edi/received/THEM", "order 1.txt/sent/ME"}));
    // A name a spreadsheet would run is text in the CSV.
    std::tie(code, out) = capture("HISTORY --csv --match =1");
    EXPECT_EQ(code, 0);
    EXPECT_NE(out.find(",Received,'=1+1.edi,"), std::string::npos) << out;
    std::tie(code, out) = capture("HISTORY --csv --match 'manifest 1'");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    EXPECT_NE(out.find(",Received,MANIFEST 1.EDI,"), std::string::npos) << out;
    std::tie(code, out) = capture("HISTORY --since 2999-01-01");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out, "");
    std::tie(code, out) = capture("HISTORY --since yesterday");
    EXPECT_EQ(code, 2);

    // A folder step fails: errors, WARNING, the line in the status.
    IniFile(h.path("Korvane.ini")).WriteString("Options", "RemoteOutPath", "nowhere");
    ASSERT_EQ(run({"ONCE"}), 1);
    std::tie(code, out) = capture("CHECK --warn 30m --crit 2h");
    EXPECT_EQ(code, 1) << out;
    EXPECT_NE(out.find("WARNING - last cycle errors"), std::string::npos) << out;
    std::tie(code, out) = capture("STATUS");
    EXPECT_NE(out.find("ERROR:RemoteOutPath->nowhere Not Exist!!!"), std::string::npos) << out;

    // No connection: failed; still WARNING while the last good cycle is recent.
    IniFile(h.path("Korvane.ini"))
        .WriteString("Options", "Port", std::to_string(kvtest::FreePort()));
    ASSERT_EQ(run({"ONCE"}), 2);
    std::tie(code, out) = capture("CHECK --warn 30m --crit 2h");
    EXPECT_EQ(code, 1) << out;
    EXPECT_NE(out.find("WARNING - last cycle failed"), std::string::npos) << out;
    std::tie(code, out) = capture("CHECK --warn 0s --crit 0s");
    EXPECT_EQ(code, 2) << out;

    // SRV under a service manager: a STATUS= line after the cycle.
    h.Settings();
    const std::string socketPath = h.path("notify");
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    kvtest::ChildProgram srv({kvtest::BuildProgram("korvaned"), "SRV"},
                             {"KORVANE_HOME=" + h.dir.path(), "PATH=/usr/bin:/bin", "LANG=C",
                              "NOTIFY_SOCKET=" + socketPath},
                             h.path("err.txt"));
    std::string messages;
    kvtest::Eventually(
        [&] {
            char buf[512];
            for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
                messages += std::string(buf, static_cast<size_t>(n)) + "\n";
            return messages.find("STATUS=Last cycle ") != std::string::npos;
        },
        200, 50);
    srv.signal(SIGTERM);
    EXPECT_EQ(srv.wait(), 0);
    ::close(fd);
    EXPECT_NE(messages.find("READY=1"), std::string::npos) << messages;
    EXPECT_TRUE(std::regex_search(messages, std::regex("STATUS=Last cycle [-0-9: ]+: ok, 0 "
                                                       "received, 0 sent; next [-0-9: ]+")))
        << messages;
}

// One failed access of the settings file, at each point a run opens or reads
// it, never changes the settings nor sends a file elsewhere: the run either
// works as configured or stops with a line, and what it did not do waits on
// the server and in the outbox for the next run.
TEST(Headless, AnUnreadableSettingsFileIsAnErrorNeverAFileOfDefaults) {
    if (!kvtest::RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    const std::string strace = "/usr/bin/strace";
    if (!kvtest::Exists(strace))
        GTEST_SKIP() << "strace is not installed";
    const std::string mail = "00:INVOIC:X:Y:THEM:ME:Z'\r\n";
    const std::string own = "00:ORDERS:X:Y:ME:THEM:Z'\r\n";
    // Every key a run would otherwise write back is set, so a clean run
    // leaves the file as it is.
    auto prepare = [&](Home& h) {
        FreshRemote();
        Server().writeFile("out/a.edi", mail);
        h.Settings();
        for (const char* d : {"mail", "mail/in", "mail/out", "mail/err", "mail/bak"})
            ::mkdir(h.path(d).c_str(), 0755);
        WriteFile(h.path("mail/out/b.txt"), own);
        std::string text = ReadFile(h.path("Korvane.ini"));
        text.insert(text.find("[System]"),
                    "LocalInPath=" + h.path("mail/in") + "\r\nLocalOutPath=" + h.path("mail/out") +
                        "\r\nLocalErrPath=" + h.path("mail/err") + "\r\nLocalBackupPath=" +
                        h.path("mail/bak") + "\r\nVersionNumber=" + kProgramVersion + "\r\n");
        WriteFile(h.path("Korvane.ini"),
                  text + "[Proxy]\r\nProxyType=0\r\nAuthentication=0\r\nHost=\r\n"
                         "Port=0\r\nUserID=\r\nPassword=\r\n");
    };
    auto run = [&](Home& h, const std::string& inject) {
        const std::string ini = h.path("Korvane.ini");
        std::vector<std::string> argv{
            strace, "-f", "-qq", "-o", h.path("calls.txt"), "-P", ini, "-e", "trace=openat,read"};
        if (!inject.empty())
            argv.insert(argv.end(), {"-e", "inject=" + inject});
        argv.push_back(kvtest::BuildProgram("korvaned"));
        argv.push_back("ONCE");
        // The leak checker cannot work under ptrace: off for these runs.
        kvtest::ChildProgram p(
            argv,
            {"KORVANE_HOME=" + h.dir.path(), "PATH=/usr/bin:/bin", "ASAN_OPTIONS=detect_leaks=0"},
            h.path("stderr.txt"));
        return p.wait(120);
    };

    Home clean;
    prepare(clean);
    const std::string settings = ReadFile(clean.path("Korvane.ini"));
    ASSERT_EQ(run(clean, ""), 0) << ReadFile(clean.path("stderr.txt"));
    ASSERT_EQ(ReadFile(clean.path("Korvane.ini")), settings) << "a clean run writes nothing";
    const std::string calls = ReadFile(clean.path("calls.txt"));
    const auto count = [&](const std::string& call) {
        size_t n = 0;
        for (size_t at = calls.find(call + "("); at != std::string::npos;
             at = calls.find(call + "(", at + 1))
            ++n;
        return static_cast<int>(n);
    };
    const int opens = count("openat"), reads = count("read");
    std::printf("[ points   ] %d opens, %d reads of the settings file\n", opens, reads);
    // Read whole, once per use: not once per key.
    EXPECT_LE(opens, 20) << calls; // 118 when every key opened the file

    struct Fault {
        std::string call;
        std::string error;
        int points;
    };
    for (const Fault& f : {Fault{"openat", "ENOENT", opens}, Fault{"openat", "EIO", opens},
                           Fault{"read", "EIO", reads}}) {
        for (int n = 1; n <= f.points; ++n) {
            const std::string point = f.call + ":error=" + f.error + ":when=" + std::to_string(n);
            SCOPED_TRACE(point);
            Home h;
            prepare(h);
            const std::string before = ReadFile(h.path("Korvane.ini"));
            run(h, point);
            EXPECT_EQ(ReadFile(h.path("Korvane.ini")), before);
            EXPECT_FALSE(kvtest::Exists(h.path("INBOX")));
            EXPECT_FALSE(kvtest::Exists(h.path("OUTBOX")));
            EXPECT_TRUE(ListFolder(h.path("mail/err"), "*").empty());
            // Received into the configured inbox, or still on the server.
            const bool received = kvtest::Exists(h.path("mail/in/a.edi"));
            EXPECT_NE(received, kvtest::Exists(Server().path("out/a.edi")));
            if (received) {
                EXPECT_EQ(ReadFile(h.path("mail/in/a.edi")), mail);
            }
            // Sent with its sender stamped as configured, or still waiting.
            const bool sent = kvtest::Exists(Server().path("in/b.txt"));
            EXPECT_NE(sent, kvtest::Exists(h.path("mail/out/b.txt")));
            if (!received || !sent) {
                EXPECT_FALSE(h.SysLog().empty());
            }
        }
    }
}

namespace {

// Every entry under root with its size, time and (for a file) content, so
// two looks tell whether anything was made, changed or removed.
std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> tree;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        struct stat st {};
        ::lstat(e.path().c_str(), &st);
        std::string what = std::to_string(st.st_size) + "@" + std::to_string(st.st_mtim.tv_sec) +
                           "." + std::to_string(st.st_mtim.tv_nsec);
        if (e.is_regular_file())
            what += ":" + ReadFile(e.path());
        tree[e.path().string().substr(root.size())] = what;
    }
    return tree;
}

} // namespace

// korvaned TEST against vsftpd (plain and explicit FTPS): what the next
// cycle would receive and send, the connection's security, and each
// failure with the key to change; nothing changes on the server or in the
// program folder (no log, no KVinf, no status, no folder).
TEST(Headless, TestLooksAtTheMailboxAndChangesNothing) {
    if (!kvtest::RunningAsRoot())
        GTEST_SKIP() << "vsftpd needs root";
    enum Kind { Ftp, Ftps, Sftp };
    const std::string hostKey = kvtest::SharedSftpd().fingerprint();
    struct Case {
        const char* what;
        Kind kind;
        std::vector<std::pair<std::string, std::string>> options; // Options/ keys changed
        int code;
        std::vector<std::string> said; // on standard output
    };
    const std::string blank = "plain FTP: the password and the files travel unencrypted";
    const Case cases[] = {
        {"all well",
         Ftp,
         {},
         0,
         {"Logged in. Security: " + blank, "Would receive 2 files (11 bytes) from out into ",
          "  a.edi  4\n", "  noext  7\n", "Would send 1 file (26 bytes) from ", "  b.txt  26\n",
          "All checks passed; nothing was changed."}},
        {"FTPS",
         Ftps,
         {},
         0,
         {"Security: FTPS, TLSv1.", "trusted through Options/FTPSCAFile ", "  a.edi  4\n"}},
        {"bad password",
         Ftp,
         {{"Password", EncryptToHex("wrong", kPasswordKey)}},
         2,
         {"FAILED: could not connect: ", "530", "Check Options/UserID and Options/Password"}},
        {"refused port",
         Ftp,
         {{"Port", "1"}},
         2,
         {"FAILED: could not connect: ", "Check Options/Host and Options/Port"}},
        {"missing folder",
         Ftp,
         {{"RemoteOutPath", "nosuch"}},
         1,
         {"the remote folder nosuch (Options/RemoteOutPath) cannot be entered",
          "Some checks failed"}},
        {"receiving off",
         Ftp,
         {{"AllowReceive", "0"}},
         0,
         {"Receiving is off (Options/AllowReceive=0)", "  b.txt  26\n"}},
        {"SFTP, pinned",
         Sftp,
         {{"Protocol", "SFTP"}, {"SFTPHostKey", hostKey}},
         0,
         {"Security: SFTP; the server's host key is the one pinned in Options/SFTPHostKey: " +
              hostKey,
          "  a.edi  4\n", "  noext  7\n"}},
        {"SFTP, not pinned",
         Sftp,
         {{"Protocol", "SFTP"}},
         2,
         {"The server offered the host key " + hostKey, "set Options/SFTPHostKey=" + hostKey}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kvtest::FtpServer& server = c.kind == Ftps ? kvtest::SharedVsftpsd()
                                    : c.kind == Sftp
                                        ? static_cast<kvtest::FtpServer&>(kvtest::SharedSftpd())
                                        : Server();
        FreshRemote(server);
        server.writeFile("out/a.edi", "edi1");
        server.writeFile("out/noext", "no dots");
        Home h;
        h.SettingsFor(server);
        IniFile ini(h.path("Korvane.ini"));
        if (c.kind == Ftps) {
            ini.WriteString("Options", "FTPS", "1");
            ini.WriteString("Options", "FTPSCAFile", kvtest::SharedCertificate().certFile);
        }
        for (const auto& [key, value] : c.options)
            ini.WriteString("Options", key, value);
        ::mkdir(h.path("OUTBOX").c_str(), 0755);
        WriteFile(h.path("OUTBOX/b.txt"), "00:ORDERS:X:Y:ME:THEM:Z'\r\n");
        const auto serverBefore = Tree(server.root());
        const auto localBefore = Tree(h.dir.path());
        TempDir scratch; // the output, outside both trees
        kvtest::ChildProgram r({"/bin/sh", "-c", "exec \"$0\" TEST --folder \"$1\" >\"$2\"",
                                kvtest::BuildProgram("korvaned"), h.dir.path(),
                                scratch / "out.txt"},
                               {"PATH=/usr/bin:/bin", "LANG=C"}, scratch / "err.txt");
        EXPECT_EQ(r.wait(), c.code) << r.err();
        const std::string out = ReadFile(scratch / "out.txt");
        for (const std::string& text : c.said)
            EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
        EXPECT_EQ(Tree(server.root()), serverBefore);
        EXPECT_EQ(Tree(h.dir.path()), localBefore);
    }
}

// korvaned INIT on a terminal asks for each essential not given, reads the
// password without echo and writes the answers; Enter keeps the port shown.
TEST(Headless, InitAsksForTheEssentialsOnATerminal) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slaveName = ::ptsname(master);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    TempDir dir;
    const std::string folder = dir / "box";
    kvtest::ChildProgram r({"/bin/sh", "-c",
                            "exec \"$1\" INIT \"$3\" --user edi <\"$2\" >\"$2\" 2>&1", "sh",
                            kvtest::BuildProgram("korvaned"), slaveName, folder},
                           {"PATH=/usr/bin:/bin", "LANG=C"}, "/dev/null");
    std::string shown;
    // Waits (bounded) for the question, then answers it.
    auto answer = [&](const std::string& question, const std::string& line) {
        const bool asked = kvtest::Eventually(
            [&] {
                char buf[512];
                for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;)
                    shown.append(buf, static_cast<size_t>(n));
                return shown.find(question) != std::string::npos;
            },
            500, 10);
        EXPECT_TRUE(asked) << question << "\n" << shown;
        shown.clear();
        const std::string typed = line + "\n";
        EXPECT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        return asked;
    };
    const std::pair<const char*, const char*> dialogue[] = {
        {"Server host name or address: ", "h.example"},
        {"Protocol, FTP, FTPS or SFTP [FTP]: ", "sftp"},
        {"Port [22]: ", ""},
        {"Password: ", "pw-secret"},
        {"Your sender identifier (Options/FileSender): ", "me1"},
        {"Server host key", ""},
    };
    for (const auto& [question, line] : dialogue)
        if (!answer(question, line))
            break;
    EXPECT_EQ(r.wait(), 0) << shown;
    char buf[4096];
    for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;)
        shown.append(buf, static_cast<size_t>(n));
    ::close(master);
    EXPECT_EQ(shown.find("pw-secret"), std::string::npos) << shown;
    IniFile ini(folder + "/Korvane.ini");
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"Host", "h.example"},
                                     {"Protocol", "SFTP"},
                                     {"Port", "22"},
                                     {"UserID", "edi"},
                                     {"Password", EncryptToHex("pw-secret", kPasswordKey)},
                                     {"FileSender", "ME1"},
                                     {"SFTPHostKey", ""}})
        EXPECT_EQ(ini.ReadString("Options", key), value) << key;
}
