// The session a cycle works on and its stop request.
#include "engine/cycle/CycleState.h"

#include "app/AppState.h"
#include "remote/RemoteSession.h"

namespace kv::cycle {

std::shared_ptr<RemoteSession> RequireSession(const AppState& state) {
    std::shared_ptr<RemoteSession> s = state.FtpSession;
    if (!s)
        throw FtpError("Not connected.");
    return s;
}

bool Stopping(AppState& state) {
    if (state.StopSignal && state.StopSignal->load())
        state.StopRequested = true;
    return state.StopRequested;
}

} // namespace kv::cycle
