#include "engine/cycle/Hooks.h"
#include "app/CycleSettings.h"
#include "config/IniFile.h"
#include "support/TestSupport.h"
#include "util/Errors.h"

#include <atomic>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kv;
using kvtest::Exists;
using kvtest::ReadFile;
using kvtest::StateFixture;
using kvtest::TempDir;
using kvtest::WithoutStamp;
using kvtest::WriteFile;

namespace {

std::string Script(const TempDir& d, const std::string& name, const std::string& body) {
    std::string path = d / name;
    WriteFile(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path;
}

// Waits (bounded) for a file that a started program writes.
bool WaitForFile(const std::string& path) {
    return kvtest::Eventually([&] { return Exists(path); }, 2000, 10);
}

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

pid_t PidIn(const std::string& path) {
    EXPECT_TRUE(WaitForFile(path)) << path;
    return static_cast<pid_t>(std::atoi(ReadFile(path).c_str()));
}

// Running, as opposed to gone or a zombie left for its new parent to collect.
bool Running(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(f, stat))
        return false;
    size_t p = stat.rfind(')');
    return p != std::string::npos && p + 2 < stat.size() && stat[p + 2] != 'Z' &&
           stat[p + 2] != 'X';
}

// This process has no child left, neither running nor a zombie.
bool NoChildren() {
    int status;
    return ::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
}

struct HookFixture : StateFixture {
    kv::IniFile ini{state.IniPath};
    void Set(const std::string& key, const std::string& value) {
        ini.WriteString("Options", key, value);
    }
    // Turns the "Before" or "After" hook on with program, waiting for it when exclusive.
    void Hook(const std::string& when, const std::string& program, bool exclusive = true) {
        Set("Run" + when, "1");
        if (exclusive)
            Set("ExclusiveRun" + when, "1");
        Set("ProgramRun" + when, program);
    }
    // Runs a hook as a cycle does, with the settings the file holds now.
    void Run(bool before) {
        const kv::CycleSettings c = kv::ReadCycleSettings(state);
        kv::RunHook(state, before ? c.runBefore : c.runAfter, c.timeInterval);
    }
    std::vector<std::string> Lines() const {
        std::vector<std::string> out;
        for (auto& l : host.view)
            out.push_back(WithoutStamp(l));
        return out;
    }
};

} // namespace

TEST(SplitCommandLine, QuotesLikeAShellWithoutExpanding) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(SplitCommandLine("prog  a\tb \n"), (Words{"prog", "a", "b"}));
    EXPECT_EQ(SplitCommandLine("'a b' \"c d\" e\\ f"), (Words{"a b", "c d", "e f"}));
    EXPECT_EQ(SplitCommandLine(R"("x\"y\\z\$\n" 'it''s' a"b"'c'd)"),
              (Words{"x\"y\\z$\\n", "its", "abcd"}));
    EXPECT_EQ(SplitCommandLine("\"\" '' x"), (Words{"", "", "x"}));
    EXPECT_EQ(SplitCommandLine("a\\\nb \\\n c\\"), (Words{"ab", "c\\"}));
    EXPECT_EQ(SplitCommandLine("$HOME *.txt > out; x|y"),
              (Words{"$HOME", "*.txt", ">", "out;", "x|y"}));
    EXPECT_EQ(SplitCommandLine("   "), Words{});
    EXPECT_FALSE(SplitCommandLine("prog \"open"));
    EXPECT_FALSE(SplitCommandLine("prog 'open"));
}

TEST(HookTimeLimit, MinutesRoundedHalfToEvenAndLocaleSeparator) {
    EXPECT_EQ(HookTimeLimit("30", true, '.'), 600000);
    EXPECT_EQ(HookTimeLimit("2.5", true, '.'), 40000);
    EXPECT_EQ(HookTimeLimit("3.5", true, '.'), 80000);
    // Below a minute and a half the rounded minutes give no time: 20 s then.
    EXPECT_EQ(HookTimeLimit("0.2", true, '.'), 20000);
    EXPECT_EQ(HookTimeLimit(" +1 ", true, '.'), 20000);
    EXPECT_EQ(HookTimeLimit("1e1", true, '.'), 200000);
    EXPECT_EQ(HookTimeLimit(".6", true, '.'), 20000);
    EXPECT_EQ(HookTimeLimit("2,5", true, ','), 40000);
    EXPECT_EQ(HookTimeLimit("2.5", true, ','), 40000);
    EXPECT_EQ(HookTimeLimit("-5", true, '.'), 20000);
    EXPECT_EQ(HookTimeLimit("30", false, '.'), 0);
    EXPECT_GT(HookTimeLimit("1e300", true, '.'), 0); // no overflow
    for (const char* bad : {"2,5", "", "abc", "1.2.3", "1,000.5", "30 min", ".", "1e", "inf"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(HookTimeLimit(bad, true, '.'), FloatConversionError);
        EXPECT_THROW(HookTimeLimit(bad, false, '.'), FloatConversionError);
    }
    try {
        HookTimeLimit("abc", true, '.');
    } catch (const FloatConversionError& e) {
        EXPECT_STREQ(e.what(), "'abc' is not a valid floating point value");
    }
    EXPECT_EQ(RoundHalfEven(0.5), 0);
    EXPECT_EQ(RoundHalfEven(1.5), 2);
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(2.51), 3);
    EXPECT_EQ(RoundHalfEven(-1.5), -2);
    EXPECT_EQ(RoundHalfEven(-2.5), -2);

    const char* old = std::getenv("LC_ALL");
    std::string saved = old ? old : "";
    ::setenv("LC_ALL", "C", 1);
    EXPECT_EQ(LocaleDecimalSeparator(), '.');
    if (old)
        ::setenv("LC_ALL", saved.c_str(), 1);
    else
        ::unsetenv("LC_ALL");
}

TEST(RunProgram, WaitsAndReturnsTheExitStatus) {
    TempDir d;
    std::string prog =
        Script(d, "args.sh",
               "for a in \"$@\"; do echo \"$a\"; done > \"" + d / "args" +
                   "\"\n"
                   "cut -d' ' -f5 /proc/$$/stat > \"" +
                   d / "pgrp" + "\"\n" + "echo $$ > \"" + d / "pid" + "\"\n" +
                   "readlink /proc/$$/fd/0 > \"" + d / "stdin" + "\"\n" +
                   "[ -e /proc/$$/fd/57 ] && echo leaked > \"" + d / "fd" + "\"\nexit 3\n");
    // A descriptor without close-on-exec must not reach the program.
    int fd = ::open(prog.c_str(), O_RDONLY);
    ASSERT_EQ(::dup2(fd, 57), 57);
    ::close(fd);
    EXPECT_EQ(RunProgram(prog + " 'a b' c \"\"", 0, true), 3);
    ::close(57);
    EXPECT_EQ(ReadFile(d / "args"), "a b\nc\n\n");
    // Its own process group, standard input from /dev/null.
    EXPECT_EQ(Trimmed(ReadFile(d / "pgrp")), Trimmed(ReadFile(d / "pid")));
    EXPECT_NE(std::atoi(ReadFile(d / "pgrp").c_str()), ::getpgrp());
    EXPECT_EQ(Trimmed(ReadFile(d / "stdin")), "/dev/null");
    EXPECT_FALSE(Exists(d / "fd"));

    // Found in PATH; a limit that is not reached changes nothing.
    EXPECT_EQ(RunProgram("sh -c 'exit 7'", 60000, true), 7);
    EXPECT_EQ(RunProgram("sh -c 'kill -9 $$'", 0, true), 128 + 9);
    EXPECT_TRUE(NoChildren());
}

TEST(RunProgram, ProgramsThatCannotStartReturnAtOnce) {
    TempDir d;
    WriteFile(d / "plain.sh", "#!/bin/sh\ntouch \"" + d / "ran" + "\"\n"); // not executable
    EXPECT_EQ(RunProgram(d / "plain.sh", 0, true), -1);
    EXPECT_EQ(RunProgram(d / "missing", 0, true), -1);
    EXPECT_EQ(RunProgram("no-such-program-korvane arg", 0, true), -1);
    EXPECT_EQ(RunProgram("", 0, true), -1);
    EXPECT_EQ(RunProgram("sh -c 'touch x", 0, true), -1); // open quote
    EXPECT_EQ(RunProgram(d / "missing", 0, false), -1);
    EXPECT_FALSE(Exists(d / "ran"));
    EXPECT_TRUE(NoChildren());
}

TEST(RunProgram, KillsTheWholeGroupAtTheLimit) {
    TempDir d;
    // The program and a child it started in the background both outlive the limit.
    std::string prog = Script(d, "slow.sh",
                              "sleep 300 &\necho $! > \"" + d / "child" + "\"\necho $$ > \"" +
                                  d / "main" + "\"\nsleep 300\ntouch \"" + d / "finished" + "\"\n");
    EXPECT_EQ(RunProgram(prog, 300, true), 0);
    pid_t main = PidIn(d / "main"), child = PidIn(d / "child");
    EXPECT_FALSE(Running(main));
    EXPECT_FALSE(Running(child));
    EXPECT_FALSE(Exists(d / "finished"));

    // Deaf to SIGTERM, and so is its child: SIGKILL after the grace.
    std::string deaf =
        Script(d, "deaf.sh",
               "trap '' TERM\nsleep 300 &\necho $! > \"" + d / "child2" + "\"\necho $$ > \"" +
                   d / "main2" + "\"\nwhile :; do sleep 1; done\n");
    EXPECT_EQ(RunProgram(deaf, 300, true), 0);
    main = PidIn(d / "main2");
    child = PidIn(d / "child2");
    EXPECT_FALSE(Running(main));
    EXPECT_FALSE(Running(child));
    EXPECT_TRUE(NoChildren());
}

// A stop request ends the wait (with or without a limit) and the program's
// whole group, as the limit does. A script without "#!" runs with /bin/sh.
TEST(RunProgram, StopEndsTheWaitAndScriptsWithoutInterpreterLineRun) {
    TempDir d;
    std::string prog = Script(d, "slow.sh",
                              "sleep 300 &\necho $! > \"" + d / "child" + "\"\necho $$ > \"" +
                                  d / "main" + "\"\nsleep 300\n");
    for (int64_t limit : {int64_t{0}, int64_t{600000}}) {
        SCOPED_TRACE(limit);
        std::atomic<bool> stop{false};
        std::thread stopper([&] {
            kvtest::Eventually([&] { return Exists(d / "child"); }, 200, 10);
            stop = true;
        });
        EXPECT_EQ(RunProgram(prog, limit, true, [&] { return stop.load(); }), 0);
        stopper.join();
        EXPECT_FALSE(Running(PidIn(d / "main")));
        EXPECT_FALSE(Running(PidIn(d / "child")));
        ::unlink((d / "child").c_str());
    }
    EXPECT_TRUE(NoChildren());

    // Waited for or started detached, a script without "#!" runs with /bin/sh.
    WriteFile(d / "plain", "echo \"$1\" > \"" + d / "ran.tmp" + "\"\nmv \"" + d / "ran.tmp" +
                               "\" \"" + d / "ran" + "\"\nexit 3\n");
    ::chmod((d / "plain").c_str(), 0755);
    for (bool wait : {true, false}) {
        SCOPED_TRACE(wait);
        ::unlink((d / "ran").c_str());
        EXPECT_EQ(RunProgram(d / "plain" + " word", 0, wait), wait ? 3 : 0);
        EXPECT_TRUE(kvtest::Eventually([&] { return Exists(d / "ran"); }, 500, 10));
        EXPECT_EQ(ReadFile(d / "ran"), "word\n");
    }
}

TEST(RunProgram, AProgramEndedInTimeKeepsWhatItLeftRunning) {
    TempDir d;
    // Only a program that outlives its limit is ended; one that finished in
    // time may leave a process running on purpose.
    std::string prog =
        Script(d, "quick.sh", "sleep 30 &\necho $! > \"" + d / "background" + "\"\nexit 5\n");
    EXPECT_EQ(RunProgram(prog, 60000, true), 5);
    pid_t background = PidIn(d / "background");
    EXPECT_TRUE(Running(background));
    ::kill(background, SIGKILL);
}

TEST(RunHook, SwitchedOffOrWithoutProgramDoesNothing) {
    HookFixture f;
    std::string prog = Script(f.dir, "p.sh", "touch \"" + f.path("ran") + "\"\n");
    f.Set("ProgramRunBefore", prog);
    f.Set("ExclusiveRunBefore", "1");
    f.Set("TimeInterval", "not a number");
    for (const char* off : {"yes", "true", "", "0", "1.0"}) {
        f.Set("RunBefore", off);
        f.Run(true);
    }
    f.Set("RunAfter", "1"); // on, but no program named
    f.Set("ExclusiveRunAfter", "1");
    f.Run(false);
    EXPECT_TRUE(f.host.view.empty());
    EXPECT_FALSE(Exists(f.path("ran")));
}

TEST(RunHook, ExclusiveWaitsWithoutPumpingEvents) {
    HookFixture f;
    std::string prog =
        Script(f.dir, "after.sh",
               "sleep 0.3\nfor a in \"$@\"; do echo \"[$a]\"; done > \"" + f.path("args") + "\"\n");
    f.Hook("After", prog);
    f.Set("ParameterRunAfter", "'x y' z");
    f.Set("TimeInterval", "0.2");
    f.state.AutoMode = true; // 0.2 rounds to 0 minutes: the 20-second floor
    f.Run(false);
    EXPECT_EQ(ReadFile(f.path("args")), "[x y]\n[z]\n"); // written before RunHook returned
    EXPECT_EQ(f.Lines(), std::vector<std::string>{"INFO:Run Program " + prog});
    EXPECT_EQ(f.host.pumps, 0);

    // Empty parameters: the line ends in a blank, the program gets no argument.
    f.Set("ParameterRunAfter", "");
    f.Set("TimeInterval", "30");
    f.state.AutoMode = false;
    f.Run(false);
    EXPECT_EQ(ReadFile(f.path("args")), "");
    EXPECT_EQ(f.host.pumps, 0);
    EXPECT_TRUE(NoChildren());
}

TEST(RunHook, ExclusiveProgramPathWithBlanksStaysOneWord) {
    HookFixture f;
    ::mkdir(f.path("my tools").c_str(), 0755);
    std::string prog =
        Script(f.dir, "my tools/it's.sh",
               "for a in \"$@\"; do echo \"[$a]\"; done > \"" + f.path("args") + "\"\n");
    f.Hook("After", prog);
    f.Set("ParameterRunAfter", "one 'two three'");
    f.Set("TimeInterval", "10");
    f.Run(false);
    EXPECT_EQ(ReadFile(f.path("args")), "[one]\n[two three]\n");
}

TEST(RunHook, BadTimeIntervalThrowsAfterTheLine) {
    HookFixture f;
    std::string prog = Script(f.dir, "p.sh", "touch \"" + f.path("ran") + "\"\n");
    f.Hook("Before", prog);
    f.Set("TimeInterval", "ten");
    EXPECT_THROW(f.Run(true), FloatConversionError);
    EXPECT_EQ(f.Lines(), std::vector<std::string>{"INFO:Run Program " + prog});
    EXPECT_FALSE(Exists(f.path("ran")));

    // A program that cannot be started: the line, then nothing.
    f.Set("ProgramRunBefore", f.path("missing"));
    f.Set("TimeInterval", "30");
    f.Run(true);
    EXPECT_EQ(f.Lines().size(), 2u);
}

TEST(RunHook, NonExclusiveStartsDetachedAndNeverWaits) {
    HookFixture f;
    // The program waits for a file that the test writes only after RunHook has
    // returned: had RunHook waited, the marker would already be there.
    std::string prog =
        Script(f.dir, "bg.sh",
               "i=0\nwhile [ ! -e \"" + f.path("go") + "\" ] && [ $i -lt 2000 ]; do sleep 0.01; " +
                   "i=$((i+1)); done\n" + "cut -d' ' -f6 /proc/$$/stat > \"" + f.path("sid.tmp") +
                   "\"\necho \"$@\" >> \"" + f.path("sid.tmp") + "\"\nmv \"" + f.path("sid.tmp") +
                   "\" \"" + f.path("sid") + "\"\n");
    f.Hook("Before", prog, false);
    f.Set("ParameterRunBefore", "one 'two three'");
    f.Set("TimeInterval", "not read for this kind");
    f.Run(true);
    EXPECT_FALSE(Exists(f.path("sid")));
    EXPECT_TRUE(NoChildren()); // nothing to collect, no zombie, even before it ends
    WriteFile(f.path("go"), "");
    ASSERT_TRUE(WaitForFile(f.path("sid")));
    std::string out = ReadFile(f.path("sid"));
    EXPECT_NE(std::atoi(out.c_str()), ::getsid(0)); // a session of its own
    EXPECT_NE(out.find("one two three"), std::string::npos);
    EXPECT_EQ(f.Lines(), std::vector<std::string>{"INFO:Run Program " + prog});
    EXPECT_TRUE(NoChildren());
}

TEST(RunHook, NonExclusiveDocumentGoesToXdgOpen) {
    HookFixture f;
    ::mkdir(f.path("bin").c_str(), 0755);
    Script(f.dir, "bin/xdg-open",
           "echo \"$@\" > \"" + f.path("opened.tmp") + "\"\nmv \"" + f.path("opened.tmp") +
               "\" \"" + f.path("opened") + "\"\n");
    WriteFile(f.path("report.txt"), "a document, not a program");
    const char* oldPath = std::getenv("PATH");
    std::string saved = oldPath ? oldPath : "";
    ::setenv("PATH", (f.path("bin") + ":" + saved).c_str(), 1);
    f.Hook("After", f.path("report.txt"), false);
    f.Run(false);
    ::setenv("PATH", saved.c_str(), 1);
    ASSERT_TRUE(WaitForFile(f.path("opened")));
    EXPECT_EQ(ReadFile(f.path("opened")), f.path("report.txt") + "\n");
    EXPECT_TRUE(NoChildren());
}

// Takes the shortest limit a hook can have: one minute of interval, 20 s.
TEST(RunHook, AutomaticModeEndsAProgramThatOutlivesItsLimit) {
    HookFixture f;
    std::string prog = Script(f.dir, "stuck.sh",
                              "sleep 600 &\necho $! > \"" + f.path("child") + "\"\necho $$ > \"" +
                                  f.path("main") + "\"\nsleep 600\n");
    f.Hook("Before", prog);
    f.Set("TimeInterval", "0.6");
    f.state.AutoMode = true;
    f.Run(true);
    pid_t main = PidIn(f.path("main")), child = PidIn(f.path("child"));
    EXPECT_FALSE(Running(main));
    EXPECT_FALSE(Running(child));
    EXPECT_EQ(f.host.pumps, 0);
    EXPECT_TRUE(NoChildren());
}
