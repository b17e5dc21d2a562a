#include "support/ChildProgram.h"

#include "support/Servers.h"
#include "support/TestSupport.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>

namespace kvtest {

std::string BuildProgram(const std::string& name) {
    const char* build = std::getenv("KORVANE_BUILD_DIR");
    if (build && *build)
        return std::string(build) + "/bin/" + name;
    auto self = std::filesystem::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path() / "bin" / name).string();
}

ChildProgram::ChildProgram(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env, const std::string& errFile)
    : errFile_(errFile) {
    std::vector<std::string> a = argv, e = env;
    std::vector<char*> args, envp;
    for (auto& s : a)
        args.push_back(s.data());
    args.push_back(nullptr);
    for (auto& s : e)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    started_ = ::posix_spawn(&pid_, a[0].c_str(), &fa, nullptr, args.data(), envp.data()) == 0;
    if (!started_)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
}

ChildProgram::~ChildProgram() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

int ChildProgram::wait(int seconds) {
    return pid_ > 0 ? WaitForExit(pid_, seconds) : -2;
}

bool ChildProgram::running() {
    return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0;
}

void ChildProgram::signal(int sig) {
    if (pid_ > 0)
        ::kill(pid_, sig);
}

std::string ChildProgram::err() const {
    return Exists(errFile_) ? ReadFile(errFile_) : "";
}

} // namespace kvtest
