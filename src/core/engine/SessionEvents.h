#pragma once
// The core half of the session's event handlers and of the keep-alive timer.
// Every session made by ConnectSession routes its events through the core
// first, which keeps the transfer state (Transferring, AbortRequested,
// TransferStart, ExpectedSize), pauses the keep-alive around data transfers,
// acts on an abort request and reports status texts and the disconnection as
// "INFO:" lines; the events then reach the host, whose handlers only display.
#include <memory>

namespace kv {

struct AppState;
class RemoteSession;

// A new session whose events pass through the core to state.host. The
// returned pointer keeps the router alive as long as the session lives.
std::shared_ptr<RemoteSession> MakeRoutedSession(AppState& state);

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
