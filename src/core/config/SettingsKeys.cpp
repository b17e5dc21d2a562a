// The settings keys' table and the reads and writes that follow its rules.
#include "config/SettingsKeys.h"

#include "util/Text.h"

namespace kv {

std::string SettingKey::Name() const {
    std::string n(name);
    if (group > 0)
        n += static_cast<char>('0' + group);
    return n;
}

std::string SettingKey::Path() const {
    return std::string(section) + "/" + Name();
}

std::span<const SettingKey* const> AllSettingKeys() {
    using namespace keys;
    static const SettingKey* const all[] = {
        &Host,
        &Port,
        &UserID,
        &Password,
        &NetType,
        &FileSender,
        &TransferType,
        &Passive,
        &FTPS,
        &FTPSCAFile,
        &FTPSFingerprint,
        &Protocol,
        &SFTPHostKey,
        &SFTPKeyFile,
        &SFTPKeyPassword,
        &NetTimeOut,
        &WinXPFirewall,
        &CNC102,
        &AllowStartAuto,
        &AllowReceive,
        &AllowSend,
        &TimeInterval,
        &MetricsFile,
        &LocalInPath,
        &LocalOutPath,
        &LocalBackupPath,
        &LocalErrPath,
        &LocalExPath,
        &RemoteInPath,
        &RemoteOutPath,
        &RemoteExPath,
        &ProgramRunBefore,
        &ParameterRunBefore,
        &RunBefore,
        &ExclusiveRunBefore,
        &ProgramRunAfter,
        &ParameterRunAfter,
        &RunAfter,
        &ExclusiveRunAfter,
        &Language,
        &LanguageFile,
        &VersionNumber,
        &LogStep,
        &Message,
        &AutoUpgrade,
        &Expert,
        &NotifyFilesReceived,
        &NotifyCycleFailed,
        &StatusBar,
        &DebugView,
        &ProxyType,
        &ProxyAuthentication,
        &ProxyHost,
        &ProxyPort,
        &ProxyUserID,
        &ProxyPassword,
        &LogTimeOut,
        &KVTimeOut,
        &MustReBoot,
        &EnableOstrel,
        &DefaultInternet,
        &DefaultInterport,
        &DefaultLAN,
        &DefaultLANport,
    };
    return all;
}

std::string ReadSetting(const IniFile& ini, const SettingKey& key) {
    return ini.ReadString(std::string(key.section), key.Name());
}

bool FlagOn(const SettingKey& key, const std::string& text) {
    switch (key.kind) {
    case ValueKind::FlagUnlessOff:
        return text != "0";
    case ValueKind::FlagWhenSet: {
        const std::string t = Trim(text);
        return !t.empty() && t != "0";
    }
    default:
        return text == "1";
    }
}

bool ReadFlag(const IniFile& ini, const SettingKey& key) {
    return FlagOn(key, ReadSetting(ini, key));
}

int32_t ReadSettingInteger(const IniFile& ini, const SettingKey& key) {
    return ini.ReadInteger(std::string(key.section), key.Name(), 0);
}

std::string ReadSettingOrAbsent(const IniFile& ini, const SettingKey& key) {
    std::string value = ReadSetting(ini, key);
    return value.empty() ? std::string(key.absent) : value;
}

void WriteSetting(IniFile& ini, const SettingKey& key, const std::string& value) {
    ini.WriteString(std::string(key.section), key.Name(), value);
}

void WriteFlag(IniFile& ini, const SettingKey& key, bool on) {
    WriteSetting(ini, key, FlagText(on));
}

IniFile::Value SettingValue(const SettingKey& key, std::string value) {
    return {std::string(key.section), key.Name(), std::move(value)};
}

IniFile::Value FlagValue(const SettingKey& key, bool on) {
    return SettingValue(key, FlagText(on));
}

} // namespace kv
