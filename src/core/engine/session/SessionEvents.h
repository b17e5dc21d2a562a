#pragma once
// The abort command and the keep-alive timer of the open session (its events
// are routed as SessionFactory says).
#include <memory>

namespace kv {

struct AppState;
class RemoteSession;

// The Abort command: the next work event of the running transfer aborts it.
void RequestAbort(AppState& state);

enum class KeepAliveResult {
    Stopped, // no connected session: the host's keep-alive timer was stopped
    Skipped, // a transfer or another command is in progress: nothing sent
    Sent,    // NOOP answered
    Dropped, // NOOP failed: the session was disconnected (the host shows Idle)
};

// One tick of the keep-alive timer (every 90 s while a session is open).
KeepAliveResult KeepAliveTick(AppState& state);

} // namespace kv
