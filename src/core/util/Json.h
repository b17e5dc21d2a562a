#pragma once
// The little JSON the program writes and reads back: its status file. Texts
// are written as valid UTF-8 (a byte that is not is shown as U+FFFD) with
// control characters escaped; the reader takes strict JSON (RFC 8259).
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// text as a JSON string, quotes included.
std::string JsonString(std::string_view text);

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> fields;

    // The member of an object (a null value when absent or not an object).
    const JsonValue& operator[](const std::string& key) const;
    bool IsNull() const { return kind == Kind::Null; }
    // The number as an integer, or fallback when it is none.
    int64_t Integer(int64_t fallback = 0) const;
};

// The value of a whole JSON text; nothing when it is not valid JSON (and
// then why in *error when given).
std::optional<JsonValue> ParseJson(std::string_view text, std::string* error = nullptr);

} // namespace kv
