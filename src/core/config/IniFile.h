#pragma once
// The settings file with the semantics of the Windows private-profile functions:
// section and key names match without regard to letter case, values come back
// trimmed with one pair of surrounding quotes removed, a missing key reads as
// the default. There is no cache: every call reads the file, and every write
// replaces the file atomically, so several objects on one file see each other's
// writes and a crash never leaves half a settings file.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kv {

class IniFile {
public:
    explicit IniFile(std::string path) : path_(std::move(path)) {}

    const std::string& Path() const { return path_; }

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def = "") const;
    // Leading optional '-' and digits, as the profile integer read does; the
    // default when there are none.
    int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def = 0) const;
    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;
    // Key names of a section in file order.
    std::vector<std::string> ReadSection(const std::string& section) const;
    // Key/value pairs of a section in file order, values as stored (trimmed,
    // quotes kept); lines without '=' are left out.
    std::vector<std::pair<std::string, std::string>>
    ReadSectionLines(const std::string& section) const;

    // Replaces the value in place, or appends the key at the end of its section,
    // or appends the section at the end of the file. Lines written end in CR LF;
    // every other line is kept byte for byte. Throws IniError when the value
    // holds a line break or the file cannot be replaced (the old file stays).
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int64_t value);

    struct Value {
        std::string section;
        std::string key;
        std::string value;
    };
    // What a write does when the file does not exist: make it, or refuse
    // (IniError) so a file missing for a moment is not replaced by one key.
    enum class Missing { Create, Refuse };
    // Writes the values in their order, as WriteString one after the other
    // would, but replaces the file once: either all of them are stored or,
    // when one is invalid or the file cannot be replaced (IniError), none.
    void WriteStrings(const std::vector<Value>& values, Missing missing = Missing::Create);

private:
    std::string path_;
};

// Parsing of INI text, shared with the language packs and the fuzz target.
namespace ini {
struct Line {
    size_t begin = 0;   // offset of the first byte of the line
    size_t end = 0;     // offset just past its line break
    size_t textEnd = 0; // offset just before its line break
};
std::vector<Line> SplitLines(const std::string& text);
// Section name of "[name]" lines; false for other lines.
bool SectionName(std::string_view line, std::string& name);
// Key and raw value (trimmed) of a "key=value" line; false for other lines.
bool KeyValue(std::string_view line, std::string& key, std::string& value);
// Removes one pair of surrounding quotes (" or ').
std::string Unquote(const std::string& value);
// The profile integer read of a value: an optional sign and leading digits;
// def when there are none or they overflow 32 bits.
int32_t LeadingInteger(const std::string& value, int32_t def);
// Looks a value up in INI text (no file access).
bool Lookup(const std::string& text, const std::string& section, const std::string& key,
            std::string& value);
// The text after writing key=value, following the write rules above.
std::string WithValue(const std::string& text, const std::string& section, const std::string& key,
                      const std::string& value);
} // namespace ini

} // namespace kv
