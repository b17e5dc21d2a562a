// The korvane executable as real processes: one instance per program folder,
// the close sequence on SIGTERM, and the headless path of "korvane ONCE".
#include "GuiTestSupport.h"
#include "support/ChildProgram.h"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>

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
}
