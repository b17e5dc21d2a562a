// Upgrader3: puts a downloaded upgrade in place and starts the program again.
//
//   Upgrader3 PROGRAM +RESTARTPARAMS<method digit>
//
// It waits (a bounded time) for the program to end: for the process named in
// $KORVANE_UPGRADE_PID and for the program folder's instance lock. Holding
// that lock, it checks every file of the arrived list and replaces all of them
// or none. Then it starts PROGRAM with RESTARTPARAMS in its own session,
// whether the files were replaced or not, so the user keeps a running program,
// and removes its own copy from the temporary folder.
#include "program/Program.h"
#include "upgrade/HandOver.h"
#include "upgrade/InfoFile.h"
#include "upgrade/InstallFiles.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <signal.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

constexpr auto kWaitLimit = std::chrono::seconds(60);
constexpr auto kPollStep = std::chrono::milliseconds(100);

bool ProcessEnded(pid_t pid) {
    if (::kill(pid, 0) != 0)
        return errno == ESRCH;
    // A zombie has ended; only its parent has not collected it yet.
    try {
        std::string stat = kv::ReadWholeFile("/proc/" + kv::IntToStr(pid) + "/stat");
        size_t close = stat.rfind(')');
        return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
    } catch (const kv::FileError&) {
        return true;
    }
}

// Waits for the program's process and then takes its instance lock. Null when
// the program did not end within the limit.
std::unique_ptr<kv::InstanceLock> WaitForProgramEnd(const std::string& folder) {
    auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    pid_t pid = 0;
    if (const char* env = std::getenv(kv::kUpdaterWaitPidVariable)) {
        if (auto v = kv::TryStrToInt64(env); v && *v > 1)
            pid = static_cast<pid_t>(*v);
    }
    while (pid > 0 && !ProcessEnded(pid)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return nullptr;
        std::this_thread::sleep_for(kPollStep);
    }
    for (;;) {
        auto lock = std::make_unique<kv::InstanceLock>(folder);
        if (lock->Acquired())
            return lock;
        if (std::chrono::steady_clock::now() >= deadline)
            return nullptr;
        std::this_thread::sleep_for(kPollStep);
    }
}

void Restart(const std::string& program, const std::string& params, const std::string& folder) {
    std::vector<std::string> argv = {program};
    if (!params.empty())
        argv.push_back(params);
    if (::chdir(folder.c_str()) != 0)
        std::fprintf(stderr, "Upgrader3: cannot enter %s: %s\n", folder.c_str(),
                     kv::ErrnoText(errno).c_str());
    pid_t pid = -1;
    if (int rc = kv::SpawnInOwnSession(argv, "", &pid); rc != 0)
        std::fprintf(stderr, "Upgrader3: cannot start %s: %s\n", program.c_str(),
                     kv::ErrnoText(rc).c_str());
}

// Removes this copy of the updater when it runs from its private temporary folder.
void RemoveOwnCopy() {
    std::string self = kv::RunningExecutablePath();
    std::string folder = kv::FolderOf(self);
    if (kv::StartsWith(kv::FileNameOf(folder), kv::kUpdaterFolderPrefix) &&
        kv::FolderOf(folder) == kv::TemporaryFolder()) {
        ::unlink(self.c_str());
        ::rmdir(folder.c_str());
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || argv[1][0] != '/' || argv[2][0] != '+' || argv[2][1] == '\0') {
        std::fprintf(stderr,
                     "usage: Upgrader3 /FULL/PATH/OF/PROGRAM +RESTARTPARAMS<method digit>\n");
        return 2;
    }
    std::string program = argv[1];
    std::string tail = argv[2] + 1;
    std::string params = tail.substr(0, tail.size() - 1); // the last character is the method
    std::string folder = kv::FolderOf(program);

    auto lock = WaitForProgramEnd(folder);
    if (!lock) {
        std::fprintf(stderr,
                     "Upgrader3: %s did not end within %d seconds; nothing was changed. Close "
                     "it and check for the new version again.\n",
                     program.c_str(), static_cast<int>(kWaitLimit.count()));
        RemoveOwnCopy();
        return 1;
    }
    int status = 0;
    try {
        for (const auto& name : kv::InstallWorkingFiles(folder))
            std::fprintf(stderr, "Upgrader3: %s updated\n", name.c_str());
    } catch (const kv::UpgradeError& e) {
        std::fprintf(stderr, "Upgrader3: %s\n", e.what());
        status = 1;
    }
    lock.reset();
    Restart(program, params, folder);
    RemoveOwnCopy();
    return status;
}
