// Running a program to its end with its output kept.
#include "program/CapturedRun.h"

#include "util/Fs.h"
#include "util/Text.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace kv {

namespace {

constexpr size_t kMaxOutput = 64 * 1024;
// How long a program ended at its limit may take to go after SIGTERM.
constexpr int kTermGraceMs = 2000;

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int StatusOf(int raw) {
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw))
        return 128 + WTERMSIG(raw);
    return -1;
}

// Ends the process group: SIGTERM, then SIGKILL when it is still there.
int EndGroup(pid_t pid) {
    ::kill(-pid, SIGTERM);
    int raw = 0;
    for (int waited = 0; waited < kTermGraceMs; waited += 20) {
        if (::waitpid(pid, &raw, WNOHANG) == pid)
            return raw;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, &raw, 0);
    return raw;
}

} // namespace

std::string CapturedRun::FirstLine() const {
    return Trim(output.substr(0, output.find('\n')));
}

CapturedRun RunCaptured(const std::vector<std::string>& argv, int64_t limitMs) {
    CapturedRun run;
    if (argv.empty())
        return run;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        run.output = "cannot run " + argv[0] + ": " + ErrnoText(errno);
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own process group, so a limit ends everything it started; the
    // signals the caller ignores or blocks are the defaults again.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        run.output = "cannot run " + argv[0] + ": " + ErrnoText(spawned);
        return run;
    }

    const int64_t deadline = NowMs() + limitMs;
    bool timedOut = false;
    for (;;) {
        const int64_t left = deadline - NowMs();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 100)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // every writer has gone
        if (run.output.size() < kMaxOutput)
            run.output.append(buffer,
                              std::min(static_cast<size_t>(n), kMaxOutput - run.output.size()));
    }
    ::close(out[0]);
    if (timedOut) {
        EndGroup(pid);
        run.output += "\n" + argv[0] + " did not end within " + IntToStr(limitMs / 1000) +
                      " seconds and was stopped.";
        return run;
    }
    // The output has ended; the program ends with it (or is ended at the limit).
    int raw = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &raw, WNOHANG);
        if (done == pid) {
            run.status = StatusOf(raw);
            return run;
        }
        if (done < 0 && errno != EINTR)
            return run;
        if (NowMs() >= deadline) {
            EndGroup(pid);
            run.output += "\n" + argv[0] + " did not end within " + IntToStr(limitMs / 1000) +
                          " seconds and was stopped.";
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace kv
