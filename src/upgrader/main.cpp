// Upgrader3: puts a downloaded upgrade in place and starts the program again.
//
//   Upgrader3 PROGRAM +RESTARTPARAMS<method digit>
//
// The program folder (settings, logs, the list of downloads, the instance
// lock) is $KORVANE_UPGRADE_HOME, else PROGRAM's folder; program files go
// beside PROGRAM. The updater holds the list while it lives, so a program
// starting meanwhile leaves it alone. It waits (a bounded time) for the
// process named in $KORVANE_UPGRADE_PID to end, then, with a bound of its
// own, for the program folder's instance lock, which another process may take
// as the program closes (a timed run ends soon). Holding the lock it finishes
// or undoes a replacement an earlier crash cut off, checks every file of the
// list and replaces all of them or none. What it did goes to the program's
// system log and to standard error. Then it starts PROGRAM with RESTARTPARAMS
// in its own session (unless the program it waited for still runs), so the
// user keeps a running program, and removes its own copy from the temporary
// folder.
#include "app/AppState.h"
#include "config/SettingsSnapshot.h"
#include "logging/Logs.h"
#include "program/Program.h"
#include "upgrade/HandOver.h"
#include "upgrade/InfoFile.h"
#include "upgrade/InstallFiles.h"
#include "upgrade/UpgradePlan.h"
#include "util/Fs.h"
#include "util/StateFiles.h"
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

// Each wait (for the program's process, then for the lock) is bounded by
// this; $KORVANE_UPGRADE_WAIT (seconds, 1 to 600) changes it for slow
// machines and tests.
constexpr int kDefaultWaitSeconds = 60;
constexpr auto kPollStep = std::chrono::milliseconds(100);

std::chrono::seconds WaitLimit() {
    if (const char* env = std::getenv("KORVANE_UPGRADE_WAIT"))
        if (auto v = kv::TryStrToInt64(env); v && *v >= 1 && *v <= 600)
            return std::chrono::seconds(*v);
    return std::chrono::seconds(kDefaultWaitSeconds);
}

// Reports to standard error and to the program's system log.
class Report {
public:
    explicit Report(const std::string& home) {
        state_.ProgramDir = home;
        try {
            state_.LogStep =
                kv::SettingsSnapshot::ReadIfPresent(kv::JoinPath(home, kv::kSettingsFileName))
                    .Text(kv::keys::LogStep);
        } catch (const kv::KvError&) {
            // Monthly logs, as for an empty setting.
        }
    }
    void Info(const std::string& text) { Line(text, false); }
    void Error(const std::string& text) { Line(text, true); }

private:
    void Line(const std::string& text, bool error) {
        std::fprintf(stderr, "Upgrader3: %s\n", text.c_str());
        std::fflush(stderr);
        kv::LogBracket logs(state_);
        kv::WriteSysLogOnly(state_,
                            error ? kv::ErrorLine(state_, text) : kv::InfoLine(state_, text));
    }
    kv::AppState state_;
};

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

// Waits for the program's own process to end; false when it still runs after
// the limit.
bool WaitForProgramEnd(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + WaitLimit();
    while (pid > 0 && !ProcessEnded(pid)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPollStep);
    }
    return true;
}

// Takes the program folder's instance lock, waiting while another process
// holds it; the last try's lock (acquired or not) when the limit passed.
std::unique_ptr<kv::InstanceLock> TakeInstanceLock(const std::string& home) {
    const auto deadline = std::chrono::steady_clock::now() + WaitLimit();
    for (;;) {
        auto lock = std::make_unique<kv::InstanceLock>(home);
        if (!lock->HeldElsewhere() || std::chrono::steady_clock::now() >= deadline)
            return lock;
        std::this_thread::sleep_for(kPollStep);
    }
}

void Restart(const std::string& program, const std::string& params, const std::string& folder,
             Report& report) {
    std::vector<std::string> argv = {program};
    if (!params.empty())
        argv.push_back(params);
    if (::chdir(folder.c_str()) != 0)
        report.Error("Cannot enter " + folder + ": " + kv::ErrnoText(errno));
    pid_t pid = -1;
    if (int rc = kv::SpawnInOwnSession(argv, "", &pid); rc != 0)
        report.Error("Cannot start " + program + " again: " + kv::ErrnoText(rc) +
                     ". Start it yourself.");
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

std::string Listed(const std::vector<std::string>& names) {
    std::string all;
    for (const auto& n : names)
        all += (all.empty() ? "" : ", ") + n;
    return all;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || argv[1][0] != '/' || argv[2][0] != '+' || argv[2][1] == '\0') {
        std::fprintf(stderr,
                     "usage: Upgrader3 /FULL/PATH/OF/PROGRAM +RESTARTPARAMS<method digit>\n");
        return 2;
    }
    const std::string program = argv[1];
    const std::string tail = argv[2] + 1;
    const std::string params = tail.substr(0, tail.size() - 1); // the last character is the method
    const std::string bin = kv::FolderOf(program);
    const char* homeEnv = std::getenv(kv::kUpdaterHomeVariable);
    const std::string home = homeEnv && *homeEnv == '/' ? kv::AbsoluteFolder(homeEnv) : bin;
    const kv::UpgradeFolders folders{bin, home};
    const int listHold = kv::LockArrivedList(home);
    Report report(home);

    pid_t pid = 0;
    if (const char* env = std::getenv(kv::kUpdaterWaitPidVariable))
        if (auto v = kv::TryStrToInt64(env); v && *v > 1)
            pid = static_cast<pid_t>(*v);
    if (!WaitForProgramEnd(pid)) {
        report.Error(program + " (process " + kv::IntToStr(pid) + ") did not end within " +
                     kv::IntToStr(WaitLimit().count()) +
                     " seconds, so the upgrade was not put in place. Close it and check for the "
                     "new version again.");
        RemoveOwnCopy();
        return 1;
    }
    int status = 0;
    auto lock = TakeInstanceLock(home);
    if (!lock->Acquired()) {
        report.Error(lock->HeldElsewhere()
                         ? "Another program holds the instance lock of " + home +
                               " (another Korvane window, korvaned or its service), so the "
                               "upgrade was not put in place and its downloaded files were "
                               "removed. Stop it and check for the new version again."
                         : lock->Refusal(home) + " The upgrade was not put in place.");
        kv::RemoveUpgradeWorkingFiles(folders);
        status = 1;
    } else {
        const kv::Recovery recovery = kv::RecoverInterruptedUpgrade(folders);
        if (std::string text = kv::RecoveryText(recovery); !text.empty())
            kv::RecoveryIsError(recovery) ? report.Error(text) : report.Info(text);
        // Run again after a crash, the recovery may have been all there was to do.
        const bool listed = kv::FileExists(kv::JoinPath(home, kv::kArrivedListName));
        if (listed || recovery.outcome == kv::RecoveryOutcome::Nothing) {
            try {
                report.Info("Upgrade put in place: " + Listed(kv::InstallWorkingFiles(folders)) +
                            ".");
            } catch (const kv::UpgradeError& e) {
                report.Error(std::string("The upgrade was not put in place: ") + e.what());
                status = 1;
            }
        }
    }
    lock.reset();
    if (listHold >= 0)
        ::close(listHold);
    Restart(program, params, bin, report);
    RemoveOwnCopy();
    return status;
}
