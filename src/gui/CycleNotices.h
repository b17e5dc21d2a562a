#pragma once
// The window's desktop notifications after a cycle, for an operator working
// in other windows: one when files arrived, one when a cycle failed (its
// outcome "errors" or "failed"), each switched by its settings key
// (System/NotifyFilesReceived, System/NotifyCycleFailed; on unless "0"),
// their texts from the language pack. A failure is told once: later cycles
// failing with the same first error line stay quiet until one goes well.
#include "program/CycleStatus.h"

#include <QString>
#include <cstdint>
#include <string>
#include <vector>

namespace kv {
struct AppState;
class SettingsSnapshot;
} // namespace kv

namespace kvgui {

struct CycleNotice {
    QString title;
    QString text;
    bool failure = false;
};

class CycleNotices {
public:
    // What to tell of a cycle that ended with this outcome, having delivered
    // receivedFiles files; firstError is its first error line (may be empty).
    std::vector<CycleNotice> After(const kv::AppState& state, const kv::SettingsSnapshot& settings,
                                   int64_t receivedFiles, kv::CycleOutcomeKind outcome,
                                   const std::string& firstError);

private:
    std::string toldFailure_; // the failure last told; empty after a good cycle
};

} // namespace kvgui
