#pragma once
// The transfer log's records: written as text and read back from one line of
// "LOG/KVTSF*.LOG" as its parts (time, direction, name, size, sender,
// receiver, type), and the two ways records leave the program for other
// tools (CSV and JSON lines).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kv {

enum class TransferDirection { Received = 0, Sent = 1 };

struct TransferRecord {
    // Local time as in the log, yyyymmddhhmmss (20260131235959).
    int64_t time = 0;
    TransferDirection direction = TransferDirection::Received;
    // The texts as UTF-8 for display (a log written in GB18030 is converted).
    std::string name;
    int64_t size = 0;
    std::string sender;
    std::string receiver;
    std::string type;
};

// The record's text as the transfer log holds it after the time stamp:
// "Download File->" or "Upload File->", the name, " FileSize:" size,
// " Sender:", " Receiver:", " Type:". ParseTransferRecord reads it back.
std::string RecordText(const TransferRecord& r);

// One line of a transfer log (without its CR LF). Nothing for a line that
// is not a record. The name may hold blanks, so it runs to the last size
// field (" FileSize:" digits " Sender:"); the sender to the first
// " Receiver:" after it, the receiver to the last " Type:". A line whose
// beginning a crash cut off and another record joined is read from the
// record it ends with.
std::optional<TransferRecord> ParseTransferRecord(std::string_view line);

// "yyyy-mm-dd hh:nn:ss" of a record's time.
std::string RecordTimeText(int64_t time);
// A date typed by a person ("2026-01-31") as yyyymmdd; nothing when it is no date.
std::optional<int64_t> ParseDate(std::string_view text);

// "Received" or "Sent".
const char* DirectionWord(TransferDirection d);

// The CSV header and one record as a CSV line (RFC 4180 quoting, CR LF at
// the end). With spreadsheetSafe, a text a spreadsheet would take for a
// formula (it starts with = + - @ or a tab) gets a leading apostrophe: the
// names come from partners, and a file opened in a spreadsheet must not run
// what they wrote.
std::string CsvHeader();
std::string CsvLine(const TransferRecord& r, bool spreadsheetSafe);
// One record as a JSON object on one line (no line end).
std::string JsonObject(const TransferRecord& r);

} // namespace kv
