// The failure reports of a cycle's passes.
#include "engine/cycle/CycleReports.h"

#include "app/AppState.h"
#include "config/SettingsWriter.h"
#include "engine/cycle/CycleState.h"
#include "logging/Logs.h"
#include "util/Text.h"

namespace kv::cycle {

std::string MessageOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        // A failure without a text of its own: the caller's line names the step.
        return "";
    }
}

void SetRestartFlag(AppState& state) {
    if (Stopping(state))
        return;
    try {
        SettingsWriter(state.IniPath).WriteFlag(keys::MustReBoot, true);
    } catch (const std::exception& e) {
        try {
            ReportError(state, FirstCrLfToBlank(e.what()) + "!!!");
        } catch (...) {
            // The system log itself is failing; the view got the line if it could.
        }
    }
}

void ReportFailure(AppState& state, const std::string& message) {
    std::string text = FirstCrLfToBlank(message);
    if (text.find("Socket Error") != std::string::npos)
        SetRestartFlag(state);
    ReportError(state, text + "!!!");
}

void ReportBangError(AppState& state, const std::string& text) {
    // ReportMessage counts only "ERROR:" lines; this one is an error as well.
    ++state.ErrorLinesReported;
    ReportMessage(state, TimeStamp(state.Now()) + "ERROR!:" + text, true, false);
}

} // namespace kv::cycle
