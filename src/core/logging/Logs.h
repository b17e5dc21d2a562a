#pragma once
// The system log and the transfer log in "LOG/", and the one reporting routine.
// Files are opened at the start of each operation and closed at its end, so
// other programs can read or clean them in between.
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

struct AppState;

// The error lines of one cycle, for its status file: the first ones kept,
// every one counted.
struct ErrorLineCollector {
    static constexpr size_t kKept = 50;
    std::vector<std::string> lines;
    int64_t total = 0;
    void Add(const std::string& line) {
        if (lines.size() < kKept)
            lines.push_back(line);
        ++total;
    }
};

struct LogFiles {
    std::string SysLogPath;
    std::string TransferLogPath;
    bool SysLogOpen = false;
    bool TransferLogOpen = false;
    int sysFd = -1;
    int transferFd = -1;
    // A failed write was reported on standard error (once per operation).
    bool sysWriteReported = false;
    bool transferWriteReported = false;

    LogFiles() = default;
    LogFiles(const LogFiles&) = delete;
    LogFiles& operator=(const LogFiles&) = delete;
    ~LogFiles();
};

// "yyyy-mm-dd hh:nn:ss " in local time (19 characters and a blank).
std::string TimeStamp(std::time_t t);
// A reported line without its leading time stamp (the line itself when it has none).
std::string_view LineBody(std::string_view line);
// Time stamp + "INFO:" + text.
std::string InfoLine(const AppState& state, const std::string& text);
// Time stamp + "ERROR:" + text.
std::string ErrorLine(const AppState& state, const std::string& text);

// The two file names for the current date ("LOG/KVSYS" / "LOG/KVTSF" + yyyymmdd
// or yyyymm + ".LOG", daily when LogStep is "DAY" in any letter case).
// The date part of a log name: today as "yyyymmdd" when logStep is "DAY" in
// any letter case, else "yyyymm".
std::string LogDatePart(const std::string& logStep, std::time_t t);
std::string SysLogName(const std::string& logStep, std::time_t t);
std::string TransferLogName(const std::string& logStep, std::time_t t);

void OpenLogs(AppState& state);
// Closes both logs; a failure is reported as a failed write, never thrown.
void CloseLogs(AppState& state);

// Reports a complete line: to the log view (view and not ServiceMode), to the
// system log when open, and in a message box (box and MessageBoxesAllowed).
// Never throws for the log: a failed write is reported once on standard error
// and counts in ErrorLinesReported.
void ReportMessage(AppState& state, const std::string& line, bool view, bool box);
// Shorthands for the common channels: view and log, no box.
void ReportInfo(AppState& state, const std::string& text, bool box = false);
void ReportError(AppState& state, const std::string& text, bool box = false);
// A line for the system log only (start and close lines, configuration read).
void WriteSysLogOnly(AppState& state, const std::string& line);
// One transfer-log record: time stamp + record text, when the log is open.
void WriteTransferRecord(AppState& state, const std::string& record);
// The open transfer log's size in bytes (-1 when it is not open).
int64_t TransferLogSize(const AppState& state);
// Flushes the open transfer log to disk: records a power loss must not take.
// False when that failed (the failure is reported like a failed write).
bool FlushTransferLog(AppState& state);
// Makes sure the transfer log at path holds the record (the text after the
// time stamp) in a line at or after offset: appended now, with the time
// stamp of now, when it does not. True when it is there.
bool EnsureTransferRecord(AppState& state, const std::string& path, int64_t offset,
                          const std::string& record);

// Opens the logs for the life of one operation and closes them at its end,
// whatever happened; logs that were already open stay open.
class LogBracket {
public:
    explicit LogBracket(AppState& state);
    ~LogBracket();
    LogBracket(const LogBracket&) = delete;
    LogBracket& operator=(const LogBracket&) = delete;

private:
    AppState& state_;
    bool wasOpen_;
};

} // namespace kv
