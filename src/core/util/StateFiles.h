#pragma once
// The program's own files in a program folder: what it keeps there and writes
// while it runs. An upgrade never replaces one of them (the update script is
// the one an upgrade brings on purpose), and cleaning never empties a folder
// that holds them.
#include <string>

namespace kv {

inline constexpr const char* kSettingsFileName = "Korvane.ini";
inline constexpr const char* kSettingsBackupName = "kvini.bak";
inline constexpr const char* kInstanceLockName = ".korvane.lock";
inline constexpr const char* kUpdateScriptName = "update";
inline constexpr const char* kLogFolderName = "LOG";
inline constexpr const char* kTemporaryFolderName = "TMP";
inline constexpr const char* kLanguageFolderName = "Language";

// The upgrade's own working files: "<name>.uTMP" (a download), "<name>.uOLD"
// (the replaced file kept until the replacement is over), the list of what
// arrived, the journal of a replacement in progress, and the record of the
// last upgrade put in place.
inline constexpr const char* kWorkingSuffix = ".uTMP";
inline constexpr const char* kKeptSuffix = ".uOLD";
inline constexpr const char* kArrivedListName = "Upgrade.uLST";
inline constexpr const char* kReplaceJournalName = "Upgrade.uJNL";
inline constexpr const char* kInstalledRecordName = "Upgrade.uDONE";

// What a path relative to a program folder ("Korvane.ini", "LOG/KVSYS202612.LOG",
// "TMP/x") is among the program's own files, for a message ("the settings
// file"); "" when it is none of them. Letter case is ignored, so a name that
// differs from one only in case counts too.
std::string StateFileKind(const std::string& relative);

} // namespace kv
