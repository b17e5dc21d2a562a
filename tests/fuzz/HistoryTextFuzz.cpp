// The transfer history's texts on arbitrary bytes: a transfer-log line read
// back as a record, that record written as JSON and read again by the
// status file's reader (every text must come back as it went), and the
// reader on the bytes themselves. No crash, no text lost or changed.
#include "history/TransferRecord.h"
#include "util/Json.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    (void)kv::ParseJson(bytes);
    const std::optional<kv::TransferRecord> r = kv::ParseTransferRecord(bytes);
    if (!r)
        return 0;
    if (r->name.empty() || r->size < 0)
        __builtin_trap();
    const std::optional<kv::JsonValue> back = kv::ParseJson(kv::JsonObject(*r));
    if (!back || (*back)["name"].text != r->name || (*back)["sender"].text != r->sender ||
        (*back)["receiver"].text != r->receiver || (*back)["type"].text != r->type ||
        (*back)["size"].Integer(-1) != r->size)
        __builtin_trap();
    const std::string csv = kv::CsvLine(*r, true);
    if (csv.size() < 2 || csv.substr(csv.size() - 2) != "\r\n")
        __builtin_trap();
    return 0;
}
