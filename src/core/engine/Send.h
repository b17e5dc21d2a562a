#pragma once
// The send cycle: every plain file of each configured outbox is classified,
// rewritten where its format needs it, checked against the own sender
// identifier, uploaded to the remote "tmp" folder, renamed into its destination
// folder, backed up and removed; refused files go to the error folder.
#include <cstdint>
#include <string>
#include <vector>

namespace kv {

struct AppState;
struct CycleSettings;

// First finishes what an interrupted earlier send left (the journal), then
// serves the main folder pair (Options/LocalOutPath, Options/RemoteInPath)
// and pairs 1 to 9. Needs a logged-in session. Only a failure of the
// run-before hook is thrown to the caller.
void SendAll(AppState& state, const CycleSettings& settings);

struct OutboxFile {
    std::string Name;
    int64_t Size = 0; // bytes when listed, before any rewrite
};
// The files of a local folder the cycle sends: regular, not hidden, writable by
// the user; ordered by name.
std::vector<OutboxFile> ListOutbox(const std::string& folder);

// The dated backup folder: root + "/" + yyyymmdd when LogStep is "DAY" (any
// letter case), else root + "/" + yyyymm, for the current local date.
std::string BackupFolderName(const AppState& state, const std::string& root);

} // namespace kv
