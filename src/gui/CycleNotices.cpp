// The window's desktop notifications after a cycle.
#include "CycleNotices.h"

#include "DisplayText.h"
#include "app/AppState.h"
#include "config/SettingsSnapshot.h"
#include "i18n/LangPack.h"
#include "logging/Logs.h"

namespace kvgui {

namespace {

QString PackText(const kv::AppState& state, const char* code, const char* english) {
    const std::string text = kv::LangMessage(state, code);
    return text.empty() ? QString(english) : DisplayText(text);
}

} // namespace

std::vector<CycleNotice> CycleNotices::After(const kv::AppState& state,
                                             const kv::SettingsSnapshot& settings,
                                             int64_t receivedFiles, kv::CycleOutcomeKind outcome,
                                             const std::string& firstError) {
    std::vector<CycleNotice> notices;
    if (receivedFiles > 0 && settings.Flag(kv::keys::NotifyFilesReceived))
        notices.push_back({PackText(state, "f12", "Files received"),
                           QString::number(receivedFiles) + " " +
                               PackText(state, "f13", "file(s) arrived in") + " " +
                               DisplayText(state.ProgramDir),
                           false});
    if (outcome == kv::CycleOutcomeKind::Ok) {
        toldFailure_.clear();
        return notices;
    }
    // The line without its time stamp, so that the same failure reads the same.
    std::string failure(kv::LineBody(firstError));
    if (failure.empty())
        failure = kv::OutcomeWord(outcome);
    if (failure != toldFailure_ && settings.Flag(kv::keys::NotifyCycleFailed))
        notices.push_back({PackText(state, "f14", "Transfer cycle failed"),
                           DisplayText(state.ProgramDir) + "\n" + DisplayText(failure), true});
    toldFailure_ = failure;
    return notices;
}

} // namespace kvgui
