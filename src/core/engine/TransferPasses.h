#pragma once
// The receive and send passes of a cycle over every configured folder pair,
// each after finishing what an interrupted earlier pass left in its journal.
namespace kv {

struct AppState;
struct CycleSettings;

// Finishes what an interrupted earlier receive left (the journal), then
// serves the main folder pair (Options/RemoteOutPath, Options/LocalInPath)
// and pairs 1 to 9. Needs a logged-in session. A failure outside the
// per-file steps (directory query, size query, type switch, a hook's bad
// TimeInterval) ends the whole receive and is thrown to the caller.
void ReceiveAll(AppState& state, const CycleSettings& settings);

// Finishes what an interrupted earlier send left (the journal), then serves
// the main folder pair (Options/LocalOutPath, Options/RemoteInPath) and pairs
// 1 to 9. Needs a logged-in session. Only a failure of the run-before hook is
// thrown to the caller.
void SendAll(AppState& state, const CycleSettings& settings);

} // namespace kv
