#include "program/Program.h"

#include "app/AppState.h"
#include "app/Settings.h"
#include "config/SettingsSnapshot.h"
#include "config/SettingsWriter.h"
#include "engine/Engine.h"
#include "i18n/LangPack.h"
#include "logging/Logs.h"
#include "logging/UpdateScript.h"
#include "program/Startup.h"
#include "upgrade/InstallFiles.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/SafeText.h"
#include "util/StateFiles.h"
#include "util/Text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kv {

namespace {

void ReportRecovery(AppState& state, const Recovery& recovery, const std::string& exeName) {
    std::string text = RecoveryText(recovery);
    if (text.empty())
        return;
    // This process started from the file the recovery has just replaced.
    if (std::find(recovery.binNow.begin(), recovery.binNow.end(), exeName) != recovery.binNow.end())
        text += " Start the program again to run the new version.";
    if (RecoveryIsError(recovery))
        ReportError(state, text, true);
    else
        ReportInfo(state, text);
}

} // namespace

bool StartUp(AppState& state, const std::vector<std::string>& args) {
    if (!RestoreIniFromBackup(state.ProgramDir))
        return false;
    state.IniPath = state.PathInProgramDir(kSettingsFileName);
    // Read whole once: a file that cannot be read stops the start here, and
    // no default is written over settings that were merely unreadable.
    const SettingsSnapshot file = SettingsSnapshot::Read(state.IniPath);
    // An upgrade cut off by a crash is finished or undone before anything
    // reads the language packs or the update script it may bring.
    const std::string exe = RunningExecutablePath();
    const UpgradeFolders folders{exe.empty() ? state.ProgramDir : FolderOf(exe), state.ProgramDir};
    Recovery recovery = RecoverInterruptedUpgrade(folders);
    if (recovery.outcome == RecoveryOutcome::Nothing)
        recovery = RemoveAbandonedDownload(folders);
    MoveNewLanguagePacks(state.ProgramDir);

    state.LogStep = file.Text(keys::LogStep);
    {
        LogBracket logs(state);
        if (state.logs.SysLogOpen) {
            WriteSysLogOnly(state, "++++++++++++++++++++");
            WriteSysLogOnly(state, InfoLine(state, "Start Korvane System!"));
        }
        ReportRecovery(state, recovery, FileNameOf(exe));
        state.LanguageName = file.Text(keys::Language);
        state.LanguageFile = file.Text(keys::LanguageFile);
        state.MessageBoxesAllowed = file.Flag(keys::Message);
        CreateWorkFolders(state, file);

        state.AutoMode = state.ServiceMode = state.TrayMode = false;
        for (const auto& a : args) {
            std::string word = UpperCase(a);
            if (word == "AUTO") {
                SettingsWriter(state.IniPath).WriteFlag(keys::AllowStartAuto, true);
                state.TrayMode = state.AutoMode = true;
            } else if (word == "SRV") {
                SettingsWriter(state.IniPath).WriteFlag(keys::AllowStartAuto, true);
                state.ServiceMode = state.AutoMode = true;
            }
        }
        ApplyUpdateScript(state);
    }
    ReadSettings(state);
    state.IniReadOk = true;
    return true;
}

void CloseSequence(AppState& state) {
    LogBracket logs(state);
    if (state.FtpSession)
        DisconnectSession(state);
    BackupIniFile(state);
    WriteSysLogOnly(state, InfoLine(state, "Korvane System Close!"));
}

int64_t AutoIntervalMs(const std::string& timeInterval) {
    double ms = ParseDecimal(timeInterval, LocaleDecimalSeparator()) * 60000.0;
    // A timer cannot wait longer than its integer type holds, nor a negative time.
    if (ms < 0)
        ms = 0;
    if (ms > 9.0e15)
        ms = 9.0e15;
    return RoundHalfEven(ms);
}

std::chrono::steady_clock::time_point IntervalDeadline(int64_t ms,
                                                       std::chrono::steady_clock::time_point from) {
    using namespace std::chrono;
    if (ms <= 0)
        return from;
    const auto room = duration_cast<milliseconds>(steady_clock::time_point::max() - from).count();
    return ms >= room ? steady_clock::time_point::max() : from + milliseconds(ms);
}

InstanceLock::InstanceLock(const std::string& programDir) {
    std::string path = JoinPath(programDir, kInstanceLockName);
    // Made by root, the lock file is the folder owner's, or the service that
    // owns the folder could not open it any more.
    fd_ = OpenCreatingForFolderOwner(path, O_RDWR | O_CLOEXEC, 0644, programDir);
    if (fd_ < 0) {
        openError_ = errno;
        return;
    }
    // flock dies with its owner, so a killed instance leaves no stale lock.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        // Only EWOULDBLOCK means another holder; anything else (ENOLCK on a
        // network file system without a lock service) is the folder's fault.
        if (errno != EWOULDBLOCK)
            lockError_ = errno;
        ::close(fd_);
        fd_ = -1;
    }
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

namespace {

// The process holding a flock on the file, from the kernel's list of locks
// ("1: FLOCK  ADVISORY  WRITE 812 08:01:1234 0 EOF"); 0 when none is told.
long FlockHolder(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    char device[64];
    std::snprintf(device, sizeof device, "%02x:%02x:%llu", ::major(st.st_dev), ::minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream words(line);
        std::string number, kind, mode, access, where;
        long pid = 0;
        if (words >> number >> kind >> mode >> access >> pid >> where && kind == "FLOCK" &&
            where == device && pid > 0)
            return pid;
    }
    return 0;
}

// The command line of a process, shortened, for a terminal.
std::string CommandLineOf(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    std::replace(text.begin(), text.end(), '\0', ' ');
    if (text.size() > 120)
        text = text.substr(0, 117) + "...";
    return TerminalText(text);
}

} // namespace

std::string InstanceLock::Holder(const std::string& programDir) {
    std::string text = " (the program folder " + TerminalText(programDir) + " is held by ";
    const long pid = FlockHolder(JoinPath(programDir, kInstanceLockName));
    if (pid == 0)
        return text + "another process)";
    const std::string command = CommandLineOf(pid);
    return text + "process " + std::to_string(pid) + (command.empty() ? "" : ": " + command) + ")";
}

std::string InstanceLock::Refusal(const std::string& programDir) const {
    if (lockError_ != 0)
        return "Cannot lock the program folder " + programDir + ": " + ErrnoText(lockError_) +
               ". Its file system does not keep locks (a network folder without a lock "
               "service?), so a second instance could not be kept out. Use a local folder "
               "(KORVANE_HOME names it) or enable locking on that file system.";
    if (openError_ == 0)
        return "Program Already Run!!!";
    return "Cannot use the program folder " + programDir + ": " + ErrnoText(openError_) +
           ". Create it or give this user write access to it (KORVANE_HOME names it).";
}

} // namespace kv
