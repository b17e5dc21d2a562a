// A cycle's settings from one snapshot of the settings file.
#include "app/CycleSettings.h"

#include "app/AppState.h"
#include "util/Fs.h"
#include "util/Text.h"

namespace kv {

namespace {

std::vector<FolderPair> Pairs(const AppState& state, const SettingsSnapshot& file,
                              const SettingKey& remoteKey, const SettingKey& localKey) {
    std::vector<FolderPair> pairs;
    for (int n = 0; n <= 9; ++n) {
        FolderPair p{
            file.Text(n == 0 ? remoteKey : remoteKey.Group(n)),
            FolderInProgram(state.ProgramDir, file.Text(n == 0 ? localKey : localKey.Group(n))), n};
        if (!p.remote.empty() && !p.local.empty())
            pairs.push_back(std::move(p));
    }
    return pairs;
}

HookSettings Hook(const SettingsSnapshot& file, const SettingKey& program,
                  const SettingKey& parameters, const SettingKey& run,
                  const SettingKey& exclusive) {
    return {file.Text(program), file.Text(parameters), file.Flag(run), file.Flag(exclusive)};
}

} // namespace

CycleSettings CycleSettingsFrom(const AppState& state, SettingsSnapshot file) {
    CycleSettings c(std::move(file));
    c.record = state.settings;
    const SettingsSnapshot& f = c.file;
    c.allowReceive = f.Flag(keys::AllowReceive);
    c.allowSend = f.Flag(keys::AllowSend);
    c.cnc102 = f.Flag(keys::CNC102);
    // Local folders as absolute paths: a relative setting is inside the
    // program folder, whatever the process's current folder.
    c.receivePairs = Pairs(state, f, keys::RemoteOutPath, keys::LocalInPath);
    c.sendPairs = Pairs(state, f, keys::RemoteInPath, keys::LocalOutPath);
    c.localExPath = FolderInProgram(state.ProgramDir, f.Text(keys::LocalExPath));
    c.remoteExPath = f.Text(keys::RemoteExPath);
    c.backupPath = FolderInProgram(state.ProgramDir, f.Text(keys::LocalBackupPath));
    c.errPath = FolderInProgram(state.ProgramDir, f.Text(keys::LocalErrPath));
    c.runBefore = Hook(f, keys::ProgramRunBefore, keys::ParameterRunBefore, keys::RunBefore,
                       keys::ExclusiveRunBefore);
    c.runAfter = Hook(f, keys::ProgramRunAfter, keys::ParameterRunAfter, keys::RunAfter,
                      keys::ExclusiveRunAfter);
    c.timeInterval = f.Text(keys::TimeInterval);
    c.netTimeOutSeconds = static_cast<int>(f.Number(keys::NetTimeOut));
    c.outboxSettleSeconds = static_cast<int>(f.Number(keys::OutboxSettleTime));
    c.mailbox = std::string(c.record.Sftp() ? "SFTP" : "FTP") + "://" + c.record.UserID + "@" +
                LowerCase(Trim(c.record.Host)) + ":" + std::to_string(c.record.Port);
    return c;
}

CycleSettings ReadCycleSettings(const AppState& state) {
    return CycleSettingsFrom(state, SettingsSnapshot::Read(state.IniPath));
}

} // namespace kv
