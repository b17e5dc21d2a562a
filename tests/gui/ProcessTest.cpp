// The korvane executable as real processes: one instance per program folder,
// the close sequence on SIGTERM, and the headless path of "korvane ONCE".
#include "GuiTestSupport.h"
#include "util/Fs.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kvtest;

namespace {

std::string BinDir() {
    const char* build = std::getenv("KORVANE_BUILD_DIR");
    if (build && *build)
        return std::string(build) + "/bin";
    return kv::FolderOf(kv::FolderOf(std::filesystem::read_symlink("/proc/self/exe").string())) +
           "/bin";
}

// A program started in the program folder home; stderr goes to errFile.
class Child {
public:
    Child(const std::string& program, const std::string& home, const std::string& word,
          const std::string& errFile, bool display)
        : err_(errFile) {
        std::vector<std::string> argv{BinDir() + "/" + program};
        if (!word.empty())
            argv.push_back(word);
        std::vector<std::string> env{"KORVANE_HOME=" + home, "PATH=/usr/bin:/bin", "LANG=C",
                                     "XDG_RUNTIME_DIR=" +
                                         std::string(std::getenv("XDG_RUNTIME_DIR"))};
        if (display)
            env.push_back("QT_QPA_PLATFORM=offscreen");
        std::vector<char*> args, envp;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        if (::posix_spawn(&pid_, argv[0].c_str(), &fa, nullptr, args.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // Exit status, or -1 when it did not end within the limit.
    int wait(int seconds = 30) {
        for (int i = 0; pid_ > 0 && i < seconds * 20; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }
    bool running() { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
    void signal(int sig) {
        if (pid_ > 0)
            ::kill(pid_, sig);
    }
    std::string err() const { return Exists(err_) ? ReadFile(err_) : ""; }

private:
    std::string err_;
    pid_t pid_ = -1;
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
