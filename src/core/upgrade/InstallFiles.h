#pragma once
// The updater's work in the program folder: every file of the arrived list is
// checked (present, same size, same SHA-256) before any is replaced; then each
// "<name>.uTMP" is renamed over "<name>", keeping the old file's permission
// bits. When one replacement fails, those already made are undone, so the
// folder holds either all new files or all old ones.
#include <string>
#include <vector>

namespace kv {

// Returns the names put in place. Throws UpgradeError (the folder untouched
// apart from removed working files) when the list is missing or unreadable, a
// file is missing or not whole, or a replacement fails.
std::vector<std::string> InstallWorkingFiles(const std::string& folder);

} // namespace kv
