#include "program/Headless.h"

#include "app/AppState.h"
#include "app/CycleSettings.h"
#include "engine/Engine.h"
#include "i18n/LangPack.h"
#include "logging/Logs.h"
#include "program/CycleStatus.h"
#include "program/Program.h"
#include "program/ServiceNotify.h"
#include "util/Fs.h"
#include "util/SafeText.h"
#include "util/Text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace kv {

namespace {

std::atomic<bool> gStopRequested{false};

void OnStopSignal(int) {
    gStopRequested = true;
}

// No window: nothing to show, and a stop request ends a running cycle by
// closing its session, which the cycle survives as "no session".
class HeadlessHost : public Host {
public:
    explicit HeadlessHost(AppState& state) : state_(state) {}
    void ProcessPendingEvents() override {
        if (!gStopRequested)
            return;
        state_.StopRequested = true;
        if (!stopping_ && state_.FtpSession) {
            stopping_ = true;
            DisconnectSession(state_);
        }
    }

private:
    AppState& state_;
    bool stopping_ = false;
};

bool HasWord(const std::vector<std::string>& args, const char* word) {
    for (const auto& a : args)
        if (EqualsNoCase(a, word))
            return true;
    return false;
}

// Reports a failure that ends the run, to the system log and to stderr.
void ReportFatal(AppState& state, const std::string& text) {
    std::fprintf(stderr, "korvane: %s\n", text.c_str());
    LogBracket logs(state);
    ReportError(state, text);
}

// One cycle and its status; intervalMs is the wait before the next one
// (0: none follows by itself). The cycle's error lines go to *errorLines.
CycleOutcome GuardedCycle(AppState& state, int64_t intervalMs,
                          ErrorLineCollector* errorLines = nullptr) {
    LogBracket logs(state);
    CycleStatus status(state);
    CycleOutcome outcome;
    try {
        outcome = RunAutoCycle(state, ReadCycleSettings(state));
    } catch (const std::exception& e) {
        // An error that escapes the cycle's own catchers (or a settings file
        // that cannot be read): report it, keep going.
        ReportError(state, FirstCrLfToBlank(e.what()) + "!");
        status.AddError(e.what());
    }
    std::optional<std::time_t> nextDue;
    if (intervalMs > 0)
        nextDue = state.Now() + static_cast<std::time_t>((intervalMs + 999) / 1000);
    status.Finish(outcome.Connected, nextDue);
    if (errorLines)
        *errorLines = status.Errors();
    return outcome;
}

// The reasons of a failed cycle for the terminal: its first error lines as
// the log has them, without the time.
std::string Reasons(const ErrorLineCollector& errors) {
    if (errors.lines.empty())
        return " no error line was logged";
    const size_t shown = std::min<size_t>(errors.lines.size(), 3);
    std::string text;
    for (size_t i = 0; i < shown; ++i)
        text += "\n  " + TerminalText(LineBody(errors.lines[i]));
    if (errors.total > static_cast<int64_t>(shown))
        text += "\n  (" + IntToStr(errors.total - static_cast<int64_t>(shown)) + " more)";
    return text;
}

// A settings file without the server's name: no cycle can reach anything,
// so the run stops with what to do instead of a name lookup of nothing.
bool HostMissing(AppState& state, const std::string& programDir) {
    if (!Trim(state.settings.Host).empty())
        return false;
    const std::string text =
        "Options/Host is empty in " + JoinPath(programDir, "Korvane.ini") +
        ": no mailbox is set up in this program folder. Set Options/Host, UserID and "
        "Password there (korvaned INIT DIR makes a new program folder and prints these "
        "steps)";
    ReportFatal(state, text);
    WriteFailedStart(state, text);
    return true;
}

// Sleeps up to ms milliseconds; false when a stop was requested meanwhile.
// An interval of 0 is a timer that never fires: wait for the stop request.
bool WaitInterval(int64_t ms) {
    const auto until = IntervalDeadline(ms, std::chrono::steady_clock::now());
    while (!gStopRequested) {
        if (ms > 0 && std::chrono::steady_clock::now() >= until)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

} // namespace

bool WantsHeadlessRun(const std::vector<std::string>& args, bool displayAvailable) {
    return HasWord(args, "ONCE") || (HasWord(args, "SRV") && !displayAvailable);
}

int RunHeadless(const std::string& programDir, const std::vector<std::string>& args) {
    const bool once = HasWord(args, "ONCE");
    InstanceLock lock(programDir);
    if (!lock.Acquired()) {
        std::fprintf(stderr, "korvane: %s%s\n", lock.Refusal(programDir).c_str(),
                     lock.HeldElsewhere() ? InstanceLock::Holder(programDir).c_str() : "");
        return 2;
    }
    // Relative folder settings are relative to the program folder.
    if (::chdir(programDir.c_str()) != 0) {
        std::fprintf(stderr, "korvane: cannot enter the program folder %s: %s\n",
                     programDir.c_str(), ErrnoText(errno).c_str());
        return 2;
    }
    AppState state;
    state.ProgramDir = programDir;
    state.StopSignal = &gStopRequested;
    state.TraceWanted = false; // nothing shows the protocol trace
    HeadlessHost host(state);
    state.host = &host;

    gStopRequested = false;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    // ONCE is not a start-up word of the window: only SRV writes AllowStartAuto.
    std::vector<std::string> startWords;
    for (const auto& a : args)
        if (!EqualsNoCase(a, "ONCE"))
            startWords.push_back(a);

    try {
        if (!StartUp(state, startWords)) {
            if (FileExists(JoinPath(programDir, "kvini.bak")))
                std::fprintf(stderr,
                             "korvane: INI File Lost!!! (no %s/Korvane.ini, and kvini.bak could "
                             "not be copied to it; check the folder's permissions and space)\n",
                             programDir.c_str());
            else
                std::fprintf(stderr,
                             "korvane: INI File Lost!!! (no %s/Korvane.ini and no kvini.bak)\n",
                             programDir.c_str());
            WriteFailedStart(state, "INI File Lost!!!");
            CloseSequence(state);
            return 2;
        }
    } catch (const std::exception& e) {
        ReportFatal(state, e.what());
        WriteFailedStart(state, e.what());
        CloseSequence(state);
        return 2;
    }
    state.AutoMode = state.ServiceMode = true;
    state.MessageBoxesAllowed = false;
    if (HostMissing(state, programDir)) {
        CloseSequence(state);
        return 2;
    }

    if (once) {
        int errorsBefore = state.ErrorLinesReported;
        ErrorLineCollector lines;
        CycleOutcome outcome = GuardedCycle(state, 0, &lines);
        int errors = state.ErrorLinesReported - errorsBefore;
        CloseSequence(state);
        if (!outcome.Connected) {
            std::fprintf(stderr, "korvane: could not connect:%s\nThe whole cycle is in %s\n",
                         Reasons(lines).c_str(), state.logs.SysLogPath.c_str());
            return 2;
        }
        if (errors > 0) {
            std::fprintf(stderr, "korvane: %d error line(s):%s\nThe whole cycle is in %s\n", errors,
                         Reasons(lines).c_str(), state.logs.SysLogPath.c_str());
            return 1;
        }
        return 0;
    }

    int64_t interval;
    try {
        interval = AutoIntervalMs(state.settings.TimeInterval);
    } catch (const std::exception& e) {
        ReportFatal(state, std::string(e.what()) + " (Options/TimeInterval)");
        WriteFailedStart(state, std::string(e.what()) + " (Options/TimeInterval)");
        CloseSequence(state);
        return 2;
    }
    {
        LogBracket logs(state);
        ReportInfo(state, LangMessage(state, "m03"));
    }
    NotifyServiceManager("READY=1\nSTATUS=Serving " + programDir);
    GuardedCycle(state, interval);
    while (WaitInterval(interval))
        GuardedCycle(state, interval);
    NotifyServiceManager("STOPPING=1");
    {
        LogBracket logs(state);
        ReportInfo(state, LangMessage(state, "m04"));
    }
    CloseSequence(state);
    return 0;
}

} // namespace kv
