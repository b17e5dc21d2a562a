#pragma once
// What every pass of a cycle asks before it goes on: the session it works on
// and whether a stop was requested.
#include <memory>

namespace kv {

struct AppState;
class RemoteSession;

namespace cycle {

// The session the cycle works on; a copy, so a disconnect during a wait cannot
// free it under the running operation. Throws FtpError when there is none.
std::shared_ptr<RemoteSession> RequireSession(const AppState& state);

// True once a stop was requested (StopRequested, or the StopSignal flag): no
// further file, hook or folder pair may start.
bool Stopping(AppState& state);

} // namespace cycle
} // namespace kv
