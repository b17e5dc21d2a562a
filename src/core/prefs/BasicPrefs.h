#pragma once
// Basic Preferences (window "FormBasSet", class TFormBasSet): the network type
// with the server's host and port, the FTP user and password, the four local
// working folders, the file sender and the SOCKS proxy. Reads the settings
// file when created and writes it on OK only.
//
// Controls, in layout and tab order (object name: kind; settings key):
//   RadioButton1          radio "Internet"        Options/NetType = "Internet"
//   RadioButton2          radio "LAN or Dial-Up"  Options/NetType = "LAN"
//   RadioButton3          radio "Custom"          Options/NetType = "Custom"
//   Edit_HostAdress       edit (Lbl_HostAdress "Host")         Options/Host
//   Edit_Port             edit, digits, 5 (Lbl_Port "Port")    Options/Port
//   Edit_UID              edit (Lbl_UID "User Name")           Options/UserID
//   Edit_PWD              password edit (Lbl_PWD "Password")   Options/Password, enciphered
//   ComboBoxProtocol      list "FTP", "SFTP" (Lbl_Protocol "Protocol", right of the
//                         user name)                           Options/Protocol
//   Edit_HostKey          edit, enabled for SFTP only (Lbl_HostKey "Host Key",
//                         right of the password)               Options/SFTPHostKey
//   Edit_LocalInPath      read-only edit (Lbl_LocalIN "Local Inbox Folder")  Options/LocalInPath
//   Btn_SelectDir1        "..." folder picker for Edit_LocalInPath
//   Edit_LocalOutPath     read-only edit (Lbl_LocalOUT "Local Outbox Folder") Options/LocalOutPath
//   Btn_SelectDir2        "..." folder picker for Edit_LocalOutPath
//   Edit_LocalBackupPath  read-only edit (Lbl_Backup "Local Backup Folder") Options/LocalBackupPath
//   Btn_SelectDir3        "..." folder picker for Edit_LocalBackupPath
//   Edit_LocalErrorPath   read-only edit (Lbl_Error "Local Error Folder")   Options/LocalErrPath
//   Btn_SelectDir4        "..." folder picker for Edit_LocalErrorPath
//   CheckSender           check "Sender Same As UserName" (derived, not stored)
//   Edit_FileSender       edit, upper case (Lbl_FileSender "File Sender") Options/FileSender
//   ComboBoxProxy         list "No Proxy", "Socks4", "Socks4A", "Socks5" (Lbl_Proxy
//                         "Proxy Type")                        Proxy/ProxyType = index
//   CheckRequired         check "Authentication Required"      Proxy/Authentication
//   Edit_ProxyHost        edit (Lbl_ProxyHost "Proxy Server")  Proxy/Host
//   Edit_ProxyPort        edit, digits, 5 (Lbl_ProxyPort "Proxy Port") Proxy/Port
//   Edit_ProxyUID         edit (Lbl_ProxyUID "User Name")      Proxy/UserID
//   Edit_ProxyPWD         password edit (Lbl_ProxyPWD "Password") Proxy/Password, enciphered
//   Btn_Proxy             button "Proxy Settings <<": ToggleProxyPart()
//   Btn_OK                "&OK": Ok()
//   Btn_Cancel            "&Cancel", default and cancel button: close
// Labels end in a full-width colon (U+FF1A); Panel1 (480 px) holds the
// controls, the proxy part lies below a line at 336 px.
//
// A stored password that is not hex text opens the dialog read-only with
// "Error: not a Hex String" (the box of that password stays empty).
#include "prefs/DialogModel.h"

namespace kv {

class BasicPrefsModel : public DialogModel {
public:
    static constexpr const char* kWindowName = "FormBasSet";

    // How much the proxy part adds to the dialog's and Panel1's height, and
    // moves Btn_Proxy, Btn_OK and Btn_Cancel down, when it is shown.
    static constexpr int kProxyPartHeight = 150;

    BasicPrefsModel(std::string iniPath, std::string packPath);

    // The proxy part starts hidden (the dialog's show handler collapses it).
    bool ProxyPartShown() const { return proxyShown_; }
    // Btn_Proxy's click: shows or hides the proxy part.
    void ToggleProxyPart() { proxyShown_ = !proxyShown_; }
    // Btn_Proxy's caption: the given caption (the form's "Proxy Settings <<"
    // or the pack's) with its last two characters replaced by "<<" while the
    // part is shown and by ">>" while it is hidden.
    std::string ProxyButtonCaption(const std::string& caption) const;

    bool Ok() override;

protected:
    void OnTextChanged(const std::string& name) override;
    void OnClick(const std::string& name) override;
    void OnSelect(const std::string& name) override;

private:
    void Load();
    std::string Decipher(const SettingKey& key);
    void ApplyProtocol();
    void ApplyProxyType();
    void SenderFollowsUser();

    bool proxyShown_ = false;
};

} // namespace kv
