#include "app/Settings.h"

#include "app/AppState.h"
#include "config/IniFile.h"
#include "config/SettingsKeys.h"
#include "config/WnDes.h"
#include "logging/Logs.h"
#include "util/Errors.h"
#include "util/Text.h"

namespace kv {

bool Settings::BinaryTransfer() const {
    return UpperCase(TransferType) == "BIN";
}

bool Settings::Sftp() const {
    return UpperCase(Trim(Protocol)) == "SFTP";
}

namespace {

// A bad number names its key: "Options/Port: 'x' is not a valid integer value".
int32_t IntegerSetting(const IniFile& ini, const SettingKey& key) {
    std::string value = ReadSetting(ini, key);
    try {
        return StrToInt(value);
    } catch (const ConversionError& e) {
        throw ConversionError(value, key.Path());
    }
}

} // namespace

void ReadSettings(AppState& state) {
    LogBracket logs(state);
    IniFile ini(state.IniPath);
    Settings& s = state.settings;

    // Field by field, so a conversion failure leaves the later fields as they were.
    s.Host = ReadSetting(ini, keys::Host);
    s.Protocol = ReadSetting(ini, keys::Protocol);
    // An SFTP mailbox without a port is on SSH's own.
    s.Port = s.Sftp() && Trim(ReadSetting(ini, keys::Port)).empty()
                 ? 22
                 : IntegerSetting(ini, keys::Port);
    s.UserID = ReadSetting(ini, keys::UserID);
    s.Password = DecryptFromHex(ReadSetting(ini, keys::Password), kPasswordKey);
    s.TransferType = ReadSetting(ini, keys::TransferType);
    s.FileSender = ReadSetting(ini, keys::FileSender);
    s.Passive = ReadFlag(ini, keys::Passive);
    s.CNC102 = ReadFlag(ini, keys::CNC102);
    s.WinXPFirewall = ReadFlag(ini, keys::WinXPFirewall);
    state.AllowStartAuto = ReadFlag(ini, keys::AllowStartAuto);
    state.MessageBoxesAllowed = ReadFlag(ini, keys::Message);
    s.FTPS = ReadFlag(ini, keys::FTPS);
    s.FTPSCAFile = ReadSetting(ini, keys::FTPSCAFile);
    s.FTPSFingerprint = ReadSetting(ini, keys::FTPSFingerprint);
    s.SFTPHostKey = ReadSetting(ini, keys::SFTPHostKey);
    s.SFTPKeyFile = ReadSetting(ini, keys::SFTPKeyFile);
    s.SFTPKeyPassword = DecryptFromHex(ReadSetting(ini, keys::SFTPKeyPassword), kPasswordKey);
    s.TimeInterval = ReadSetting(ini, keys::TimeInterval);
    s.LogTimeOut = ReadSetting(ini, keys::LogTimeOut);
    s.KVTimeOut = ReadSetting(ini, keys::KVTimeOut);

    if (ReadSetting(ini, keys::ProxyType).empty()) {
        // In one write: a crash between them would leave a Port that never
        // reads as a number, and the program could not start again.
        std::vector<IniFile::Value> defaults;
        for (const SettingKey* key :
             {&keys::ProxyType, &keys::ProxyAuthentication, &keys::ProxyHost, &keys::ProxyPort,
              &keys::ProxyUserID, &keys::ProxyPassword})
            defaults.push_back(SettingValue(*key, std::string(key->absent)));
        ini.WriteStrings(defaults);
    }
    int32_t type = ReadSettingInteger(ini, keys::ProxyType);
    s.ProxyType = (type >= 1 && type <= 3) ? type : 0;
    if (s.ProxyType != 0)
        s.Passive = true;
    s.ProxyAuthentication = ReadFlag(ini, keys::ProxyAuthentication) ? 1 : 0;
    s.ProxyHost = ReadSetting(ini, keys::ProxyHost);
    s.ProxyPort = IntegerSetting(ini, keys::ProxyPort);
    s.ProxyUserID = ReadSetting(ini, keys::ProxyUserID);
    s.ProxyPassword = DecryptFromHex(ReadSetting(ini, keys::ProxyPassword), kPasswordKey);

    WriteSysLogOnly(state, InfoLine(state, "Read Configuration From INI File."));
}

} // namespace kv
