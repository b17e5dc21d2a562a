#include "engine/AutoCycle.h"

#include "app/AppState.h"
#include "config/IniFile.h"
#include "config/SettingsKeys.h"
#include "engine/Connection.h"
#include "engine/CycleSupport.h"
#include "engine/Receive.h"
#include "engine/Send.h"
#include "logging/Logs.h"
#include "remote/RemoteSession.h"
#include "util/Text.h"

namespace kv {

CycleOutcome RunAutoCycle(AppState& state, IniFile& ini) {
    CycleOutcome outcome;
    if (state.FtpSession)
        DisconnectSession(state);
    outcome.Connected = ConnectSession(state, ini);
    std::shared_ptr<RemoteSession> s = state.FtpSession;
    if (!s || !s->Connected())
        return outcome;
    const char* stage = "Receive Failed!!!";
    try {
        if (ReadFlag(ini, keys::AllowReceive))
            ReceiveAll(state, ini);
        stage = "Send Failed!!!";
        if (ReadFlag(ini, keys::AllowSend))
            SendAll(state, ini);
    } catch (...) {
        // Nobody watches an unattended cycle: what ended it goes to the log,
        // and the session is closed rather than left for the next tick.
        std::string message = cycle::MessageOf(std::current_exception());
        try {
            ReportError(state, stage);
            if (!message.empty())
                ReportError(state, FirstCrLfToBlank(message) + "!!!");
        } catch (...) {
        }
    }
    if (state.FtpSession)
        DisconnectSession(state);
    return outcome;
}

} // namespace kv
