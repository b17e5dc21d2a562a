#include "program/Startup.h"

#include "app/AppState.h"
#include "config/SettingsSnapshot.h"
#include "config/SettingsWriter.h"
#include "logging/Logs.h"
#include "upgrade/Decision.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/StateFiles.h"

namespace kv {

bool RestoreIniFromBackup(const std::string& programDir) {
    std::string ini = JoinPath(programDir, "Korvane.ini");
    if (FileExists(ini))
        return true;
    std::string bak = JoinPath(programDir, "kvini.bak");
    if (!FileExists(bak))
        return false;
    try {
        CopyFileSafe(bak, ini, true, true, programDir);
    } catch (const FileError&) {
        return false;
    }
    return true;
}

namespace {

// Creates a folder of the program folder; one made by root goes to the
// program folder's owner. False when it cannot be created.
bool MakeProgramSubfolder(const AppState& state, const std::string& folder) {
    if (DirectoryExists(folder))
        return true;
    if (!ForceDirectories(folder))
        return false;
    TakeFolderOwner(folder, state.ProgramDir);
    return true;
}

// The default folder is written as its name alone ("INBOX"): relative to the
// program folder, so a copy of the folder serves its own folders.
void CreateDefault(AppState& state, const SettingKey& key) {
    std::string folder = state.PathInProgramDir(std::string(key.absent));
    if (!MakeProgramSubfolder(state, folder))
        throw FileError("Create Directory " + folder + " Failed!!!");
    SettingsWriter(state.IniPath).Write(key, std::string(key.absent));
}

// An extra group's key (no absent value): empty means the folder is not used.
void EnsureFolder(AppState& state, const SettingsSnapshot& file, const SettingKey& key) {
    std::string value = FolderInProgram(state.ProgramDir, file.Text(key));
    if (value.empty()) {
        if (!key.absent.empty())
            CreateDefault(state, key);
        return;
    }
    if (DirectoryExists(value) || ForceDirectories(value))
        return;
    // The user's folder stays set (a network mount may simply not be up yet):
    // what needs it fails and is reported this time, nothing goes elsewhere.
    ReportMessage(state, "Create Directory " + value + " Failed!!!", true, true);
}

} // namespace

void CreateWorkFolders(AppState& state, const SettingsSnapshot& file) {
    if (file.Flag(keys::CNC102))
        EnsureFolder(state, file, keys::LocalExPath);
    EnsureFolder(state, file, keys::LocalInPath);
    for (int n = 1; n <= 9; ++n)
        EnsureFolder(state, file, keys::LocalInPath.Group(n));
    EnsureFolder(state, file, keys::LocalOutPath);
    for (int n = 1; n <= 9; ++n)
        EnsureFolder(state, file, keys::LocalOutPath.Group(n));
    EnsureFolder(state, file, keys::LocalErrPath);
    EnsureFolder(state, file, keys::LocalBackupPath);
    std::string tmp = state.PathInProgramDir("TMP");
    if (!MakeProgramSubfolder(state, tmp))
        ReportMessage(state, "Create Directory " + tmp + " Failed!!!", true, true);
}

bool BackupIniFile(const AppState& state) {
    // Only a settings file that was read successfully may replace the backup.
    if (state.IniPath.empty() || !state.IniReadOk)
        return false;
    try {
        CopyFileSafe(state.IniPath, state.PathInProgramDir(kSettingsBackupName), true, true,
                     state.ProgramDir);
    } catch (const FileError&) {
        return false;
    }
    return true;
}

StartupUpgrade ReadStartupUpgrade(const SettingsSnapshot& file, bool autoMode) {
    StartupUpgrade s;
    s.infoFileUrl = ChooseInfoFileUrl(file.Text(keys::Host));
    s.checkNow = file.Flag(keys::AutoUpgrade) && !autoMode;
    return s;
}

} // namespace kv
