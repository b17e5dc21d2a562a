// Basic Preferences: creation from the settings file, the network type, the
// sender that follows the user name, the proxy controls, and OK.
#include "prefs/BasicPrefs.h"

#include "app/Settings.h"
#include "config/WnDes.h"
#include "util/Errors.h"
#include "util/Text.h"

namespace kv {

namespace {

constexpr std::initializer_list<const char*> kProxyControls = {
    "CheckRequired", "Edit_ProxyHost", "Edit_ProxyPort", "Edit_ProxyUID", "Edit_ProxyPWD"};

} // namespace

BasicPrefsModel::BasicPrefsModel(std::string iniPath, std::string packPath)
    : DialogModel(std::move(iniPath), std::move(packPath)) {
    for (const char* n : {"RadioButton1", "RadioButton2", "RadioButton3"})
        Add(n, ControlKind::RadioButton);
    AddRadioGroup({"RadioButton1", "RadioButton2", "RadioButton3"});
    AddEdit("Edit_HostAdress");
    AddDigitsEdit("Edit_Port", 5, "21");
    AddEdit("Edit_UID");
    AddEdit("Edit_PWD").password = true;
    Add("ComboBoxProtocol", ControlKind::ComboBox).items = {"FTP", "SFTP"};
    AddEdit("Edit_HostKey");
    const char* folders[][2] = {{"Edit_LocalInPath", "Btn_SelectDir1"},
                                {"Edit_LocalOutPath", "Btn_SelectDir2"},
                                {"Edit_LocalBackupPath", "Btn_SelectDir3"},
                                {"Edit_LocalErrorPath", "Btn_SelectDir4"}};
    for (auto& f : folders) {
        AddEdit(f[0]).typable = false;
        AddPicker(f[1], PickerKind::Folder, f[0]);
    }
    Add("CheckSender", ControlKind::CheckBox);
    AddEdit("Edit_FileSender").upperCase = true;
    Add("ComboBoxProxy", ControlKind::ComboBox).items = {"No Proxy", "Socks4", "Socks4A", "Socks5"};
    Add("CheckRequired", ControlKind::CheckBox);
    AddEdit("Edit_ProxyHost");
    AddDigitsEdit("Edit_ProxyPort", 5, "0");
    AddEdit("Edit_ProxyUID");
    AddEdit("Edit_ProxyPWD").password = true;
    Add("Btn_Proxy", ControlKind::Button);
    Add("Btn_OK", ControlKind::Button);
    Add("Btn_Cancel", ControlKind::Button);
    Load();
    FinishLoading();
}

std::string BasicPrefsModel::Decipher(const SettingKey& key) {
    try {
        return DecryptFromHex(Read(key), kPasswordKey);
    } catch (const CipherError& e) {
        EnterReadOnly(e.what(), key);
        return {};
    }
}

void BasicPrefsModel::Load() {
    Fill("Edit_HostAdress", Read(keys::Host));
    Fill("Edit_Port", Read(keys::Port));
    Fill("Edit_UID", Read(keys::UserID));
    Fill("Edit_PWD", Decipher(keys::Password));
    At("ComboBoxProtocol").index = UpperCase(Trim(Read(keys::Protocol))) == "SFTP" ? 1 : 0;
    Fill("Edit_HostKey", Read(keys::SFTPHostKey));
    ApplyProtocol();
    Fill("Edit_LocalInPath", Read(keys::LocalInPath));
    Fill("Edit_LocalOutPath", Read(keys::LocalOutPath));
    Fill("Edit_LocalBackupPath", Read(keys::LocalBackupPath));
    Fill("Edit_LocalErrorPath", Read(keys::LocalErrPath));

    std::string netType = UpperCase(Read(keys::NetType));
    if (netType == "INTERNET" || netType == "LAN") {
        Check(netType == "LAN" ? "RadioButton2" : "RadioButton1", true);
        SetEnabled({"Edit_HostAdress", "Edit_Port"}, false);
    } else if (netType == "CUSTOM") {
        Check("RadioButton3", true);
        SetEnabled({"Edit_HostAdress", "Edit_Port"}, true);
    }

    Fill("Edit_FileSender", Read(keys::FileSender));
    if (UpperCase(Text("Edit_FileSender")) == UpperCase(Text("Edit_UID")))
        Check("CheckSender", true);

    const int64_t proxyType = file_.Number(keys::ProxyType);
    At("ComboBoxProxy").index = proxyType >= 1 && proxyType <= 3 ? static_cast<int>(proxyType) : 0;
    ApplyProxyType();
    At("CheckRequired").checked = ReadOn(keys::ProxyAuthentication);
    Fill("Edit_ProxyHost", Read(keys::ProxyHost));
    Fill("Edit_ProxyPort", Read(keys::ProxyPort));
    Fill("Edit_ProxyUID", Read(keys::ProxyUserID));
    Fill("Edit_ProxyPWD", Decipher(keys::ProxyPassword));
}

void BasicPrefsModel::ApplyProtocol() {
    // Only an SFTP server has a host key to pin.
    SetEnabled({"Edit_HostKey"}, Index("ComboBoxProtocol") == 1);
}

void BasicPrefsModel::ApplyProxyType() {
    SetEnabled(kProxyControls, Index("ComboBoxProxy") != 0);
}

void BasicPrefsModel::SenderFollowsUser() {
    if (Checked("CheckSender"))
        Fill("Edit_FileSender", UpperCase(Text("Edit_UID")));
}

void BasicPrefsModel::OnTextChanged(const std::string& name) {
    if (name == "Edit_UID" || name == "Edit_ProxyUID")
        SenderFollowsUser();
}

void BasicPrefsModel::OnClick(const std::string& name) {
    if (name == "RadioButton1" && Checked(name)) {
        Fill("Edit_HostAdress", Read(keys::DefaultInternet));
        Fill("Edit_Port", Read(keys::DefaultInterport));
        SetEnabled({"Edit_HostAdress", "Edit_Port"}, false);
    } else if (name == "RadioButton2" && Checked(name)) {
        Fill("Edit_HostAdress", Read(keys::DefaultLAN));
        Fill("Edit_Port", Read(keys::DefaultLANport));
        SetEnabled({"Edit_HostAdress", "Edit_Port"}, false);
    } else if (name == "RadioButton3" && Checked(name)) {
        Fill("Edit_HostAdress", Read(keys::Host));
        Fill("Edit_Port", Read(keys::Port));
        SetEnabled({"Edit_HostAdress", "Edit_Port"}, true);
    } else if (name == "CheckSender") {
        SenderFollowsUser();
        At("Edit_FileSender").enabled = !Checked(name);
    }
}

void BasicPrefsModel::OnSelect(const std::string& name) {
    if (name == "ComboBoxProxy")
        ApplyProxyType();
    else if (name == "ComboBoxProtocol")
        ApplyProtocol();
}

std::string BasicPrefsModel::ProxyButtonCaption(const std::string& caption) const {
    std::string base = caption.substr(0, caption.size() >= 2 ? caption.size() - 2 : 0);
    return base + (proxyShown_ ? "<<" : ">>");
}

bool BasicPrefsModel::Ok() {
    if (ReadOnly())
        return false;
    std::string password, proxyPassword;
    try {
        password = EncryptToHex(Text("Edit_PWD"), kPasswordKey);
        proxyPassword = EncryptToHex(Text("Edit_ProxyPWD"), kPasswordKey);
    } catch (const CipherError& e) {
        Say("", std::string(e.what()) + "\nRemove the last character of the password.");
        return false;
    }
    std::vector<IniFile::Value> values = {
        SettingValue(keys::Host, Text("Edit_HostAdress")),
        SettingValue(keys::Port, Text("Edit_Port")),
        SettingValue(keys::UserID, Text("Edit_UID")),
        SettingValue(keys::Password, password),
        SettingValue(keys::LocalInPath, Text("Edit_LocalInPath")),
        SettingValue(keys::LocalOutPath, Text("Edit_LocalOutPath")),
        SettingValue(keys::LocalBackupPath, Text("Edit_LocalBackupPath")),
        SettingValue(keys::LocalErrPath, Text("Edit_LocalErrorPath")),
    };
    // An FTP mailbox's file stays as it was: the SFTP keys are written only
    // when SFTP is chosen or the file has them already.
    const bool sftp = Index("ComboBoxProtocol") == 1;
    if (sftp || !Read(keys::Protocol).empty())
        values.push_back(SettingValue(keys::Protocol, sftp ? "SFTP" : "FTP"));
    const std::string hostKey = Trim(Text("Edit_HostKey"));
    if (!hostKey.empty() || !Read(keys::SFTPHostKey).empty())
        values.push_back(SettingValue(keys::SFTPHostKey, hostKey));
    if (Checked("RadioButton1"))
        values.push_back(SettingValue(keys::NetType, "Internet"));
    else if (Checked("RadioButton2"))
        values.push_back(SettingValue(keys::NetType, "LAN"));
    else if (Checked("RadioButton3"))
        values.push_back(SettingValue(keys::NetType, "Custom"));
    values.push_back(SettingValue(keys::FileSender, Text("Edit_FileSender")));
    values.push_back(SettingValue(keys::ProxyType, IntToStr(Index("ComboBoxProxy"))));
    values.push_back(FlagValue(keys::ProxyAuthentication, Checked("CheckRequired")));
    values.push_back(SettingValue(keys::ProxyHost, Text("Edit_ProxyHost")));
    values.push_back(SettingValue(keys::ProxyPort, Text("Edit_ProxyPort")));
    values.push_back(SettingValue(keys::ProxyUserID, Text("Edit_ProxyUID")));
    values.push_back(SettingValue(keys::ProxyPassword, proxyPassword));
    return Store(values);
}

} // namespace kv
