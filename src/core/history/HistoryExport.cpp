// CSV files and texts of the history's records.
#include "history/HistoryExport.h"

#include "util/Fs.h"

namespace kv {

int64_t ExportHistoryCsv(HistoryIndex& index, const HistoryFilter& filter, const HistorySort& sort,
                         const std::string& path, bool spreadsheetSafe) {
    AtomicFileWriter out(path);
    out.Write(CsvHeader());
    int64_t n = 0;
    index.ForEach(filter, sort, [&](const TransferRecord& r) {
        out.Write(CsvLine(r, spreadsheetSafe));
        ++n;
    });
    out.Commit();
    return n;
}

std::string RecordsCsv(const std::vector<TransferRecord>& records, bool spreadsheetSafe) {
    std::string text = CsvHeader();
    for (const TransferRecord& r : records)
        text += CsvLine(r, spreadsheetSafe);
    return text;
}

} // namespace kv
