#pragma once
// Start-up routines of the core: restoring a lost settings file from its
// backup, and creating the working folders.
#include <string>

namespace kv {

struct AppState;
class IniFile;

// When "Korvane.ini" is missing and "kvini.bak" exists, copies the backup over.
// True when the settings file exists afterwards.
bool RestoreIniFromBackup(const std::string& programDir);

// Creates the working folders named by the Options keys (EX only while CNC102
// is "1", INBOX, INBOX1-9, OUTBOX, OUTBOX1-9, ERROR, BACKUP) and "TMP", writing
// defaults back where a key is empty or its folder cannot be created. Throws
// FileError when even a default folder cannot be created.
void CreateWorkFolders(AppState& state, IniFile& ini);

// Copies the settings file to "kvini.bak" (the close sequence). False when the
// copy failed; the previous backup then stays as it was.
bool BackupIniFile(const AppState& state);

} // namespace kv
