// The status file, the metrics file and the service manager's status line
// written after every cycle.
#include "program/CycleStatus.h"

#include "app/AppState.h"
#include "config/SettingsSnapshot.h"
#include "program/ServiceNotify.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Json.h"
#include "util/Text.h"

#include <cstdio>

namespace kv {

namespace {

struct Totals {
    int64_t cycles[3] = {0, 0, 0}; // by outcome
    int64_t receivedFiles = 0, receivedBytes = 0, sentFiles = 0, sentBytes = 0, errorLines = 0;
};

struct Report {
    std::time_t start = 0, end = 0;
    CycleOutcomeKind outcome = CycleOutcomeKind::Ok;
    int64_t receivedFiles = 0, receivedBytes = 0, sentFiles = 0, sentBytes = 0;
    const ErrorLineCollector* errors = nullptr;
    std::optional<std::time_t> lastOk;
    std::optional<std::time_t> nextDue;
    Totals totals;
};

// What the last run left: the last good cycle and the totals.
void TakePrevious(const std::string& path, Report& r) {
    std::string text;
    try {
        text = ReadWholeFile(path);
    } catch (const FileError&) {
        return; // the first cycle
    }
    const std::optional<JsonValue> v = ParseJson(text);
    if (!v)
        return; // damaged: begun again
    const JsonValue& status = *v;
    if (status["last_ok"].kind == JsonValue::Kind::String)
        r.lastOk = ParseIsoTime(status["last_ok"].text);
    const JsonValue& t = status["totals"];
    r.totals.cycles[0] = t["cycles_ok"].Integer();
    r.totals.cycles[1] = t["cycles_errors"].Integer();
    r.totals.cycles[2] = t["cycles_failed"].Integer();
    r.totals.receivedFiles = t["received_files"].Integer();
    r.totals.receivedBytes = t["received_bytes"].Integer();
    r.totals.sentFiles = t["sent_files"].Integer();
    r.totals.sentBytes = t["sent_bytes"].Integer();
    r.totals.errorLines = t["error_lines"].Integer();
}

std::string TimeOrNull(const std::optional<std::time_t>& t) {
    return t ? JsonString(IsoTime(*t)) : "null";
}

std::string StatusJson(const AppState& state, const Report& r) {
    std::string errors = "[";
    for (size_t i = 0; i < r.errors->lines.size(); ++i)
        errors += std::string(i ? ",\n    " : "\n    ") + JsonString(r.errors->lines[i]);
    errors += r.errors->lines.empty() ? "]" : "\n  ]";
    const Totals& t = r.totals;
    return "{\n"
           "  \"version\": " +
           std::to_string(kStatusVersion) +
           ",\n"
           "  \"program_folder\": " +
           JsonString(state.ProgramDir) +
           ",\n"
           "  \"cycle_start\": " +
           JsonString(IsoTime(r.start)) +
           ",\n"
           "  \"cycle_end\": " +
           JsonString(IsoTime(r.end)) +
           ",\n"
           "  \"outcome\": " +
           JsonString(OutcomeWord(r.outcome)) +
           ",\n"
           "  \"received_files\": " +
           IntToStr(r.receivedFiles) +
           ",\n"
           "  \"received_bytes\": " +
           IntToStr(r.receivedBytes) +
           ",\n"
           "  \"sent_files\": " +
           IntToStr(r.sentFiles) +
           ",\n"
           "  \"sent_bytes\": " +
           IntToStr(r.sentBytes) +
           ",\n"
           "  \"errors\": " +
           errors +
           ",\n"
           "  \"error_lines\": " +
           IntToStr(r.errors->total) +
           ",\n"
           "  \"last_ok\": " +
           TimeOrNull(r.lastOk) +
           ",\n"
           "  \"next_due\": " +
           TimeOrNull(r.nextDue) +
           ",\n"
           "  \"totals\": {\"cycles_ok\": " +
           IntToStr(t.cycles[0]) + ", \"cycles_errors\": " + IntToStr(t.cycles[1]) +
           ", \"cycles_failed\": " + IntToStr(t.cycles[2]) +
           ", \"received_files\": " + IntToStr(t.receivedFiles) +
           ", \"received_bytes\": " + IntToStr(t.receivedBytes) +
           ", \"sent_files\": " + IntToStr(t.sentFiles) +
           ", \"sent_bytes\": " + IntToStr(t.sentBytes) +
           ", \"error_lines\": " + IntToStr(t.errorLines) +
           "}\n"
           "}\n";
}

// A label value of the text format: backslash, quote and line feed escaped.
std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string MetricsText(const AppState& state, const Report& r) {
    const std::string folder = "folder=\"" + LabelValue(state.ProgramDir) + "\"";
    std::string out;
    auto metric = [&](const char* name, const char* type, const char* help,
                      const std::string& value) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
               name + "{" + folder + "} " + value + "\n";
    };
    const Totals& t = r.totals;
    metric("korvane_received_files_total", "counter", "Files received into an inbox.",
           IntToStr(t.receivedFiles));
    metric("korvane_received_bytes_total", "counter", "Bytes of the files received.",
           IntToStr(t.receivedBytes));
    metric("korvane_sent_files_total", "counter", "Files sent into place on the server.",
           IntToStr(t.sentFiles));
    metric("korvane_sent_bytes_total", "counter", "Bytes of the files sent.",
           IntToStr(t.sentBytes));
    metric("korvane_errors_total", "counter", "Error lines the cycles reported.",
           IntToStr(t.errorLines));
    out += "# HELP korvane_cycles_total Cycles run, by outcome.\n"
           "# TYPE korvane_cycles_total counter\n";
    for (CycleOutcomeKind k :
         {CycleOutcomeKind::Ok, CycleOutcomeKind::Errors, CycleOutcomeKind::Failed})
        out += "korvane_cycles_total{" + folder + ",outcome=\"" + OutcomeWord(k) + "\"} " +
               IntToStr(t.cycles[static_cast<int>(k)]) + "\n";
    metric("korvane_last_success_timestamp_seconds", "gauge",
           "End of the last cycle whose outcome was ok, in seconds since the epoch (0: none).",
           IntToStr(r.lastOk ? static_cast<int64_t>(*r.lastOk) : 0));
    metric("korvane_last_cycle_timestamp_seconds", "gauge",
           "End of the last cycle, in seconds since the epoch.", IntToStr(r.end));
    metric("korvane_last_cycle_duration_seconds", "gauge", "How long the last cycle took.",
           IntToStr(r.end - r.start));
    metric("korvane_last_cycle_ok", "gauge", "1 when the last cycle's outcome was ok, else 0.",
           r.outcome == CycleOutcomeKind::Ok ? "1" : "0");
    return out;
}

std::string ServiceStatusLine(const Report& r) {
    std::string line = "Last cycle " + ClockText(r.end) + ": " + OutcomeWord(r.outcome);
    if (r.outcome == CycleOutcomeKind::Failed)
        line += " (no connection)";
    else
        line += ", " + IntToStr(r.receivedFiles) + " received, " + IntToStr(r.sentFiles) + " sent";
    if (r.errors->total > 0)
        line += ", " + IntToStr(r.errors->total) + " error line(s)";
    if (r.nextDue)
        line += "; next " + ClockText(*r.nextDue);
    return line;
}

void Failed(AppState& state, const std::string& text) {
    std::fprintf(stderr, "korvane: %s\n", text.c_str());
    std::fflush(stderr);
    ReportError(state, text + "!!!");
}

void Publish(AppState& state, Report& r) {
    const std::string statusPath = state.PathInProgramDir(kStatusFileName);
    TakePrevious(statusPath, r);
    r.totals.cycles[static_cast<int>(r.outcome)] += 1;
    r.totals.receivedFiles += r.receivedFiles;
    r.totals.receivedBytes += r.receivedBytes;
    r.totals.sentFiles += r.sentFiles;
    r.totals.sentBytes += r.sentBytes;
    r.totals.errorLines += r.errors->total;
    if (r.outcome == CycleOutcomeKind::Ok)
        r.lastOk = r.end;
    NotifyServiceManager("STATUS=" + ServiceStatusLine(r));
    try {
        const std::string folder = FolderOf(statusPath);
        if (!DirectoryExists(folder) && ForceDirectories(folder))
            TakeFolderOwner(folder, state.ProgramDir);
        AtomicWriteFile(statusPath, StatusJson(state, r), 0644, state.ProgramDir);
    } catch (const FileError& e) {
        Failed(state, std::string("Cannot write the status file: ") + e.what() +
                          "; give the program write access to its LOG folder");
    }
    std::string metricsPath;
    if (!state.IniPath.empty()) {
        try {
            metricsPath = Trim(SettingsSnapshot::Read(state.IniPath).Text(keys::MetricsFile));
        } catch (const KvError&) {
            // An unreadable settings file was reported where it was read.
        }
    }
    if (metricsPath.empty())
        return;
    if (metricsPath[0] != '/')
        metricsPath = state.PathInProgramDir(metricsPath);
    try {
        AtomicWriteFile(metricsPath, MetricsText(state, r), 0644);
    } catch (const FileError& e) {
        Failed(state, std::string("Cannot write the metrics file named by ") +
                          keys::MetricsFile.Path() + ": " + e.what() +
                          "; correct the setting or give the program write access to that "
                          "folder");
    }
}

} // namespace

std::string ClockText(std::time_t t) {
    return TimeStamp(t).substr(0, 19);
}

const char* OutcomeWord(CycleOutcomeKind k) {
    switch (k) {
    case CycleOutcomeKind::Ok:
        return "ok";
    case CycleOutcomeKind::Errors:
        return "errors";
    case CycleOutcomeKind::Failed:
        return "failed";
    }
    return "failed";
}

std::string IsoTime(std::time_t t) {
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    const long off = tm.tm_gmtoff;
    const long a = off < 0 ? -off : off;
    char zone[40];
    std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", off < 0 ? '-' : '+', a / 3600, a / 60 % 60);
    return std::string(buf) + zone;
}

std::optional<std::time_t> ParseIsoTime(const std::string& text) {
    int y, mo, d, h, mi, s, zh, zm;
    char sign;
    if (text.size() != 25 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%2d:%2d", &y, &mo, &d, &h, &mi, &s,
                    &sign, &zh, &zm) != 9 ||
        (sign != '+' && sign != '-'))
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    const std::time_t utc = ::timegm(&tm);
    const long offset = (zh * 3600L + zm * 60L) * (sign == '-' ? -1 : 1);
    return utc - offset;
}

CycleStatus::CycleStatus(AppState& state)
    : state_(state), outer_(state.errorLines), start_(state.Now()),
      errorsBefore_(state.ErrorLinesReported), receivedFiles_(state.Counts.ReceivedFiles),
      receivedBytes_(state.Counts.ReceivedBytes), sentFiles_(state.Counts.SentFiles),
      sentBytes_(state.Counts.SentBytes) {
    state_.errorLines = &errors_;
}

CycleStatus::~CycleStatus() {
    state_.errorLines = outer_;
}

CycleOutcomeKind CycleStatus::Finish(bool connected, std::optional<std::time_t> nextDue) {
    state_.errorLines = outer_;
    Report r;
    r.start = start_;
    r.end = state_.Now();
    const bool anyError = state_.ErrorLinesReported > errorsBefore_ || errors_.total > 0;
    r.outcome = !connected ? CycleOutcomeKind::Failed
                           : (anyError ? CycleOutcomeKind::Errors : CycleOutcomeKind::Ok);
    r.receivedFiles = state_.Counts.ReceivedFiles - receivedFiles_;
    r.receivedBytes = state_.Counts.ReceivedBytes - receivedBytes_;
    r.sentFiles = state_.Counts.SentFiles - sentFiles_;
    r.sentBytes = state_.Counts.SentBytes - sentBytes_;
    r.errors = &errors_;
    r.nextDue = nextDue;
    if (!finished_) {
        finished_ = true;
        Publish(state_, r);
    }
    return r.outcome;
}

void WriteFailedStart(AppState& state, const std::string& error) {
    ErrorLineCollector errors;
    errors.Add(error);
    Report r;
    r.start = r.end = state.Now();
    r.outcome = CycleOutcomeKind::Failed;
    r.errors = &errors;
    Publish(state, r);
}

} // namespace kv
