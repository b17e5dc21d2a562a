// The companion service of a program folder under the user's systemd: unit
// names as systemd-escape makes them, what Install refuses and leaves behind,
// and the whole round with the real korvaned: installed, started from its
// unit, stopped for the window, started again when the window has gone,
// removed. systemd is not process 1 on the test machines, so its user
// manager is the stand-in (tests/support/standin_systemd.py), which starts
// services from the unit files as systemd does; with a real user manager the
// last case runs against it.
#include "program/CompanionService.h"
#include "config/IniFile.h"
#include "config/SettingsWriter.h"
#include "program/CapturedRun.h"
#include "program/FolderHandOver.h"
#include "program/Program.h"
#include "support/ChildProgram.h"
#include "support/Servers.h"
#include "support/StandInSystemd.h"
#include "support/TestSupport.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace kvtest;

namespace {

// A program folder korvaned SRV starts in: its server is not there, so each
// cycle fails to connect and the service goes on waiting.
struct ServedFolder {
    TempDir dir;
    std::string home = dir / "mail box";
    ServedFolder() {
        std::filesystem::create_directories(home + "/LOG");
        WriteFile(home + "/Korvane.ini",
                  "[Options]\r\nHost=127.0.0.1\r\nPort=" + std::to_string(FreePort()) +
                      "\r\nUserID=edi\r\nPassword=\r\nTimeInterval=10\r\n"
                      "[System]\r\nLogStep=Month\r\nMessage=0\r\n[Ostrel]\r\nEnableOstrel=0\r\n");
    }
    void Installed(bool on) const {
        kv::SettingsWriter(home + "/Korvane.ini").WriteFlag(kv::keys::EnableOstrel, on);
    }
    // The service's log (LOG/KVSRV*.LOG), time stamps removed.
    std::vector<std::string> ServiceLog() const {
        std::vector<std::string> lines;
        for (const std::string& name : kv::ListFolder(home + "/LOG", "KVSRV*.LOG"))
            for (const std::string& line : ReadCrLfLines(home + "/LOG/" + name))
                lines.push_back(WithoutStamp(line));
        return lines;
    }
};

// Where each wanted line is in lines, in order; -1 for one that is missing.
std::vector<int> Positions(const std::vector<std::string>& lines,
                           const std::vector<std::string>& starts) {
    std::vector<int> at;
    for (const std::string& start : starts) {
        auto it = std::find_if(lines.begin(), lines.end(),
                               [&](const std::string& l) { return l.rfind(start, 0) == 0; });
        at.push_back(it == lines.end() ? -1 : static_cast<int>(it - lines.begin()));
    }
    return at;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(CompanionService, NamesTheFolderAsSystemdEscapeDoes) {
    for (const char* path :
         {"/home/u/.local/share/korvane", "/tmp/a b/\xC3\xBC-x/.hid", "/", "//srv//edi/",
          "/srv/./edi", "/.dot/x", "/a\\b", "/x:y_z.w", "/tmp/100%/$HOME", "/tab\there"}) {
        const kv::CapturedRun real = kv::RunCaptured({"systemd-escape", "--path", path}, 10000);
        ASSERT_TRUE(real.Ok()) << real.output;
        EXPECT_EQ(kv::SystemdEscapePath(path), kv::Trim(real.output)) << path;
    }
    kv::CompanionService service("/home/u/mail box", "/usr/bin/korvaned");
    EXPECT_EQ(service.UnitName(), "korvaned@home-u-mail\\x20box.service");
    // The unit's program is one word however it is named; specifiers and
    // variables in its name stay literal.
    const std::string text = kv::UserUnitText("/opt/k v/100%/$x/korvaned");
    EXPECT_TRUE(Contains(text, "\nExecStart=\"/opt/k v/100%%/$$x/korvaned\" SRV\n")) << text;
    EXPECT_TRUE(Contains(kv::UserUnitText("/opt/a\nb/korvaned"),
                         "\nExecStart=\"/opt/a\\x0ab/korvaned\" SRV\n"));
    EXPECT_TRUE(
        Contains(kv::UserUnitText("/usr/bin/korvaned"), "\nExecStart=/usr/bin/korvaned SRV\n"));
}

TEST(CompanionService, InstallRefusesWhatCannotServeAndLeavesNothingBehind) {
    ServedFolder f;
    StandInSystemd systemd;
    systemd.UseHere();
    const std::string korvaned = BuildProgram("korvaned");
    const struct {
        const char* condition;
        const char* linger;
        std::string program;
        const char* says;
    } cases[] = {
        {"no-manager", "yes", korvaned, "systemd user manager does not answer"},
        {"", "no", korvaned, "loginctl enable-linger"},
        {"", "yes", f.dir / "korvaned", "is missing or cannot be run"},
        {"fail-enable", "yes", korvaned, "enable korvaned@"},
        {"bad-unit", "yes", korvaned, "systemd cannot load"},
    };
    for (const auto& c : cases) {
        if (*c.condition)
            systemd.Set(c.condition, true);
        systemd.Linger(c.linger);
        kv::CompanionService service(f.home, c.program);
        const std::string why = service.Install();
        EXPECT_TRUE(Contains(why, c.says)) << c.condition << c.linger << ": " << why;
        EXPECT_FALSE(kv::FileExists(service.UnitFilePath())) << why;
        EXPECT_FALSE(
            kv::FileExists(systemd.UnitFolder() + "/default.target.wants/" + service.UnitName()));
        if (*c.condition)
            systemd.Set(c.condition, false);
    }
    EXPECT_TRUE(f.ServiceLog().empty());
}

TEST(CompanionService, ServesTheFolderOnlyWhileTheWindowIsNotThere) {
    ServedFolder f;
    StandInSystemd systemd;
    systemd.UseHere();
    const std::string korvaned = BuildProgram("korvaned");
    kv::CompanionService service(f.home, korvaned);
    const std::string unit = service.UnitName();

    ASSERT_EQ(service.Install(), "");
    EXPECT_EQ(service.UnitFilePath(), systemd.UnitFolder() + "/" + unit);
    EXPECT_EQ(ReadFile(service.UnitFilePath()), kv::UserUnitText(korvaned));
    // systemd's own reading of the unit finds nothing wrong.
    const kv::CapturedRun verify = kv::RunCaptured(
        {"systemd-analyze", "--user", "verify", "--man=no", service.UnitFilePath()}, 30000);
    EXPECT_TRUE(verify.Ok() && verify.output.empty()) << verify.output;
    EXPECT_TRUE(kv::FileExists(systemd.UnitFolder() + "/default.target.wants/" + unit));
    // Enabled, not started: the window that ticked the box works on the folder.
    EXPECT_FALSE(service.Active());
    f.Installed(true);

    // Started from its unit: korvaned SRV in the folder (its name has a blank),
    // holding the folder's lock.
    ASSERT_TRUE(service.Start().Ok()) << systemd.ServiceOutput(unit);
    const int first = systemd.ServicePid(unit);
    ASSERT_GT(first, 0);
    EXPECT_TRUE(service.Active());
    EXPECT_FALSE(kv::InstanceLock(f.home).Acquired());

    // The window comes: the service stops and the window gets the folder.
    {
        kv::FolderHandOver folder(f.home, service);
        ASSERT_TRUE(folder.Take()) << systemd.ServiceOutput(unit);
        EXPECT_TRUE(folder.StoppedService());
        EXPECT_EQ(systemd.ServicePid(unit), 0);
        EXPECT_TRUE(folder.Lock().Acquired());
        // The window has closed: the service serves the folder again.
        folder.GiveBack();
    }
    const int second = systemd.ServicePid(unit);
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
    EXPECT_FALSE(kv::InstanceLock(f.home).Acquired());

    // A window while the service is installed but not running (it failed):
    // nothing to stop is logged; at the close it is started, and a start that
    // fails is an error line.
    ASSERT_TRUE(service.Stop().Ok());
    systemd.Set("fail-start", true);
    {
        kv::FolderHandOver folder(f.home, service);
        ASSERT_TRUE(folder.Take());
        EXPECT_FALSE(folder.StoppedService());
        folder.GiveBack();
    }
    systemd.Set("fail-start", false);

    // Unticked: stopped, disabled, the unit gone.
    ASSERT_TRUE(service.Start().Ok());
    EXPECT_EQ(service.Remove(), "");
    EXPECT_EQ(systemd.ServicePid(unit), 0);
    EXPECT_FALSE(kv::FileExists(service.UnitFilePath()));
    EXPECT_FALSE(kv::FileExists(systemd.UnitFolder() + "/default.target.wants/" + unit));
    // Removing what is not there is no failure.
    EXPECT_EQ(service.Remove(), "");

    // What both sides did, in order, in the service's log; the window's steps
    // are in the system log too.
    const std::string a = "INFO:korvaned SRV (process " + std::to_string(first) + ")";
    const std::string b = "INFO:korvaned SRV (process " + std::to_string(second) + ")";
    const std::vector<std::string> log = f.ServiceLog();
    const std::vector<int> at =
        Positions(log, {"INFO:Service " + unit + " installed and enabled", a + " started.",
                        a + " ended.", "INFO:Service " + unit + " stopped: the window works",
                        b + " started.", "INFO:Service " + unit + " started: the window has closed",
                        "ERROR:Service " + unit + " did not start: Job for",
                        "INFO:Service " + unit + " stopped, disabled and removed."});
    EXPECT_TRUE(std::is_sorted(at.begin(), at.end()) && at.front() >= 0)
        << ::testing::PrintToString(log);
    const std::vector<std::string> sys = SysLogLines(f.home);
    EXPECT_GE(Positions(sys, {"INFO:Service " + unit + " stopped: the window works"})[0], 0);
    EXPECT_GE(Positions(sys, {"INFO:Korvane System Close!"})[0], 0)
        << ::testing::PrintToString(sys);
}

TEST(CompanionService, ARootRunLeavesTheServiceLogToTheFolderOwner) {
    if (!RunningAsRoot())
        GTEST_SKIP() << "only root can make files for another user";
    // A service's program folder, owned by its own user (nobody here), where
    // root starts korvaned SRV once by hand.
    const uid_t owner = 65534;
    const gid_t group = 65534;
    TempDir dir;
    const std::string home = dir / "served";
    std::filesystem::create_directories(home);
    WriteFile(home + "/Korvane.ini", "[System]\r\nLogStep=Month\r\n");
    ::chown(home.c_str(), owner, group);
    ::chown((home + "/Korvane.ini").c_str(), owner, group);

    kv::LogServiceEvent(home, false, "korvaned SRV (process 1) started.");
    const std::vector<std::string> serviceLog = kv::ListFolder(home + "/LOG", "KVSRV*");
    const std::vector<std::string> systemLog = kv::ListFolder(home + "/LOG", "KVSYS*");
    ASSERT_EQ(serviceLog.size(), 1u);
    ASSERT_EQ(systemLog.size(), 1u);
    const std::vector<std::string> made = {"LOG", "LOG/" + serviceLog[0], "LOG/" + systemLog[0]};
    for (const std::string& name : made) {
        struct stat st {};
        ASSERT_EQ(::lstat((home + "/" + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_uid, owner) << name;
        EXPECT_EQ(st.st_gid, group) << name;
    }
}

TEST(CompanionService, AgainstARealUserManager) {
    const kv::CapturedRun manager =
        kv::RunCaptured({"systemctl", "--user", "show-environment"}, 10000);
    if (!manager.Ok())
        GTEST_SKIP() << "no systemd user manager answers here (" << manager.FirstLine()
                     << "); the stand-in cases above cover the service";
    const char* user = std::getenv("USER");
    const kv::CapturedRun linger = kv::RunCaptured(
        {"loginctl", "show-user", user ? user : "root", "--property=Linger", "--value"}, 10000);
    ServedFolder f;
    kv::CompanionService service(f.home, BuildProgram("korvaned"));
    const std::string why = service.Install();
    if (kv::Trim(linger.output) != "yes") {
        EXPECT_TRUE(Contains(why, "loginctl enable-linger")) << why;
        GTEST_SKIP() << "lingering is off for this user: Install refuses, as it must";
    }
    ASSERT_EQ(why, "");
    f.Installed(true);
    ASSERT_TRUE(service.Start().Ok());
    {
        kv::FolderHandOver folder(f.home, service);
        EXPECT_TRUE(folder.Take());
        EXPECT_FALSE(service.Active());
        folder.GiveBack();
    }
    EXPECT_TRUE(service.Active());
    EXPECT_EQ(service.Remove(), "");
    EXPECT_FALSE(service.Active());
}
