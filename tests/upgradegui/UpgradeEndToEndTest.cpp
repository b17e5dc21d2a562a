// The whole upgrade with the real programs: korvane, installed with its
// updater in a scratch program folder, checks a local web server, downloads
// and verifies the newer build, hands it to Upgrader3 and closes; the updater
// puts the build in place and the program comes back up on it. And an
// upgrade whose files do not make the published version: put in place once,
// no check right after it, and said once at the next start.
#include "UpgradeTestSupport.h"

#include "config/IniFile.h"
#include "support/ChildProgram.h"
#include "upgrade/InstalledRecord.h"
#include "upgrade/UpgradePlan.h"
#include "util/Fs.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

using namespace kvtest;

namespace {

std::string BuildBin(const std::string& name) {
    const char* build = std::getenv("KORVANE_BUILD_DIR");
    return std::string(build ? build : ".") + "/bin/" + name;
}

void Install(const std::string& from, const std::string& to) {
    std::filesystem::copy_file(from, to);
    ::chmod(to.c_str(), 0755);
}

// korvane and its updater installed in a scratch program folder (with the
// language packs), message boxes off and the start-up check on. Without
// message boxes the start-up check neither asks nor shows the wizard; it goes
// the same way as Check New Version from there.
struct Installed {
    GuiHome home;
    TempDir tmp; // the updater's temporary folder
    std::string program = home.path("korvane");
    Installed() {
        Install(BuildBin("korvane"), program);
        Install(BuildBin("Upgrader3"), home.path("Upgrader3"));
        home.Settings(nullptr);
        kv::IniFile ini(home.path("Korvane.ini"));
        ini.WriteString("System", "Message", "0");
        ini.WriteString("System", "AutoUpgrade", "1");
    }
    // The environment korvane runs with, checking infoUrl.
    std::vector<std::string> Env(const std::string& infoUrl) const {
        std::vector<std::string> env{
            "KORVANE_INFO_URL=" + infoUrl,
            "TMPDIR=" + tmp.path(),
            "PATH=/usr/bin:/bin",
            "LANG=C",
            "QT_QPA_PLATFORM=offscreen",
            "XDG_RUNTIME_DIR=" + std::string(std::getenv("XDG_RUNTIME_DIR"))};
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (const char* v = std::getenv(name))
                env.push_back(std::string(name) + "=" + v);
        return env;
    }
};

} // namespace

TEST(UpgradeEndToEnd, KorvaneFindsInstallsAndComesBackUpOnTheNewerBuild) {
    WebServer& web = SharedHttpServer();
    Installed k;
    GuiHome& home = k.home;
    const std::string& program = k.program;

    // The newer build: a program that says which build runs and how it was started.
    const std::string newBuild = "#!/bin/sh\ncd \"$(dirname \"$0\")\" && echo \"1.43 $*\" > ran.tmp"
                                 " && mv ran.tmp ran.txt\n";
    web.write("e2e/korvane", newBuild);
    web.write("e2e/kv.inf", "#version=1.43\r\n#url=" + web.url("/e2e/korvane") +
                                "\r\n#sha256=" + ServedSha(web, "e2e/korvane") + "\r\n");

    {
        kvtest::ChildProgram korvane({program}, k.Env(web.url("/e2e/kv.inf")),
                                     home.path("korvane.err"));
        EXPECT_EQ(korvane.wait(60), 0) << korvane.err();
    }
    ASSERT_TRUE(WaitFor([&] { return Exists(home.path("ran.txt")); }, 30000))
        << "the program did not come back up";
    EXPECT_EQ(ReadFile(home.path("ran.txt")), "1.43 /afterupgrade\n");
    EXPECT_EQ(ReadFile(program), newBuild);
    struct stat st {};
    ::stat(program.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_FALSE(Exists(home.path("korvane.uTMP")));
    EXPECT_FALSE(Exists(home.path(kv::kArrivedListName)));
    EXPECT_EQ(home.Count("INFO:System Auto Upgrade Check!"), 1);
    // The window closed through its close sequence; then the updater said
    // what it did in the program's log.
    const std::vector<std::string> log = home.SysLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "INFO:Korvane System Close!");
    EXPECT_EQ(log.back(), "INFO:Upgrade put in place: korvane.");
    // The updater removed its copy from the temporary folder.
    EXPECT_TRUE(WaitFor([&] { return kv::ListFolder(k.tmp.path(), "*", false).empty(); }));
}

namespace {

// Processes whose executable is program (the one the updater started again).
std::vector<pid_t> ProcessesOf(const std::string& program) {
    std::vector<pid_t> pids;
    for (const auto& name : kv::ListFolder("/proc", "*", false)) {
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code ec;
        auto exe = std::filesystem::read_symlink("/proc/" + name + "/exe", ec);
        if (!ec && exe.string() == program)
            pids.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return pids;
}

} // namespace

TEST(UpgradeEndToEnd, AnUpgradeThatKeepsTheVersionIsPutInPlaceOnceThenSaidOnce) {
    WebServer& web = SharedHttpServer();
    Installed k;
    GuiHome& home = k.home;
    const std::string& program = k.program;
    // Version 1.43 is published, but the list brings no new program.
    web.write("loop/notes.txt", "notes");
    web.write("loop/kv.inf", "#version=1.43\r\n#url=" + web.url("/loop/notes.txt") + "\r\n");
    const std::vector<std::string> env = k.Env(web.url("/loop/kv.inf"));
    {
        kvtest::ChildProgram first({program}, env, home.path("first.err"));
        EXPECT_EQ(first.wait(60), 0) << first.err();
    }
    // The updater puts it in place and starts the program again, which does
    // not check at once (it would find the same upgrade and loop).
    ASSERT_TRUE(WaitFor([&] { return home.Count("INFO:Start Korvane System!") == 2; }, 30000))
        << kvtest::ReadFile(home.path("first.err"));
    EXPECT_EQ(home.Count("INFO:Upgrade put in place: notes.txt."), 1);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(home.Count("INFO:System Auto Upgrade Check!"), 1);
    EXPECT_EQ(home.Count("INFO:Start Korvane System!"), 2);
    for (pid_t pid : ProcessesOf(program))
        ::kill(pid, SIGTERM);
    ASSERT_TRUE(WaitFor([&] { return home.Count("INFO:Korvane System Close!") == 2; }, 30000));
    ASSERT_TRUE(WaitFor([&] { return ProcessesOf(program).empty(); }, 10000));

    // The next start finds the same upgrade: said once, in the log (and a box).
    const std::string said = "ERROR:" + QString::fromStdString(kv::NotRaisedText("1.43", "1.42"))
                                            .replace('\n', ' ')
                                            .simplified()
                                            .toStdString();
    kvtest::ChildProgram next({program}, env, home.path("next.err"));
    EXPECT_TRUE(WaitFor([&] { return home.Count(said) == 1; }, 30000)) << next.err();
    EXPECT_EQ(home.Count("INFO:Start Korvane System!"), 3);
    EXPECT_FALSE(Exists(home.path("notes.txt.uTMP")));
}
