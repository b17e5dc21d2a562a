// korvaned HISTORY: the transfer history as text, CSV or JSON.
#include "program/HistoryCommand.h"

#include "history/HistoryIndex.h"
#include "program/ProgramFolderInit.h"
#include "util/Fs.h"
#include "util/SafeText.h"
#include "util/Text.h"

namespace kv {

namespace {

int Usage(std::ostream& err, const std::string& why) {
    err << "korvaned: " << why
        << "\nusage: korvaned HISTORY [--since YYYY-MM-DD] [--until YYYY-MM-DD] [--match TEXT]"
           " [--json|--csv]\n";
    return 2;
}

} // namespace

int RunHistoryCommand(const std::string& programDir, const std::vector<std::string>& args,
                      std::ostream& out, std::ostream& err) {
    HistoryFilter filter;
    enum class Format { Text, Csv, Json } format = Format::Text;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if ((a == "--since" || a == "--until") && hasValue) {
            std::optional<int64_t> day = ParseDate(args[++i]);
            if (!day)
                return Usage(err, "'" + args[i] + "' is not a date (YYYY-MM-DD)");
            (a == "--since" ? filter.fromDay : filter.untilDay) = *day;
        } else if (a == "--match" && hasValue) {
            filter.text = args[++i];
        } else if (a == "--json") {
            format = Format::Json;
        } else if (a == "--csv") {
            format = Format::Csv;
        } else if (a == "--since" || a == "--until" || a == "--match") {
            return Usage(err, "option " + a + " needs a value");
        } else {
            return Usage(err, (StartsWith(a, "-") ? "unknown option '" : "unexpected argument '") +
                                  a + "'");
        }
    }
    // A mistyped folder is an error, never a history without transfers, and
    // reading makes no folder: the index is made only beside existing logs.
    if (!IsProgramFolder(programDir)) {
        err << "korvaned: " << NotAProgramFolder(programDir) << "\n";
        return 2;
    }
    const bool anyLogs = DirectoryExists(JoinPath(programDir, "LOG"));
    try {
        bool first = true;
        if (format == Format::Csv)
            out << CsvHeader();
        if (format == Format::Json)
            out << "[";
        if (!anyLogs) {
            out << (format == Format::Json ? "]\n" : "");
            return 0;
        }
        HistoryIndex index(programDir);
        if (!index.Warning().empty())
            err << "korvaned: " << index.Warning() << "\n";
        index.Refresh();
        index.ForEach(filter, HistorySort{}, [&](const TransferRecord& r) {
            switch (format) {
            case Format::Csv:
                out << CsvLine(r, true);
                break;
            case Format::Json:
                out << (first ? "\n" : ",\n") << JsonObject(r);
                break;
            case Format::Text:
                // For a terminal: no control or direction-override character
                // of a partner's file (a tab included) reaches it.
                out << RecordTimeText(r.time) << '\t' << DirectionWord(r.direction) << '\t'
                    << TerminalText(r.name) << '\t' << r.size << '\t' << TerminalText(r.sender)
                    << '\t' << TerminalText(r.receiver) << '\t' << TerminalText(r.type) << '\n';
                break;
            }
            first = false;
        });
        if (format == Format::Json)
            out << (first ? "]\n" : "\n]\n");
        out.flush();
        if (const int64_t bad = index.UnreadableLines(); bad > 0)
            err << "korvaned: " << bad
                << " line(s) of the transfer logs are no record and were left out\n";
    } catch (const HistoryError& e) {
        err << "korvaned: " << e.what() << "\n";
        return 2;
    }
    return 0;
}

} // namespace kv
