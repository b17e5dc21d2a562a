// korvaned STATUS and CHECK on the status file of the last cycle.
#include "program/StatusCommands.h"

#include "program/CycleStatus.h"
#include "program/ProgramFolderInit.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Json.h"
#include "util/SafeText.h"
#include "util/Text.h"

#include <algorithm>

namespace kv {

namespace {

// "3 d 4 h", "12 min 5 s", "40 s".
std::string Age(int64_t s) {
    if (s < 0)
        s = 0;
    if (s >= 86400)
        return std::to_string(s / 86400) + " d " + std::to_string(s / 3600 % 24) + " h";
    if (s >= 3600)
        return std::to_string(s / 3600) + " h " + std::to_string(s / 60 % 60) + " min";
    if (s >= 60)
        return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
    return std::to_string(s) + " s";
}

struct Status {
    JsonValue json;
    std::optional<std::time_t> start, end, lastOk, nextDue;
    std::string outcome;
};

// The status file, or why it cannot be had: missing, damaged, or with a
// time that names no moment (a hand edit, a damaged disk).
std::optional<Status> ReadStatus(const std::string& programDir, std::string& why) {
    if (!IsProgramFolder(programDir)) {
        why = NotAProgramFolder(programDir);
        return std::nullopt;
    }
    const std::string path = JoinPath(programDir, kStatusFileName);
    std::string text;
    try {
        text = ReadWholeFile(path);
    } catch (const FileError&) {
        why = "no status file " + path +
              ": no cycle has run in this program folder yet (or it "
              "is not the folder the service uses)";
        return std::nullopt;
    }
    std::string error;
    std::optional<JsonValue> v = ParseJson(text, &error);
    Status s;
    if (v) {
        s.json = std::move(*v);
        s.outcome = s.json["outcome"].text;
        auto time = [&](const char* key) -> std::optional<std::time_t> {
            const JsonValue& f = s.json[key];
            if (f.kind != JsonValue::Kind::String)
                return std::nullopt;
            std::optional<std::time_t> t = ParseIsoTime(f.text);
            if (!t && error.empty())
                error = std::string(key) + " '" + TerminalText(f.text) + "' is no valid time";
            return t;
        };
        s.start = time("cycle_start");
        s.end = time("cycle_end");
        s.lastOk = time("last_ok");
        s.nextDue = time("next_due");
    }
    if (!v || !error.empty() || !s.end ||
        (s.outcome != "ok" && s.outcome != "errors" && s.outcome != "failed")) {
        why = "the status file " + path + " cannot be read (" +
              (error.empty() ? std::string("fields missing") : error) +
              "); the next cycle writes it anew";
        return std::nullopt;
    }
    return s;
}

// A status dated after now: the clock was set back since (or was ahead
// when the cycle ran), so no age can be told from it.
std::optional<std::string> FromTheFuture(const Status& s, std::time_t now) {
    for (const auto& [t, what] :
         {std::pair{s.lastOk, "last good cycle"}, std::pair{s.end, "last cycle"}})
        if (t && *t > now)
            return std::string("the ") + what + " ended at " + ClockText(*t) + ", " +
                   Age(*t - now) + " after this machine's time " + ClockText(now) +
                   ": the clock was changed; the next cycle dates it anew";
    return std::nullopt;
}

std::string Bytes(int64_t n) {
    return IntToStr(n) + (n == 1 ? " byte" : " bytes");
}

} // namespace

std::optional<int64_t> ParseDuration(std::string_view text) {
    const std::string t = Trim(text);
    if (t.empty())
        return std::nullopt;
    int64_t total = 0;
    size_t i = 0;
    bool any = false;
    while (i < t.size()) {
        int64_t n = 0;
        size_t digits = 0;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9' && digits < 12)
            n = n * 10 + (t[i++] - '0'), ++digits;
        if (digits == 0)
            return std::nullopt;
        int64_t unit = 1;
        if (i < t.size()) {
            switch (t[i]) {
            case 's':
                unit = 1;
                break;
            case 'm':
                unit = 60;
                break;
            case 'h':
                unit = 3600;
                break;
            case 'd':
                unit = 86400;
                break;
            case 'w':
                unit = 7 * 86400;
                break;
            default:
                return std::nullopt;
            }
            ++i;
        } else if (any) {
            return std::nullopt; // "1h30": the last number needs its unit too
        }
        total += n * unit;
        if (total > kLongestDuration)
            return std::nullopt;
        any = true;
    }
    return total;
}

CheckResult CheckStatus(const std::string& programDir, int64_t warnSeconds, int64_t critSeconds,
                        std::time_t now) {
    CheckResult r;
    std::string why;
    std::optional<Status> s = ReadStatus(programDir, why);
    if (!s) {
        r.code = 3;
        r.line = "KORVANE UNKNOWN - " + why;
        return r;
    }
    if (const std::optional<std::string> future = FromTheFuture(*s, now)) {
        r.code = 3;
        r.line = "KORVANE UNKNOWN - " + *future;
        return r;
    }
    const int64_t errors =
        s->json["error_lines"].Integer(static_cast<int64_t>(s->json["errors"].items.size()));
    std::string text = "last cycle " + s->outcome + " at " + ClockText(*s->end);
    if (s->outcome == "errors")
        text += " (" + IntToStr(errors) + " error line(s))";
    else if (s->outcome == "failed")
        text += " (could not start or connect)";
    int ageCode = 0;
    std::string perf;
    if (!s->lastOk) {
        ageCode = 2;
        text += ", no good cycle yet";
    } else {
        const int64_t age = now - *s->lastOk;
        ageCode = age >= critSeconds ? 2 : (age >= warnSeconds ? 1 : 0);
        text += ", last good cycle " + Age(age) + " ago";
        perf = " | last_ok_age=" + IntToStr(age) + "s;" + IntToStr(warnSeconds) + ";" +
               IntToStr(critSeconds) + ";0 errors=" + IntToStr(errors);
    }
    const int outcomeCode = s->outcome == "ok" ? 0 : 1;
    r.code = std::max(ageCode, outcomeCode);
    static const char* const words[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    r.line = std::string("KORVANE ") + words[r.code] + " - " + text + perf;
    return r;
}

int RunStatusCommand(const std::string& programDir, std::time_t now, std::ostream& out,
                     std::ostream& err) {
    std::string why;
    std::optional<Status> s = ReadStatus(programDir, why);
    if (!s) {
        err << "korvaned: " << why << "\n";
        return 1;
    }
    const JsonValue& j = s->json;
    out << "Program folder:   " << TerminalText(programDir) << "\n";
    out << "Last cycle:       " << (s->start ? ClockText(*s->start) : std::string("?")) << " to "
        << ClockText(*s->end) << ", " << s->outcome << "\n";
    out << "Received:         " << j["received_files"].Integer() << " file(s), "
        << Bytes(j["received_bytes"].Integer()) << "\n";
    out << "Sent:             " << j["sent_files"].Integer() << " file(s), "
        << Bytes(j["sent_bytes"].Integer()) << "\n";
    std::string lastOk = "none yet";
    if (s->lastOk && *s->lastOk > now)
        lastOk = ClockText(*s->lastOk) + " (" + Age(*s->lastOk - now) +
                 " after this machine's time: the clock was changed)";
    else if (s->lastOk)
        lastOk = ClockText(*s->lastOk) + " (" + Age(now - *s->lastOk) + " ago)";
    out << "Last good cycle:  " << lastOk << "\n";
    out << "Next cycle due:   "
        << (s->nextDue ? ClockText(*s->nextDue) : std::string("not scheduled (no automatic mode)"))
        << "\n";
    const JsonValue& errors = j["errors"];
    const int64_t total = j["error_lines"].Integer(static_cast<int64_t>(errors.items.size()));
    if (total == 0) {
        out << "Errors:           none\n";
    } else {
        out << "Errors:           " << total << " line(s)"
            << (total > static_cast<int64_t>(errors.items.size())
                    ? ", the first " + std::to_string(errors.items.size()) + " shown"
                    : std::string())
            << "\n";
        // Shown on a terminal: a control or direction-override character
        // a server sent in its answer, or a file name held, must not reach it.
        for (const JsonValue& e : errors.items)
            out << "  " << TerminalText(e.text) << "\n";
    }
    return 0;
}

int RunCheckCommand(const std::string& programDir, const std::vector<std::string>& args,
                    std::time_t now, std::ostream& out) {
    std::optional<int64_t> warn, crit;
    for (size_t i = 0; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        const bool isWarn = args[i] == "--warn" || args[i] == "-w";
        const bool isCrit = args[i] == "--crit" || args[i] == "-c";
        if ((isWarn || isCrit) && hasValue) {
            std::optional<int64_t>& value = isWarn ? warn : crit;
            value = ParseDuration(args[++i]);
            if (!value) {
                out << "KORVANE UNKNOWN - " << args[i - 1] << " '" << TerminalText(args[i])
                    << "' is no duration of at most 3650d (as 30m, 2h, 1d, 1h30m)\n";
                return 3;
            }
        } else {
            const std::string what = isWarn || isCrit ? "option " + args[i] + " needs a value"
                                     : StartsWith(args[i], "-")
                                         ? "unknown option '" + TerminalText(args[i]) + "'"
                                         : "unexpected argument '" + TerminalText(args[i]) + "'";
            out << "KORVANE UNKNOWN - " << what
                << "; usage: korvaned CHECK --warn DURATION --crit DURATION (as 30m, 2h, 1d)\n";
            return 3;
        }
    }
    if (!warn || !crit || *warn > *crit) {
        out << "KORVANE UNKNOWN - usage: korvaned CHECK --warn DURATION --crit DURATION "
               "(as 30m, 2h, 1d; --warn not longer than --crit)\n";
        return 3;
    }
    const CheckResult r = CheckStatus(programDir, *warn, *crit, now);
    out << r.line << "\n";
    return r.code;
}

} // namespace kv
