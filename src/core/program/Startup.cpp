#include "program/Startup.h"

#include "app/AppState.h"
#include "config/IniFile.h"
#include "logging/Logs.h"
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

void CreateDefault(AppState& state, IniFile& ini, const std::string& key,
                   const std::string& defaultName) {
    std::string folder = state.PathInProgramDir(defaultName);
    if (!MakeProgramSubfolder(state, folder))
        throw FileError("Create Directory " + folder + " Failed!!!");
    ini.WriteString("Options", key, folder);
}

// optional: an empty value means the folder is not used.
void EnsureFolder(AppState& state, IniFile& ini, const std::string& key,
                  const std::string& defaultName, bool optional) {
    std::string value = ini.ReadString("Options", key);
    if (value.empty()) {
        if (!optional)
            CreateDefault(state, ini, key, defaultName);
        return;
    }
    if (DirectoryExists(value) || ForceDirectories(value))
        return;
    // The user's folder stays set (a network mount may simply not be up yet):
    // what needs it fails and is reported this time, nothing goes elsewhere.
    ReportMessage(state, "Create Directory " + value + " Failed!!!", true, true);
}

} // namespace

void CreateWorkFolders(AppState& state, IniFile& ini) {
    if (ini.ReadString("Options", "CNC102") == "1")
        EnsureFolder(state, ini, "LocalExPath", "EX", false);
    EnsureFolder(state, ini, "LocalInPath", "INBOX", false);
    for (int n = 1; n <= 9; ++n)
        EnsureFolder(state, ini, "LocalInPath" + std::to_string(n), "INBOX" + std::to_string(n),
                     true);
    EnsureFolder(state, ini, "LocalOutPath", "OUTBOX", false);
    for (int n = 1; n <= 9; ++n)
        EnsureFolder(state, ini, "LocalOutPath" + std::to_string(n), "OUTBOX" + std::to_string(n),
                     true);
    EnsureFolder(state, ini, "LocalErrPath", "ERROR", false);
    EnsureFolder(state, ini, "LocalBackupPath", "BACKUP", false);
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

} // namespace kv
