#pragma once
// The receive pass over one remote folder: every plain file is downloaded into
// "TMP", classified, delivered into its inbox under a name that replaces
// nothing, recorded, and deleted on the server.
#include <string>

namespace kv {

struct AppState;
struct CycleSettings;
class TransferJournal;

// Serves one pair; returns the number of files delivered into the inbox. A
// failure outside the per-file steps (directory query, size query, type
// switch, a hook's bad TimeInterval) is thrown.
int ReceiveFolder(AppState& state, const CycleSettings& settings, TransferJournal& journal,
                  const std::string& remoteFolder, const std::string& inboxFolder);

} // namespace kv
