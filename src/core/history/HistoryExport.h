#pragma once
// The history's records leaving the program: a CSV file of the rows a filter
// finds, and the CSV text of chosen rows (the window's copy).
#include "history/HistoryIndex.h"

#include <string>
#include <vector>

namespace kv {

// Writes the records that pass the filter, in the order asked for, to path
// as CSV (UTF-8, CR LF), replacing it atomically. Returns how many records
// were written; throws FileError (the file untouched) or HistoryError.
int64_t ExportHistoryCsv(HistoryIndex& index, const HistoryFilter& filter, const HistorySort& sort,
                         const std::string& path, bool spreadsheetSafe = true);
// The records as CSV text with its header.
std::string RecordsCsv(const std::vector<TransferRecord>& records, bool spreadsheetSafe = true);

} // namespace kv
