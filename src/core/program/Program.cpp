#include "program/Program.h"

#include "app/AppState.h"
#include "app/Settings.h"
#include "config/IniFile.h"
#include "config/SettingsKeys.h"
#include "engine/Connection.h"
#include "i18n/LangPack.h"
#include "logging/Logs.h"
#include "logging/UpdateScript.h"
#include "program/Startup.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kv {

bool StartUp(AppState& state, const std::vector<std::string>& args) {
    if (!RestoreIniFromBackup(state.ProgramDir))
        return false;
    state.IniPath = state.PathInProgramDir("Korvane.ini");
    IniFile ini(state.IniPath);
    MoveNewLanguagePacks(state.ProgramDir);

    state.LogStep = ReadSetting(ini, keys::LogStep);
    {
        LogBracket logs(state);
        if (state.logs.SysLogOpen) {
            WriteSysLogOnly(state, "++++++++++++++++++++");
            WriteSysLogOnly(state, InfoLine(state, "Start Korvane System!"));
        }
        state.LanguageName = ReadSetting(ini, keys::Language);
        state.LanguageFile = ReadSetting(ini, keys::LanguageFile);
        state.MessageBoxesAllowed = ReadFlag(ini, keys::Message);
        CreateWorkFolders(state, ini);

        state.AutoMode = state.ServiceMode = state.TrayMode = false;
        for (const auto& a : args) {
            std::string word = UpperCase(a);
            if (word == "AUTO") {
                WriteFlag(ini, keys::AllowStartAuto, true);
                state.TrayMode = state.AutoMode = true;
            } else if (word == "SRV") {
                WriteFlag(ini, keys::AllowStartAuto, true);
                state.ServiceMode = state.AutoMode = true;
            }
        }
        ApplyUpdateScript(state, ini);
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

InstanceLock::InstanceLock(const std::string& programDir) {
    std::string path = JoinPath(programDir, ".korvane.lock");
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        openError_ = errno;
        return;
    }
    // flock dies with its owner, so a killed instance leaves no stale lock.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string InstanceLock::Refusal(const std::string& programDir) const {
    if (openError_ == 0)
        return "Program Already Run!!!";
    return "Cannot use the program folder " + programDir + ": " + ErrnoText(openError_) +
           ". Create it or give this user write access to it (KORVANE_HOME names it).";
}

} // namespace kv
