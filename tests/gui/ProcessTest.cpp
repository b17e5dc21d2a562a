// The korvane executable as real processes: one instance per program folder,
// the close sequence on SIGTERM, the headless path of "korvane ONCE", and the
// notification area on a virtual X server with a tray (Xvfb and trayer).
#include "GuiTestSupport.h"
#include "config/IniFile.h"
#include "config/SettingsWriter.h"
#include "program/CompanionService.h"
#include "support/ChildProgram.h"
#include "support/StandInSystemd.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vector>

using namespace kvtest;

namespace {

// korvane or korvaned in the program folder home, with a display (Qt's
// offscreen platform) or without any.
class Child : public ChildProgram {
public:
    Child(const std::string& program, const std::string& home, const std::string& word,
          const std::string& errFile, bool display)
        : ChildProgram(Argv(program, word), Env(home, display), errFile) {}

private:
    static std::vector<std::string> Argv(const std::string& program, const std::string& word) {
        std::vector<std::string> argv{BuildProgram(program)};
        if (!word.empty())
            argv.push_back(word);
        return argv;
    }
    static std::vector<std::string> Env(const std::string& home, bool display) {
        std::vector<std::string> env{"KORVANE_HOME=" + home, "PATH=/usr/bin:/bin", "LANG=C",
                                     "XDG_RUNTIME_DIR=" +
                                         std::string(std::getenv("XDG_RUNTIME_DIR"))};
        if (display)
            env.push_back("QT_QPA_PLATFORM=offscreen");
        return env;
    }
};

} // namespace

TEST(GuiProcess, OneInstancePerProgramFolderAndCloseOnSigterm) {
    GuiHome h;
    h.Settings(nullptr);
    Child first("korvane", h.dir.path(), "", h.path("first.err"), true);
    ASSERT_TRUE(WaitFor([&] { return h.Count("INFO:Read Configuration From INI File.") == 1; }))
        << first.err();
    ASSERT_TRUE(first.running());

    Child second("korvane", h.dir.path(), "", h.path("second.err"), true);
    EXPECT_TRUE(WaitFor([&] {
        return second.err().find("Program Already Run!!!") != std::string::npos;
    })) << second.err();
    second.signal(SIGKILL);
    Child headless("korvaned", h.dir.path(), "ONCE", h.path("headless.err"), false);
    EXPECT_EQ(headless.wait(), 2);
    EXPECT_NE(headless.err().find("Program Already Run!!!"), std::string::npos);
    EXPECT_TRUE(first.running());
    EXPECT_EQ(h.Count("INFO:Start Korvane System!"), 1);

    first.signal(SIGTERM); // the close sequence runs
    EXPECT_EQ(first.wait(), 0) << first.err();
    EXPECT_EQ(h.SysLog().back(), "INFO:Korvane System Close!");
    EXPECT_TRUE(Exists(h.path("kvini.bak")));

    // Without a display, "korvane ONCE" is the headless run: no server here,
    // so it cannot connect (2), and it logs like korvaned.
    Child once("korvane", h.dir.path(), "once", h.path("once.err"), false);
    EXPECT_EQ(once.wait(), 2) << once.err();
    EXPECT_NE(once.err().find("could not connect"), std::string::npos) << once.err();
    EXPECT_EQ(h.Count("INFO:Start Korvane System!"), 2);
    // With korvaned's command-line rules: a word it does not take is refused
    // by name before anything starts.
    ChildProgram typo({BuildProgram("korvane"), "ONCE", "--typo"},
                      {"KORVANE_HOME=" + h.dir.path(), "PATH=/usr/bin:/bin", "LANG=C"},
                      h.path("typo.err"));
    EXPECT_EQ(typo.wait(), 2);
    EXPECT_NE(typo.err().find("korvane: unknown option '--typo' for ONCE"), std::string::npos)
        << typo.err();
    EXPECT_EQ(h.Count("INFO:Start Korvane System!"), 2);
}

namespace {

// The lines `xwininfo -root -tree` prints for the X server of the environment.
std::vector<std::string> WindowTree(const std::string& scratch) {
    std::vector<std::string> lines;
    if (kvtest::RunProgram({"/usr/bin/xwininfo", "-root", "-tree"}, scratch) != 0)
        return lines;
    std::string text = ReadFile(scratch);
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// The id of a window of korvane's class whose line holds the given text.
std::string KorvaneWindow(const std::string& scratch, const std::string& with) {
    for (const std::string& l : WindowTree(scratch))
        if (l.find("(\"korvane\" \"Korvane\")") != std::string::npos &&
            l.find(with) != std::string::npos) {
            size_t b = l.find_first_not_of(' ');
            return l.substr(b, l.find(' ', b) - b);
        }
    return "";
}

} // namespace

TEST(GuiProcess, AutoStartsInTheNotificationAreaAndALeftClickRestores) {
    for (const char* tool :
         {"/usr/bin/Xvfb", "/usr/bin/trayer", "/usr/bin/xdotool", "/usr/bin/xwininfo"})
        if (!Exists(tool))
            GTEST_SKIP() << tool << " is not installed";
    GuiHome h;
    h.Settings(nullptr);
    int display = 0;
    for (int n = 90 + ::getpid() % 50; n < 400 && !display; ++n)
        if (!Exists("/tmp/.X11-unix/X" + std::to_string(n)) &&
            !Exists("/tmp/.X" + std::to_string(n) + "-lock"))
            display = n;
    ASSERT_NE(display, 0);
    const std::string name = ":" + std::to_string(display);
    ChildProgram x({"/usr/bin/Xvfb", name, "-screen", "0", "800x600x24", "-nolisten", "tcp"},
                   {"PATH=/usr/bin:/bin"}, h.path("xvfb.err"));
    ASSERT_TRUE(WaitFor([&] { return Exists("/tmp/.X11-unix/X" + std::to_string(display)); }))
        << x.err();
    const char* oldDisplay = std::getenv("DISPLAY");
    const std::string saved = oldDisplay ? oldDisplay : "";
    ::setenv("DISPLAY", name.c_str(), 1);
    const std::string scratch = h.path("tree.txt");
    ChildProgram tray({"/usr/bin/trayer", "--edge", "bottom", "--align", "right", "--widthtype",
                       "pixel", "--width", "60", "--height", "32"},
                      {"DISPLAY=" + name, "PATH=/usr/bin:/bin"}, h.path("trayer.err"));
    EXPECT_TRUE(WaitFor([&] {
        for (const std::string& l : WindowTree(scratch))
            if (l.find("\"panel\"") != std::string::npos)
                return true;
        return false;
    }));
    // Under LeakSanitizer: Qt's X11 platform leaves a block of libdbus behind.
    WriteFile(h.path("lsan.supp"), "leak:libdbus-1.so\n");
    ChildProgram window({BuildProgram("korvane"), "auto"},
                        {"DISPLAY=" + name, "KORVANE_HOME=" + h.dir.path(), "PATH=/usr/bin:/bin",
                         "LANG=C", "XDG_RUNTIME_DIR=" + std::string(std::getenv("XDG_RUNTIME_DIR")),
                         "LSAN_OPTIONS=suppressions=" + h.path("lsan.supp")},
                        h.path("korvane.err"));
    // Started hidden: only the icon in the notification area (tip "Korvane").
    std::string icon;
    EXPECT_TRUE(WaitFor([&] { return !(icon = KorvaneWindow(scratch, "22x")).empty(); }))
        << window.err();
    EXPECT_TRUE(WaitFor([&] { return h.Count("INFO:Auto Mode Started.") == 1; }));
    EXPECT_EQ(KorvaneWindow(scratch, "686x"), "");
    // A left click on the icon shows the window and removes the icon.
    if (!icon.empty())
        kvtest::RunProgram(
            {"/usr/bin/xdotool", "mousemove", "--window", icon, "10", "10", "click", "1"});
    EXPECT_TRUE(WaitFor([&] { return !KorvaneWindow(scratch, "686x").empty(); })) << window.err();
    EXPECT_TRUE(WaitFor([&] { return KorvaneWindow(scratch, "22x").empty(); }));
    window.signal(SIGTERM);
    EXPECT_EQ(window.wait(), 0) << window.err();
    EXPECT_EQ(h.SysLog().back(), "INFO:Korvane System Close!");
    if (saved.empty())
        ::unsetenv("DISPLAY");
    else
        ::setenv("DISPLAY", saved.c_str(), 1);
    tray.signal(SIGTERM);
    tray.wait(10);
    x.signal(SIGTERM);
    x.wait(10);
}

TEST(GuiProcess, TheWindowTakesTheFolderFromItsServiceAndGivesItBack) {
    // The folder's service installed and running, under the stand-in systemd
    // (systemd is not process 1 here).
    GuiHome h;
    h.Settings(nullptr);
    StandInSystemd systemd;
    systemd.UseHere();
    kv::CompanionService service(h.dir.path(), BuildProgram("korvaned"));
    ASSERT_EQ(service.Install(), "");
    kv::SettingsWriter(h.path("Korvane.ini")).WriteFlag(kv::keys::EnableOstrel, true);
    ASSERT_TRUE(service.Start().Ok()) << systemd.ServiceOutput(service.UnitName());
    const int served = systemd.ServicePid(service.UnitName());
    ASSERT_GT(served, 0);

    std::vector<std::string> env = systemd.Environment();
    env.insert(env.end(), {"KORVANE_HOME=" + h.dir.path(), "LANG=C", "QT_QPA_PLATFORM=offscreen",
                           "XDG_RUNTIME_DIR=" + std::string(std::getenv("XDG_RUNTIME_DIR"))});
    ChildProgram window({BuildProgram("korvane")}, env, h.path("window.err"));
    // The window starts once the service has stopped and let the folder go.
    ASSERT_TRUE(WaitFor([&] { return h.Count("INFO:Start Korvane System!") == 2; }))
        << window.err();
    EXPECT_EQ(systemd.ServicePid(service.UnitName()), 0);
    EXPECT_TRUE(window.running());

    // The window closes: the service serves the folder again.
    window.signal(SIGTERM);
    EXPECT_EQ(window.wait(), 0) << window.err();
    const int again = systemd.ServicePid(service.UnitName());
    EXPECT_GT(again, 0);
    EXPECT_NE(again, served);
    const std::vector<std::string> calls = systemd.Calls();
    const std::string stop = "systemctl --user --no-ask-password stop " + service.UnitName();
    const std::string start = "systemctl --user --no-ask-password start " + service.UnitName();
    const auto stopAt = std::find(calls.begin(), calls.end(), stop);
    EXPECT_NE(stopAt, calls.end());
    EXPECT_NE(std::find(stopAt, calls.end(), start), calls.end());
    const std::vector<std::string> log = h.SysLog();
    const auto windowClosed = std::find(log.begin(), log.end(), "INFO:Korvane System Close!");
    ASSERT_NE(windowClosed, log.end());
    EXPECT_EQ(std::count(log.begin(), log.end(), "INFO:Korvane System Close!"), 2)
        << ::testing::PrintToString(log);
    EXPECT_EQ(service.Remove(), "");
}
