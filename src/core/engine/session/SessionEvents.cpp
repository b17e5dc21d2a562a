// The abort command and the keep-alive tick of the open session.
#include "engine/session/SessionEvents.h"

#include "app/AppState.h"
#include "engine/session/Connection.h"
#include "logging/Logs.h"
#include "remote/RemoteSession.h"

namespace kv {

void RequestAbort(AppState& state) {
    state.AbortRequested = true;
    ReportInfo(state, "Abort Transfer!");
}

KeepAliveResult KeepAliveTick(AppState& state) {
    std::shared_ptr<RemoteSession> s = state.FtpSession;
    if (!s || !s->Connected()) {
        if (state.host)
            state.host->StopKeepAlive();
        return KeepAliveResult::Stopped;
    }
    // A NOOP between a command and its reply would desynchronise the replies.
    if (state.Transferring || s->Busy())
        return KeepAliveResult::Skipped;
    try {
        s->Noop();
        return KeepAliveResult::Sent;
    } catch (...) {
        // The failed NOOP may have waited while a new session replaced this
        // one: only the session it used is closed.
        if (state.FtpSession != s)
            return KeepAliveResult::Skipped;
        DisconnectSession(state);
        return KeepAliveResult::Dropped;
    }
}

} // namespace kv
