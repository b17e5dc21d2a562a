#pragma once
// The program's state: its folder, settings, modes, logs, transfer progress
// and session. One object, owned by the program (GUI or headless runner) and
// passed to the routines that need it.
#include "app/Settings.h"
#include "logging/Logs.h"
#include "util/Host.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

namespace kv {

class RemoteSession;
class ReportOrder;

inline constexpr const char* kProgramVersion = "1.42";

struct AppState {
    // Program folder (no trailing '/'); every file "beside the executable" is here.
    std::string ProgramDir;
    std::string IniPath; // empty until start-up found or restored the settings file
    // Start-up read the settings file through: only then may it replace kvini.bak.
    bool IniReadOk = false;

    Host* host = nullptr; // never null once the program runs; tests pass a fake

    bool AutoMode = false;
    bool TrayMode = false;
    bool ServiceMode = false;
    bool InfoFilePending = true;
    bool ShowTestSuccessBox = true;
    bool MessageBoxesAllowed = false;
    // Options/AllowStartAuto: the Start Auto button is shown.
    bool AllowStartAuto = false;
    std::string LanguageName;
    std::string LanguageFile;
    std::string ProgramVersion = kProgramVersion;
    std::string LogStep;

    Settings settings;
    LogFiles logs;
    // While a cycle keeps its files' lines in order, the lines go through it.
    ReportOrder* reportOrder = nullptr;
    // "ERROR:" lines reported so far (the headless runner's exit status uses it).
    int ErrorLinesReported = 0;
    // While a cycle runs, its error lines are also kept here (its status).
    ErrorLineCollector* errorLines = nullptr;

    // Transfer progress state.
    bool Transferring = false;
    bool AbortRequested = false;
    // Whether sessions make protocol trace lines for the host (the window's
    // Debug View); each new session takes it, and a change reaches the open one.
    bool TraceWanted = true;
    // A stop signal (korvaned) arrived: the running cycle ends at once.
    // StopSignal, when set, is the flag the signal handler raises.
    bool StopRequested = false;
    const std::atomic<bool>* StopSignal = nullptr;
    int64_t ExpectedSize = 0;
    int64_t TransferStart = 0; // milliseconds of a monotonic clock
    // Data transfers the server accepted (answered with 1xx) so far.
    int64_t TransfersStarted = 0;
    // Files (and their bytes) delivered into an inbox, and sent into place on
    // the server, since the program started: what a cycle did is the
    // difference across it.
    struct TransferCounts {
        int64_t ReceivedFiles = 0;
        int64_t ReceivedBytes = 0;
        int64_t SentFiles = 0;
        int64_t SentBytes = 0;
    } Counts;

    // The one session with the mailbox's server (FTP, FTPS or SFTP), or none.
    // Shared so that a running operation keeps the object alive when a
    // disconnect releases it during a wait.
    std::shared_ptr<kv::RemoteSession> FtpSession;

    // Local time source; tests replace it to cross midnight.
    std::function<std::time_t()> Now = [] { return std::time(nullptr); };

    std::string PathInProgramDir(const std::string& name) const;
    // "Language/" + LanguageFile, evaluated now.
    std::string LanguagePackPath() const;
};

} // namespace kv
