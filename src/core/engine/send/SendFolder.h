#pragma once
// The send pass over one outbox folder: every plain file is classified,
// rewritten where its format needs it, checked against the own sender
// identifier, uploaded to the remote "tmp" folder, renamed into its
// destination folder, backed up and removed; refused files go to the error
// folder.
#include "engine/send/OutboxListing.h"

#include <set>
#include <string>

namespace kv {

struct AppState;
struct CycleSettings;
class TransferJournal;

// Serves one pair: run-before hook, CNC102 pass (Options/CNC102 = "1"),
// normal pass, closing lines; files in unfinished are left alone. Returns the
// number of files sent. Only a failure of the run-before hook is thrown.
int SendFolder(AppState& state, const CycleSettings& settings, TransferJournal& journal,
               const std::set<std::string>& unfinished, const std::string& remoteFolder,
               const std::string& localFolder);

} // namespace kv
