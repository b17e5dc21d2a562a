#include "engine/AutoCycle.h"

#include "app/AppState.h"
#include "app/CycleSettings.h"
#include "engine/TransferPasses.h"
#include "engine/cycle/CycleReports.h"
#include "engine/session/Connection.h"
#include "logging/Logs.h"
#include "remote/RemoteSession.h"
#include "util/Text.h"

namespace kv {

CycleOutcome RunAutoCycle(AppState& state, const CycleSettings& settings) {
    CycleOutcome outcome;
    if (state.FtpSession)
        DisconnectSession(state);
    outcome.Connected = ConnectSession(state, settings);
    std::shared_ptr<RemoteSession> s = state.FtpSession;
    if (!s || !s->Connected())
        return outcome;
    const char* stage = "Receive Failed!!!";
    try {
        if (settings.allowReceive)
            ReceiveAll(state, settings);
        stage = "Send Failed!!!";
        if (settings.allowSend)
            SendAll(state, settings);
    } catch (...) {
        // Nobody watches an unattended cycle: what ended it goes to the log,
        // and the session is closed rather than left for the next tick.
        std::string message = cycle::MessageOf(std::current_exception());
        try {
            ReportError(state, stage);
            if (!message.empty())
                ReportError(state, FirstCrLfToBlank(message) + "!!!");
        } catch (...) {
            // The log is failing too; the session is closed all the same.
        }
    }
    if (state.FtpSession)
        DisconnectSession(state);
    return outcome;
}

} // namespace kv
