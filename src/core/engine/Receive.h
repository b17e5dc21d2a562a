#pragma once
// The receive cycle: every plain file of each configured remote folder is
// downloaded into "TMP", classified, delivered into its inbox under a name that
// replaces nothing, recorded, and deleted on the server.

namespace kv {

struct AppState;
struct CycleSettings;

// First finishes what an interrupted earlier receive left (the journal), then
// serves the main folder pair (Options/RemoteOutPath, Options/LocalInPath)
// and pairs 1 to 9. Needs a logged-in session. A failure outside the
// per-file steps (directory query, size query, type switch, a hook's bad
// TimeInterval) ends the whole receive and is thrown to the caller.
void ReceiveAll(AppState& state, const CycleSettings& settings);

} // namespace kv
