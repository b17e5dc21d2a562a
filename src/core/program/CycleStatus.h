#pragma once
// What the last cycle did, for monitoring: after every cycle (the window's
// automatic mode and transfer commands, korvaned ONCE and SRV) the program
// replaces "LOG/KVSTATUS.json" atomically, writes its counters in the
// Prometheus text format to the file Options/MetricsFile names (none when
// empty), and gives the service manager a STATUS= line. Totals carry over
// from the status file the last run left, so the counters keep growing
// across runs of korvaned ONCE; a missing or damaged status file starts them
// again at 0.
#include "logging/Logs.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace kv {

struct AppState;

inline constexpr const char* kStatusFileName = "LOG/KVSTATUS.json";
inline constexpr int kStatusVersion = 1;

enum class CycleOutcomeKind { Ok, Errors, Failed };
// "ok", "errors" (a file or folder step failed), "failed" (could not start or connect).
const char* OutcomeWord(CycleOutcomeKind k);

// "2026-01-31 10:15:00" in local time, as the logs write it (no blank after).
std::string ClockText(std::time_t t);
// "2026-01-31T10:15:00+01:00": local time with its offset from UTC.
std::string IsoTime(std::time_t t);
// The time an IsoTime text stands for; nothing when it is none (a day, hour,
// minute or second out of its range included).
std::optional<std::time_t> ParseIsoTime(const std::string& text);

// One cycle from its start to its status. While it lives, the cycle's error
// lines are collected from the reports.
class CycleStatus {
public:
    explicit CycleStatus(AppState& state);
    ~CycleStatus();
    CycleStatus(const CycleStatus&) = delete;
    CycleStatus& operator=(const CycleStatus&) = delete;

    // A failure that ended the cycle without an error line (shown in a box).
    void AddError(const std::string& text) { errors_.Add(text); }
    // The cycle's error lines so far (the first 50) and their count.
    const ErrorLineCollector& Errors() const { return errors_; }
    // The cycle ended: connected tells whether it could log in (or ran on a
    // connected session); nextDue is when automatic mode runs the next one.
    // Writes the status, the metrics and the STATUS= line, first removing
    // what a status write that was cut off left. A file that cannot be
    // written is an error line of the cycle (logs open, standard error, the
    // status when that can be written): an "ok" cycle becomes "errors".
    // Returns the outcome reported.
    CycleOutcomeKind Finish(bool connected, std::optional<std::time_t> nextDue);

private:
    AppState& state_;
    ErrorLineCollector errors_;
    ErrorLineCollector* outer_;
    std::time_t start_;
    int errorsBefore_;
    int64_t receivedFiles_, receivedBytes_, sentFiles_, sentBytes_;
    bool finished_ = false;
};

// The status for a run that could not start (a bad setting): outcome
// "failed" with the error lines given.
void WriteFailedStart(AppState& state, const std::string& error);

} // namespace kv
