// CSV files and texts of the history's records.
#include "history/HistoryExport.h"

#include "util/Fs.h"

#include <algorithm>

namespace kv {

int64_t ExportHistoryCsv(HistoryIndex& index, const HistoryFilter& filter, const HistorySort& sort,
                         const std::string& path, bool spreadsheetSafe) {
    AtomicFileWriter out(path);
    out.Write(CsvHeader());
    // Most of the history: read in the order asked for. A part of it: the
    // ids first (one pass over the table), then only their rows, by blocks.
    const std::vector<int64_t> ids = index.Query(filter, sort).ids;
    if (static_cast<int64_t>(ids.size()) * 4 > index.Count()) {
        int64_t n = 0;
        std::string text;
        index.ForEach(filter, sort, [&](const TransferRecord& r) {
            text += CsvLine(r, spreadsheetSafe);
            if (++n % 4096 == 0) {
                out.Write(text);
                text.clear();
            }
        });
        out.Write(text);
        out.Commit();
        return n;
    }
    constexpr size_t kBlock = 4096;
    for (size_t at = 0; at < ids.size(); at += kBlock) {
        const std::vector<int64_t> block(
            ids.begin() + static_cast<std::ptrdiff_t>(at),
            ids.begin() + static_cast<std::ptrdiff_t>(std::min(ids.size(), at + kBlock)));
        std::string text;
        for (const TransferRecord& r : index.Fetch(block))
            text += CsvLine(r, spreadsheetSafe);
        out.Write(text);
    }
    out.Commit();
    return static_cast<int64_t>(ids.size());
}

std::string RecordsCsv(const std::vector<TransferRecord>& records, bool spreadsheetSafe) {
    std::string text = CsvHeader();
    for (const TransferRecord& r : records)
        text += CsvLine(r, spreadsheetSafe);
    return text;
}

} // namespace kv
