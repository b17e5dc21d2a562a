// Writes of the settings file's keys, all or none, never to a missing file.
#include "config/SettingsWriter.h"

namespace kv {

IniFile::Value SettingValue(const SettingKey& key, std::string value) {
    return {std::string(key.section), key.Name(), std::move(value)};
}

IniFile::Value FlagValue(const SettingKey& key, bool on) {
    return SettingValue(key, FlagText(on));
}

void SettingsWriter::Write(const std::vector<IniFile::Value>& values) {
    ini_.WriteStrings(values, IniFile::Missing::Refuse);
}

void SettingsWriter::Write(const SettingKey& key, const std::string& value) {
    Write({SettingValue(key, value)});
}

void SettingsWriter::WriteFlag(const SettingKey& key, bool on) {
    Write({FlagValue(key, on)});
}

} // namespace kv
