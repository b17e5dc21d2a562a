#pragma once
// The settings file read whole, once, and the typed reads of its keys by the
// table's rules. A reader takes one snapshot for what it does (a cycle, a
// start, a dialog), so every value it uses comes from one version of the
// file, and a file that cannot be read is an error of that reader, never a
// file of absent keys whose defaults would be written back.
#include "config/SettingsKeys.h"

#include <cstdint>
#include <map>
#include <string>

namespace kv {

class SettingsSnapshot {
public:
    // Reads the file at path. A file that does not exist, or that cannot be
    // read, throws IniError naming it and why (a missing file is given a
    // moment first: an editor may be saving it by delete and rename).
    static SettingsSnapshot Read(const std::string& path);
    // The file when it exists; an empty snapshot when it does not. Still
    // throws when it exists and cannot be read.
    static SettingsSnapshot ReadIfPresent(const std::string& path);
    // A snapshot of settings text (tests, and files read by other means).
    static SettingsSnapshot FromText(std::string path, const std::string& text);

    const std::string& Path() const { return path_; }

    // The stored text, trimmed with one pair of quotes removed ("" when absent).
    std::string Text(const SettingKey& key) const;
    // The stored text, or the key's absent value when it is empty.
    std::string TextOrAbsent(const SettingKey& key) const;
    // True when the key is in the file (even with an empty value).
    bool Has(const SettingKey& key) const;
    bool Flag(const SettingKey& key) const;
    // A Number by the key's rules: empty is its absent value; a value that is
    // not a decimal integer within the range is refused (ConversionError
    // naming the key), replaced by the absent value, or read by its leading
    // digits, as the key says.
    int64_t Number(const SettingKey& key) const;

private:
    SettingsSnapshot(std::string path, const std::string& text);
    const std::string* Find(const SettingKey& key) const;

    std::string path_;
    // Upper-cased "SECTION\nKEY" to the value; the first of duplicate keys wins.
    std::map<std::string, std::string> values_;
};

} // namespace kv
