// Reading the transfer log's records back, and writing them as CSV and JSON.
#include "history/TransferRecord.h"

#include "util/Encoding.h"
#include "util/Json.h"
#include "util/SafeText.h"
#include "util/Text.h"

#include <cstdio>

namespace kv {

namespace {

constexpr std::string_view kDownload = "Download File->";
constexpr std::string_view kUpload = "Upload File->";
constexpr std::string_view kSize = " FileSize:";
constexpr std::string_view kSender = " Sender:";
constexpr std::string_view kReceiver = " Receiver:";
constexpr std::string_view kType = " Type:";

bool Digits(std::string_view s, size_t at, size_t n, int& value) {
    value = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (i >= s.size() || s[i] < '0' || s[i] > '9')
            return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

// "yyyy-mm-dd hh:nn:ss " at the start of s, as yyyymmddhhmmss.
std::optional<int64_t> StampAt(std::string_view s) {
    if (s.size() < 20 || s[4] != '-' || s[7] != '-' || s[10] != ' ' || s[13] != ':' ||
        s[16] != ':' || s[19] != ' ')
        return std::nullopt;
    int y, mo, d, h, mi, se;
    if (!Digits(s, 0, 4, y) || !Digits(s, 5, 2, mo) || !Digits(s, 8, 2, d) ||
        !Digits(s, 11, 2, h) || !Digits(s, 14, 2, mi) || !Digits(s, 17, 2, se))
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60)
        return std::nullopt;
    return ((((static_cast<int64_t>(y) * 100 + mo) * 100 + d) * 100 + h) * 100 + mi) * 100 + se;
}

// Where the record of the line starts: where the last time stamp followed
// by a record prefix begins (at 0, or later in a line a crash cut off and
// the next record joined). npos when there is none.
size_t RecordStart(std::string_view line) {
    auto isStart = [&](size_t at) {
        if (!StampAt(line.substr(at)))
            return false;
        std::string_view body = line.substr(at + 20);
        return StartsWith(body, kDownload) || StartsWith(body, kUpload);
    };
    size_t best = isStart(0) ? 0 : std::string_view::npos;
    for (std::string_view prefix : {kDownload, kUpload}) {
        for (size_t at = line.find(prefix, 20); at != std::string_view::npos;
             at = line.find(prefix, at + 1))
            if (at >= 20 && isStart(at - 20) && (best == std::string_view::npos || at - 20 > best))
                best = at - 20;
    }
    return best;
}

std::string CsvField(const std::string& text, bool spreadsheetSafe) {
    const std::string value = spreadsheetSafe ? SpreadsheetCell(text) : text;
    if (value.find_first_of(",\"\r\n") == std::string::npos)
        return value;
    std::string out = "\"";
    for (char c : value) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

} // namespace

std::string RecordText(const TransferRecord& r) {
    std::string text(r.direction == TransferDirection::Received ? kDownload : kUpload);
    text += r.name;
    text += kSize;
    text += std::to_string(r.size);
    text += kSender;
    text += r.sender;
    text += kReceiver;
    text += r.receiver;
    text += kType;
    text += r.type;
    return text;
}

std::optional<TransferRecord> ParseTransferRecord(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    const size_t start = RecordStart(line);
    if (start == std::string_view::npos)
        return std::nullopt;
    line.remove_prefix(start);
    TransferRecord r;
    r.time = *StampAt(line);
    std::string_view rest = line.substr(20);
    if (StartsWith(rest, kDownload)) {
        r.direction = TransferDirection::Received;
        rest.remove_prefix(kDownload.size());
    } else {
        r.direction = TransferDirection::Sent;
        rest.remove_prefix(kUpload.size());
    }
    // The name runs to the last size field that is digits then the sender.
    size_t sizeAt = std::string_view::npos;
    size_t senderAt = 0;
    for (size_t at = rest.rfind(kSize); at != std::string_view::npos;
         at = at == 0 ? std::string_view::npos : rest.rfind(kSize, at - 1)) {
        size_t end = at + kSize.size();
        while (end < rest.size() && rest[end] >= '0' && rest[end] <= '9')
            ++end;
        if (end > at + kSize.size() && rest.substr(end, kSender.size()) == kSender) {
            sizeAt = at;
            senderAt = end;
            break;
        }
    }
    if (sizeAt == std::string_view::npos || sizeAt == 0)
        return std::nullopt;
    const auto size =
        TryStrToInt64(rest.substr(sizeAt + kSize.size(), senderAt - sizeAt - kSize.size()));
    // No file is 8 PiB: such a size is a damaged line (and would not stay
    // exact in JSON).
    if (!size || *size > (int64_t{1} << 53))
        return std::nullopt;
    const size_t senderText = senderAt + kSender.size();
    const size_t receiverAt = rest.find(kReceiver, senderText);
    if (receiverAt == std::string_view::npos)
        return std::nullopt;
    const size_t receiverText = receiverAt + kReceiver.size();
    const size_t typeAt = rest.rfind(kType);
    if (typeAt == std::string_view::npos || typeAt < receiverText)
        return std::nullopt;
    r.name = ToDisplayUtf8(rest.substr(0, sizeAt));
    r.size = *size;
    r.sender = ToDisplayUtf8(rest.substr(senderText, receiverAt - senderText));
    r.receiver = ToDisplayUtf8(rest.substr(receiverText, typeAt - receiverText));
    r.type = ToDisplayUtf8(rest.substr(typeAt + kType.size()));
    return r;
}

std::string RecordTimeText(int64_t t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d",
                  static_cast<int>(t / 10000000000), static_cast<int>(t / 100000000 % 100),
                  static_cast<int>(t / 1000000 % 100), static_cast<int>(t / 10000 % 100),
                  static_cast<int>(t / 100 % 100), static_cast<int>(t % 100));
    return buf;
}

std::optional<int64_t> ParseDate(std::string_view text) {
    const std::string t = Trim(text);
    int y, m, d;
    if (t.size() != 10 || t[4] != '-' || t[7] != '-' || !Digits(t, 0, 4, y) ||
        !Digits(t, 5, 2, m) || !Digits(t, 8, 2, d) || m < 1 || m > 12 || d < 1 || d > 31)
        return std::nullopt;
    return (static_cast<int64_t>(y) * 100 + m) * 100 + d;
}

const char* DirectionWord(TransferDirection d) {
    return d == TransferDirection::Received ? "Received" : "Sent";
}

std::string CsvHeader() {
    return "Time,Direction,Name,Size,Sender,Receiver,Type\r\n";
}

std::string CsvLine(const TransferRecord& r, bool spreadsheetSafe) {
    return RecordTimeText(r.time) + "," + DirectionWord(r.direction) + "," +
           CsvField(r.name, spreadsheetSafe) + "," + IntToStr(r.size) + "," +
           CsvField(r.sender, spreadsheetSafe) + "," + CsvField(r.receiver, spreadsheetSafe) + "," +
           CsvField(r.type, spreadsheetSafe) + "\r\n";
}

std::string JsonObject(const TransferRecord& r) {
    return "{\"time\":" + JsonString(RecordTimeText(r.time)) +
           ",\"direction\":" + JsonString(LowerCase(DirectionWord(r.direction))) +
           ",\"name\":" + JsonString(r.name) + ",\"size\":" + IntToStr(r.size) +
           ",\"sender\":" + JsonString(r.sender) + ",\"receiver\":" + JsonString(r.receiver) +
           ",\"type\":" + JsonString(r.type) + "}";
}

} // namespace kv
