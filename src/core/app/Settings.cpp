#include "app/Settings.h"

#include "app/AppState.h"
#include "config/SettingsSnapshot.h"
#include "config/SettingsWriter.h"
#include "config/WnDes.h"
#include "logging/Logs.h"
#include "util/Text.h"

namespace kv {

bool Settings::BinaryTransfer() const {
    return UpperCase(TransferType) == "BIN";
}

bool Settings::Sftp() const {
    return UpperCase(Trim(Protocol)) == "SFTP";
}

namespace {

// The connection fields and the two switches, field by field, so a
// conversion failure leaves the later fields as they were.
void LoadConnection(AppState& state, const SettingsSnapshot& file) {
    Settings& s = state.settings;
    s.Host = file.Text(keys::Host);
    s.Protocol = file.Text(keys::Protocol);
    // An SFTP mailbox without a port is on SSH's own.
    s.Port = s.Sftp() && file.Text(keys::Port).empty()
                 ? 22
                 : static_cast<int32_t>(file.Number(keys::Port));
    s.UserID = file.Text(keys::UserID);
    s.Password = DecryptFromHex(file.Text(keys::Password), kPasswordKey);
    s.TransferType = file.Text(keys::TransferType);
    s.FileSender = file.Text(keys::FileSender);
    s.Passive = file.Flag(keys::Passive);
    s.CNC102 = file.Flag(keys::CNC102);
    s.WinXPFirewall = file.Flag(keys::WinXPFirewall);
    state.AllowStartAuto = file.Flag(keys::AllowStartAuto);
    state.MessageBoxesAllowed = file.Flag(keys::Message);
    s.FTPS = file.Flag(keys::FTPS);
    s.FTPSCAFile = file.Text(keys::FTPSCAFile);
    s.FTPSFingerprint = file.Text(keys::FTPSFingerprint);
    s.SFTPHostKey = file.Text(keys::SFTPHostKey);
    s.SFTPKeyFile = file.Text(keys::SFTPKeyFile);
    s.SFTPKeyPassword = DecryptFromHex(file.Text(keys::SFTPKeyPassword), kPasswordKey);
    s.TimeInterval = file.Text(keys::TimeInterval);
    s.LogTimeOut = file.Text(keys::LogTimeOut);
    s.KVTimeOut = file.Text(keys::KVTimeOut);
}

// The proxy fields; an absent ProxyType reads as the table's absent values.
void LoadProxy(Settings& s, const SettingsSnapshot& file) {
    const int64_t type = file.Number(keys::ProxyType);
    s.ProxyType = (type >= 1 && type <= 3) ? static_cast<int32_t>(type) : 0;
    if (s.ProxyType != 0)
        s.Passive = true;
    s.ProxyAuthentication = file.Flag(keys::ProxyAuthentication) ? 1 : 0;
    s.ProxyHost = file.Text(keys::ProxyHost);
    s.ProxyPort = static_cast<int32_t>(file.Number(keys::ProxyPort));
    s.ProxyUserID = file.Text(keys::ProxyUserID);
    s.ProxyPassword = DecryptFromHex(file.Text(keys::ProxyPassword), kPasswordKey);
}

} // namespace

void ReadSettings(AppState& state) {
    LogBracket logs(state);
    SettingsSnapshot file = SettingsSnapshot::Read(state.IniPath);
    LoadConnection(state, file);
    if (file.Text(keys::ProxyType).empty()) {
        // In one write: a crash between them would leave a Port that never
        // reads as a number, and the program could not start again.
        std::vector<IniFile::Value> defaults;
        for (const SettingKey* key :
             {&keys::ProxyType, &keys::ProxyAuthentication, &keys::ProxyHost, &keys::ProxyPort,
              &keys::ProxyUserID, &keys::ProxyPassword})
            defaults.push_back(SettingValue(*key, std::string(key->absent)));
        SettingsWriter(state.IniPath).Write(defaults);
        file = SettingsSnapshot::Read(state.IniPath);
    }
    LoadProxy(state.settings, file);
    WriteSysLogOnly(state, InfoLine(state, "Read Configuration From INI File."));
}

void LoadSettings(AppState& state, const SettingsSnapshot& file) {
    LoadConnection(state, file);
    LoadProxy(state.settings, file);
}

} // namespace kv
