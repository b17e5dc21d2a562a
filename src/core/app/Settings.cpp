#include "app/Settings.h"

#include "app/AppState.h"
#include "config/IniFile.h"
#include "config/WnDes.h"
#include "logging/Logs.h"
#include "util/Errors.h"
#include "util/Text.h"

namespace kv {

bool Settings::BinaryTransfer() const {
    return UpperCase(TransferType) == "BIN";
}

namespace {

// A bad number names its key: "Options/Port: 'x' is not a valid integer value".
int32_t IntegerSetting(const IniFile& ini, const char* section, const char* key) {
    std::string value = ini.ReadString(section, key);
    try {
        return StrToInt(value);
    } catch (const ConversionError& e) {
        throw ConversionError(value, std::string(section) + "/" + key);
    }
}

} // namespace

void ReadSettings(AppState& state) {
    LogBracket logs(state);
    IniFile ini(state.IniPath);
    Settings& s = state.settings;
    auto flag = [&](const char* section, const char* key) {
        return ini.ReadString(section, key) == "1";
    };

    // Field by field, so a conversion failure leaves the later fields as they were.
    s.Host = ini.ReadString("Options", "Host");
    s.Port = IntegerSetting(ini, "Options", "Port");
    s.UserID = ini.ReadString("Options", "UserID");
    s.Password = DecryptFromHex(ini.ReadString("Options", "Password"), kPasswordKey);
    s.TransferType = ini.ReadString("Options", "TransferType");
    s.FileSender = ini.ReadString("Options", "FileSender");
    s.Passive = flag("Options", "Passive");
    s.CNC102 = flag("Options", "CNC102");
    s.WinXPFirewall = flag("Options", "WinXPFirewall");
    state.AllowStartAuto = flag("Options", "AllowStartAuto");
    state.MessageBoxesAllowed = flag("System", "Message");
    const std::string ftps = Trim(ini.ReadString("Options", "FTPS"));
    s.FTPS = !ftps.empty() && ftps != "0";
    s.FTPSCAFile = ini.ReadString("Options", "FTPSCAFile");
    s.FTPSFingerprint = ini.ReadString("Options", "FTPSFingerprint");
    s.TimeInterval = ini.ReadString("Options", "TimeInterval");
    s.LogTimeOut = ini.ReadString("KVTray", "LogTimeOut");
    s.KVTimeOut = ini.ReadString("KVTray", "KVTimeOut");

    if (ini.ReadString("Proxy", "ProxyType").empty()) {
        // In one write: a crash between them would leave a Port that never
        // reads as a number, and the program could not start again.
        ini.WriteStrings({{"Proxy", "ProxyType", "0"},
                          {"Proxy", "Authentication", "0"},
                          {"Proxy", "Host", ""},
                          {"Proxy", "Port", "0"},
                          {"Proxy", "UserID", ""},
                          {"Proxy", "Password", ""}});
    }
    int32_t type = ini.ReadInteger("Proxy", "ProxyType", 0);
    s.ProxyType = (type >= 1 && type <= 3) ? type : 0;
    if (s.ProxyType != 0)
        s.Passive = true;
    s.ProxyAuthentication = flag("Proxy", "Authentication") ? 1 : 0;
    s.ProxyHost = ini.ReadString("Proxy", "Host");
    s.ProxyPort = IntegerSetting(ini, "Proxy", "Port");
    s.ProxyUserID = ini.ReadString("Proxy", "UserID");
    s.ProxyPassword = DecryptFromHex(ini.ReadString("Proxy", "Password"), kPasswordKey);

    WriteSysLogOnly(state, InfoLine(state, "Read Configuration From INI File."));
}

} // namespace kv
