// Starting other programs: command lines split into words as a shell would,
// detached starts that never leave a zombie, and waits with a limit that end
// the program's whole process group.
#include "util/Programs.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace kv {

namespace {

// How long a program ended at its limit may take to finish after SIGTERM.
constexpr int64_t kTermGraceMs = 2000;
// How often an exclusive wait looks for a stop request.
constexpr int64_t kStopPollMs = 100;
int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void SleepMs(int64_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool IsExecutableFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// The file that starting `name` runs: the name itself when it holds a '/',
// otherwise the first executable file of that name in PATH. Empty when none.
std::string ResolveExecutable(const std::string& name) {
    if (name.empty())
        return "";
    if (name.find('/') != std::string::npos)
        return IsExecutableFile(name) ? name : "";
    const char* env = std::getenv("PATH");
    std::string path = env ? env : "/bin:/usr/bin";
    size_t pos = 0;
    for (;;) {
        size_t colon = path.find(':', pos);
        std::string dir = path.substr(pos, colon == std::string::npos ? colon : colon - pos);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (IsExecutableFile(candidate))
            return candidate;
        if (colon == std::string::npos)
            return "";
        pos = colon + 1;
    }
}

std::vector<char*> ArgvOf(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return argv;
}

// Starts file with argv in a session of its own, as a grandchild that the
// init process adopts, so nothing here ever waits for it and it never lingers
// as a zombie of this process. False when it could not be started. Between
// fork and exec only async-signal-safe calls are made: the GUI has threads.
bool LaunchDetached(const std::string& file, std::vector<std::string> words) {
    std::vector<char*> argv = ArgvOf(words);
    // A script without a "#!" line is run by the shell, as a shell would; the
    // words are made here, since the child may not allocate.
    std::vector<std::string> shWords = {"/bin/sh", file};
    shWords.insert(shWords.end(), words.begin() + 1, words.end());
    std::vector<char*> shArgv = ArgvOf(shWords);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    // The error pipe must not sit on 0, 1 or 2, which the child rearranges.
    int report = ::fcntl(fds[1], F_DUPFD_CLOEXEC, 3);
    ::close(fds[1]);
    if (report < 0) {
        ::close(fds[0]);
        return false;
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(report);
        return false;
    }
    if (pid == 0) {
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild != 0) {
            if (grandchild < 0) {
                int err = errno;
                [[maybe_unused]] ssize_t n = ::write(report, &err, sizeof err);
            }
            ::_exit(0);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig)
            ::sigaction(sig, &dfl, nullptr);
        int null = ::open("/dev/null", O_RDONLY);
        if (null > 0) {
            ::dup2(null, 0);
            ::close(null);
        }
        ::close_range(3, static_cast<unsigned>(report) - 1, 0);
        ::close_range(static_cast<unsigned>(report) + 1, ~0U, 0);
        ::execve(file.c_str(), argv.data(), environ);
        if (errno == ENOEXEC)
            ::execve("/bin/sh", shArgv.data(), environ);
        int err = errno;
        [[maybe_unused]] ssize_t n = ::write(report, &err, sizeof err);
        ::_exit(127);
    }
    ::close(report);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    // The pipe closes without a word when the exec succeeded.
    int err = 0;
    ssize_t n;
    while ((n = ::read(fds[0], &err, sizeof err)) < 0 && errno == EINTR) {
    }
    ::close(fds[0]);
    return n == 0;
}

pid_t SpawnInGroup(std::vector<std::string> words) {
    std::vector<char*> argv = ArgvOf(words);
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    ::posix_spawnattr_init(&attr);
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                          POSIX_SPAWN_SETSIGDEF);
    ::posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    ::posix_spawnattr_setsigmask(&attr, &none);
    ::posix_spawnattr_setsigdefault(&attr, &all);
    // In its own process group it must not read the terminal: it would be stopped.
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    if (rc == ENOEXEC) {
        // A script without a "#!" line: run by the shell, as a shell would.
        std::string file = ResolveExecutable(words[0]);
        std::vector<std::string> shWords = {"/bin/sh", file};
        shWords.insert(shWords.end(), words.begin() + 1, words.end());
        std::vector<char*> shArgv = ArgvOf(shWords);
        rc = file.empty() ? ENOEXEC
                          : ::posix_spawn(&pid, "/bin/sh", &actions, &attr, shArgv.data(), environ);
    }
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

int StatusCode(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 0;
}

// Collects the child's exit, blocking. 0 when someone else collected it.
int Reap(pid_t pid) {
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, 0);
        if (r == pid)
            return StatusCode(status);
        if (r < 0 && errno != EINTR)
            return 0;
    }
}

// True when the child ended before the deadline; it is not collected here.
bool EndsBefore(pid_t pid, int64_t deadline, const std::function<bool()>& stop) {
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        bool ended = false, failed = false;
        for (int64_t left; !ended && !failed && (left = deadline - NowMs()) > 0;) {
            if (stop && stop())
                break;
            struct pollfd p {
                pidfd, POLLIN, 0
            };
            // With a stop to watch, the wait is cut into short slices.
            int64_t slice = stop ? std::min<int64_t>(left, kStopPollMs) : left;
            int rc = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(slice, INT_MAX)));
            ended = rc > 0;
            failed = rc < 0 && errno != EINTR;
        }
        ::close(pidfd);
        if (!failed)
            return ended;
    }
    // No pidfd (older kernels): look every 10 ms.
    for (;;) {
        siginfo_t info{};
        int rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if ((rc == 0 && info.si_pid == pid) || (rc < 0 && errno == ECHILD))
            return true;
        int64_t left = deadline - NowMs();
        if (left <= 0 || (stop && stop()))
            return false;
        SleepMs(std::min<int64_t>(left, 10));
    }
}

// Whether a process of the group still runs. Zombies do not count: orphans
// wait for their new parent to collect them, which may take its time.
bool GroupHasLiveMembers(pid_t group) {
    if (::kill(-group, 0) < 0 && errno == ESRCH)
        return false;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return true;
    bool live = false;
    while (dirent* e = ::readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        std::string path = std::string("/proc/") + e->d_name + "/stat";
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        char buf[512];
        ssize_t n = ::read(fd, buf, sizeof buf - 1);
        ::close(fd);
        if (n <= 0)
            continue;
        buf[n] = '\0';
        // "pid (name) state ppid pgrp ...": the name may hold anything, so parse after its last
        // ')'.
        const char* close = std::strrchr(buf, ')');
        char state = 0;
        long ppid = 0, pgrp = 0;
        if (close && std::sscanf(close + 1, " %c %ld %ld", &state, &ppid, &pgrp) == 3 &&
            pgrp == group && state != 'Z' && state != 'X') {
            live = true;
            break;
        }
    }
    ::closedir(proc);
    return live;
}

// Ends the process group of a child that outlived its limit: SIGTERM to all of
// it, a grace to finish, then SIGKILL to whatever is left. The leader is
// collected only once the group is gone or killed, so its id cannot have been
// handed to another process group meanwhile.
void EndGroup(pid_t pid) {
    ::kill(-pid, SIGTERM);
    bool collected = false;
    const int64_t deadline = NowMs() + kTermGraceMs;
    for (;;) {
        if (!collected) {
            pid_t r = ::waitpid(pid, nullptr, WNOHANG);
            collected = r == pid || (r < 0 && errno == ECHILD);
        }
        if (collected && !GroupHasLiveMembers(pid))
            return;
        int64_t left = deadline - NowMs();
        if (left <= 0)
            break;
        SleepMs(std::min<int64_t>(left, 10));
    }
    ::kill(-pid, SIGKILL);
    if (!collected)
        Reap(pid);
    // SIGKILL takes effect asynchronously: return once the group is gone, so
    // nothing of the program still runs when the cycle goes on (bounded, as a
    // process in uninterruptible sleep may take its time).
    for (int i = 0; i < 200 && GroupHasLiveMembers(pid); ++i)
        SleepMs(5);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

} // namespace

std::optional<std::vector<std::string>> SplitCommandLine(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (IsBlank(c)) {
            if (inWord)
                words.push_back(std::move(word));
            word.clear();
            inWord = false;
            continue;
        }
        if (c == '\\' && i + 1 < n && text[i + 1] == '\n') {
            ++i; // a continued line
            continue;
        }
        inWord = true;
        if (c == '\\') {
            word += i + 1 < n ? text[++i] : '\\';
        } else if (c == '\'') {
            size_t close = text.find('\'', i + 1);
            if (close == std::string_view::npos)
                return std::nullopt;
            word.append(text.substr(i + 1, close - i - 1));
            i = close;
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i >= n)
                    return std::nullopt;
                char d = text[i];
                if (d == '"')
                    break;
                if (d == '\\' && i + 1 < n &&
                    std::string_view("$`\"\\\n").find(text[i + 1]) != std::string_view::npos) {
                    if (text[++i] != '\n')
                        word += text[i];
                } else {
                    word += d;
                }
            }
        } else {
            word += c;
        }
    }
    if (inWord)
        words.push_back(std::move(word));
    return words;
}
int RunProgram(const std::string& commandLine, int64_t limitMs, bool wait,
               const std::function<bool()>& stop) {
    auto words = SplitCommandLine(commandLine);
    if (!words || words->empty())
        return -1;
    if (!wait) {
        std::string file = ResolveExecutable((*words)[0]);
        return !file.empty() && LaunchDetached(file, *words) ? 0 : -1;
    }
    pid_t pid = SpawnInGroup(*words);
    if (pid < 0)
        return -1;
    const int64_t deadline = limitMs > 0 ? NowMs() + limitMs : INT64_MAX;
    if ((limitMs <= 0 && !stop) || EndsBefore(pid, deadline, stop))
        return Reap(pid);
    EndGroup(pid);
    return 0;
}

bool OpenProgram(const std::string& program, const std::string& parameters) {
    auto params = SplitCommandLine(parameters);
    if (!params)
        return false;
    std::string file = ResolveExecutable(program);
    std::vector<std::string> argv;
    if (!file.empty()) {
        argv.push_back(program);
        argv.insert(argv.end(), params->begin(), params->end());
    } else {
        // A document: opened with the desktop's handler for its kind.
        file = ResolveExecutable("xdg-open");
        if (file.empty())
            return false;
        argv = {"xdg-open", program};
    }
    return LaunchDetached(file, std::move(argv));
}

} // namespace kv
