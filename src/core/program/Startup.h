#pragma once
// Start-up routines of the core: restoring a lost settings file from its
// backup, creating the working folders, and what the upgrade check takes from
// the settings.
#include <string>

namespace kv {

struct AppState;
class SettingsSnapshot;

// When "Korvane.ini" is missing and "kvini.bak" exists, copies the backup over.
// True when the settings file exists afterwards.
bool RestoreIniFromBackup(const std::string& programDir);

// Creates the working folders named by the Options keys of the file as read
// (EX only while CNC102 is "1", INBOX, INBOX1-9, OUTBOX, OUTBOX1-9, ERROR,
// BACKUP) and "TMP", writing a default folder back only where the key is
// empty in that file. Throws FileError when even a default folder cannot be
// created, IniError when a default cannot be written.
void CreateWorkFolders(AppState& state, const SettingsSnapshot& file);

// Copies the settings file to "kvini.bak" (the close sequence). False when the
// copy failed; the previous backup then stays as it was.
bool BackupIniFile(const AppState& state);

// What the start-up takes from the settings file: the information file's URL
// (from Options/Host) and whether it checks now (System/AutoUpgrade "1",
// never in automatic mode).
struct StartupUpgrade {
    std::string infoFileUrl;
    bool checkNow = false;
};
StartupUpgrade ReadStartupUpgrade(const SettingsSnapshot& file, bool autoMode);

} // namespace kv
