// The status file, the metrics file and the service manager's status line
// written after every cycle.
#include "program/CycleStatus.h"

#include "app/AppState.h"
#include "config/SettingsSnapshot.h"
#include "program/ServiceNotify.h"
#include "util/Encoding.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Json.h"
#include "util/Text.h"

#include <cstdio>
#include <sys/stat.h>

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
    ErrorLineCollector* errors = nullptr;
    std::optional<std::time_t> lastOk;
    std::optional<std::time_t> nextDue;
    Totals totals;
};

// What the last run left: the last good cycle and the totals.
struct Previous {
    std::optional<std::time_t> lastOk;
    Totals totals;
};

// A missing or damaged status file gives no totals: the counters begin again
// at 0, which monitoring takes as a counter reset.
Previous TakePrevious(const std::string& path) {
    Previous p;
    std::string text;
    try {
        text = ReadWholeFile(path);
    } catch (const FileError&) {
        return p; // the first cycle
    }
    const std::optional<JsonValue> v = ParseJson(text);
    if (!v)
        return p; // damaged: begun again
    const JsonValue& status = *v;
    if (status["last_ok"].kind == JsonValue::Kind::String)
        p.lastOk = ParseIsoTime(status["last_ok"].text);
    const JsonValue& t = status["totals"];
    p.totals.cycles[0] = t["cycles_ok"].Integer();
    p.totals.cycles[1] = t["cycles_errors"].Integer();
    p.totals.cycles[2] = t["cycles_failed"].Integer();
    p.totals.receivedFiles = t["received_files"].Integer();
    p.totals.receivedBytes = t["received_bytes"].Integer();
    p.totals.sentFiles = t["sent_files"].Integer();
    p.totals.sentBytes = t["sent_bytes"].Integer();
    p.totals.errorLines = t["error_lines"].Integer();
    return p;
}

// The totals and the last good cycle after this cycle, from what the last
// run left.
void Tally(Report& r, const Previous& p) {
    r.totals = p.totals;
    r.totals.cycles[static_cast<int>(r.outcome)] += 1;
    r.totals.receivedFiles += r.receivedFiles;
    r.totals.receivedBytes += r.receivedBytes;
    r.totals.sentFiles += r.sentFiles;
    r.totals.sentBytes += r.sentBytes;
    r.totals.errorLines += r.errors->total;
    r.lastOk = r.outcome == CycleOutcomeKind::Ok ? std::optional<std::time_t>(r.end) : p.lastOk;
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

// A label value of the text format: UTF-8 as the status file's texts
// (another encoding converted, undecodable bytes as U+FFFD), backslash,
// quote and line feed escaped.
std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : ToDisplayUtf8(text)) {
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

// A file of this cycle's report that could not be written: an error line
// of the cycle (in the log, on standard error and in the status), so the
// outcome turns from ok to errors wherever it is still written, and
// korvaned ONCE's exit status says the same.
void WriteFailed(AppState& state, Report& r, const Previous& p, const std::string& text) {
    std::fprintf(stderr, "korvane: %s\n", text.c_str());
    std::fflush(stderr);
    ErrorLineCollector* outer = state.errorLines;
    state.errorLines = r.errors;
    ReportError(state, text + "!!!");
    state.errorLines = outer;
    if (r.outcome == CycleOutcomeKind::Ok)
        r.outcome = CycleOutcomeKind::Errors;
    Tally(r, p);
}

// Removes the temporary files of writes that were cut off (a killed
// program, a power loss) beside path, when older than minAgeSeconds (0:
// whatever their age).
void RemoveCutOffWrites(const std::string& path, std::time_t now, std::time_t minAgeSeconds) {
    const std::string folder = FolderOf(path);
    const std::string prefix = "." + FileNameOf(path) + ".";
    for (const std::string& name : ListFolder(folder, "*", true)) {
        if (!StartsWith(name, prefix) || !IsOwnTemporaryName(name))
            continue;
        const std::string part = JoinPath(folder, name);
        struct stat st {};
        if (minAgeSeconds == 0 ||
            (::lstat(part.c_str(), &st) == 0 && now - st.st_mtime >= minAgeSeconds))
            ::unlink(part.c_str());
    }
}

std::string MetricsPath(const AppState& state) {
    std::string path;
    if (!state.IniPath.empty()) {
        try {
            path = Trim(SettingsSnapshot::Read(state.IniPath).Text(keys::MetricsFile));
        } catch (const KvError&) {
            // An unreadable settings file was reported where it was read.
        }
    }
    if (!path.empty() && path[0] != '/')
        path = state.PathInProgramDir(path);
    return path;
}

void WriteStatus(AppState& state, const std::string& path, const Report& r) {
    const std::string folder = FolderOf(path);
    if (!DirectoryExists(folder) && ForceDirectories(folder))
        TakeFolderOwner(folder, state.ProgramDir);
    AtomicWriteFile(path, StatusJson(state, r), 0644, state.ProgramDir);
}

const char* const kStatusWriteAdvice = "; give the program write access to its LOG folder";

void Publish(AppState& state, Report& r) {
    const std::string statusPath = state.PathInProgramDir(kStatusFileName);
    const std::string metricsPath = MetricsPath(state);
    const Previous previous = TakePrevious(statusPath);
    Tally(r, previous);
    // Only the instance that holds the program folder writes its status, so
    // any temporary status file there is left over; another program folder
    // may write into the metrics folder, so only old ones go there.
    RemoveCutOffWrites(statusPath, r.end, 0);
    if (!metricsPath.empty())
        RemoveCutOffWrites(metricsPath, r.end, 3600);
    bool statusWritten = false;
    try {
        WriteStatus(state, statusPath, r);
        statusWritten = true;
    } catch (const FileError& e) {
        WriteFailed(state, r, previous,
                    std::string("Cannot write the status file: ") + e.what() + kStatusWriteAdvice);
    }
    if (!metricsPath.empty()) {
        try {
            AtomicWriteFile(metricsPath, MetricsText(state, r), 0644);
        } catch (const FileError& e) {
            WriteFailed(state, r, previous,
                        std::string("Cannot write the metrics file named by ") +
                            keys::MetricsFile.Path() + ": " + e.what() +
                            "; correct the setting or give the program write access to that "
                            "folder");
            if (statusWritten) {
                try {
                    WriteStatus(state, statusPath, r);
                } catch (const FileError& e2) {
                    WriteFailed(state, r, previous,
                                std::string("Cannot write the status file: ") + e2.what() +
                                    kStatusWriteAdvice);
                }
            }
        }
    }
    NotifyServiceManager("STATUS=" + ServiceStatusLine(r));
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
    // timegm rolls "02-30" and "25:61" over into other days: a text whose
    // fields come back changed names no moment.
    std::tm back{};
    if (!::gmtime_r(&utc, &back) || back.tm_year != y - 1900 || back.tm_mon != mo - 1 ||
        back.tm_mday != d || back.tm_hour != h || back.tm_min != mi || back.tm_sec != s ||
        zh > 23 || zm > 59)
        return std::nullopt;
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
