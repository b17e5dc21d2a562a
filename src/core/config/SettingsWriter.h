#pragma once
// The one way the program changes its settings file: values of the table's
// keys written all or none, in one atomic replacement of the file. A writer
// never makes a settings file where none is (a file missing for a moment
// would come back as a file of one key, and every other setting would read
// as its default); it refuses instead, and so does it when the file cannot
// be read.
#include "config/IniFile.h"
#include "config/SettingsKeys.h"

#include <string>
#include <vector>

namespace kv {

// One value to write: a key of the table and its text.
IniFile::Value SettingValue(const SettingKey& key, std::string value);
IniFile::Value FlagValue(const SettingKey& key, bool on);

class SettingsWriter {
public:
    explicit SettingsWriter(std::string path) : ini_(std::move(path)) {}

    const std::string& Path() const { return ini_.Path(); }
    // Throws IniError (nothing written) when a value is invalid, the file is
    // missing or unreadable, or it cannot be replaced.
    void Write(const std::vector<IniFile::Value>& values);
    void Write(const SettingKey& key, const std::string& value);
    void WriteFlag(const SettingKey& key, bool on);

private:
    IniFile ini_;
};

} // namespace kv
