#pragma once
// Advance Preferences (window "FormAdvSet", class TFormAdvSet): the remote
// folders, the CNC102 send path, the automatic-mode interval and the tray
// monitor's time-outs, the automatic-mode permissions, passive FTP, the
// firewall option, the log step, the transfer mode, the window's desktop
// notifications (both on unless switched off) and the service box.
//
// Creation corrects the three time values and writes each correction at once
// (also when the dialog is then cancelled): an empty or below-1 Time Interval
// becomes 10, an empty Log File TimeOut 30 and one below twice the interval
// three times the interval, an empty monitor time-out 120 and one below twice
// the log time-out four times it. Leaving a time box corrects it to twice the
// value before it (f05, f06, f07 messages); OK does the same silently.
//
// Controls, in layout and tab order (object name: kind; settings key):
//   Edit_RemoteInPath   read-only edit (Lbl_RemoteIN "Remote In Folder")   Options/RemoteInPath
//   Edit_RemoteOutPath  read-only edit (Lbl_RemoteOUT "Remote Out Folder") Options/RemoteOutPath
//   CheckCNC102         check "CNC102"                                     Options/CNC102
//   Edit_RemoteExPath   read-only edit (Lbl_RemoteEx "Remote Special Folder") Options/RemoteExPath
//   Edit_LocalExPath    read-only edit (Lbl_LocalEx "Local Special Folder")   Options/LocalExPath
//   Btn_SelectDir1      "..." folder picker for Edit_LocalExPath
//   Edit_TimeInterval   edit, digits, 3 (Lbl_Time1 "Time Interval", Lbl_Minutes1 "Minutes",
//                       Lbl_Only "(Enable Only When Auto Mode)")        Options/TimeInterval
//   CheckAllow          check "Allow to Start Auto"                     Options/AllowStartAuto
//   CheckReceive        check "Allow to Receive"                        Options/AllowReceive
//   CheckSend           check "Allow to Send"                           Options/AllowSend
//   CheckPassive        check "FTP Passive"                             Options/Passive
//   CheckFirewall       check "Close WinXP Firewall When Connected!"    Options/WinXPFirewall
//   RadioButton1        radio "Every Month" on Panel2 (Lbl_Step "Log Step") System/LogStep =
//   "Month" RadioButton2        radio "Every Day" on Panel2                     System/LogStep =
//   "Day" RadioButton3        radio "ASCII" on Panel3 (Lbl_Mode "Transfer Mode")
//   Options/TransferType RadioButton4        radio "BIN" on Panel3 Options/TransferType
//   Edit_LogTimeOut     edit, digits, 3, in GroupBox1 "Monitor" (Lbl_Time2 "Log File TimeOut:",
//                       Lbl_Minutes2 "Minutes")                         KVTray/LogTimeOut
//   Edit_KVTimeOut      edit, digits, 3, in GroupBox1 (Lbl_Time3 "KV Monitor TimeOut:",
//                       Lbl_Minutes3 "Minutes")                         KVTray/KVTimeOut
//   CheckNotifyReceived check "Notify When Files Arrive"                System/NotifyFilesReceived
//   CheckNotifyFailed   check "Notify When a Cycle Fails"               System/NotifyCycleFailed
//   CheckService        check "Install Service"                         Ostrel/EnableOstrel
//   Btn_OK              "&OK": Ok()
//   Btn_Cancel          "&Cancel", default and cancel button: close
// Labels end in a full-width colon (U+FF1A) after the text given.
//
// CheckService: ticking it installs and enables the companion service of the
// program folder (ServiceSwitch::Install) and then writes Ostrel/EnableOstrel
// "1" at once and says "f04"; when it cannot, it says "f03" and why, and the
// box stays unticked with nothing written. Unticking stops and removes the
// service and then writes "0" at once; when it cannot, it says why and the
// box stays ticked. Without a ServiceSwitch the service cannot be installed.
//
// A stored time value that is not a decimal integer opens the dialog
// read-only with "'<value>' is not a valid integer value".
#include "prefs/DialogModel.h"

#include <memory>

namespace kv {

// The companion service of the program folder, as the service box drives it.
class ServiceSwitch {
public:
    virtual ~ServiceSwitch() = default;
    // Installs and enables it: "" when done, else why not and what to do
    // (nothing was changed).
    virtual std::string Install() = 0;
    // Stops and removes it: "" when done (also when nothing was installed),
    // else why not (it stays installed).
    virtual std::string Remove() = 0;
};

class AdvancePrefsModel : public DialogModel {
public:
    static constexpr const char* kWindowName = "FormAdvSet";

    AdvancePrefsModel(std::string iniPath, std::string packPath,
                      std::unique_ptr<ServiceSwitch> service = nullptr);

    // The exit handlers of the three time boxes.
    void Leave(const std::string& name) override;
    bool Ok() override;

protected:
    void OnTextChanged(const std::string& name) override;
    void OnClick(const std::string& name) override;

private:
    void Load();
    bool LoadTimeValues();
    // Reads a time box at creation: the key's absent value (written) when
    // empty, else its integer; false when it is not one.
    bool LoadTime(const char* box, const SettingKey& key, int& value);
    // A time that must be at least twice the one before it: below that it
    // becomes factor times that one, written at once.
    bool LoadLaterTime(const char* box, const SettingKey& key, int previous, int factor,
                       int& value);
    // Writes one value at once; false (with a message) when the file could
    // not be replaced.
    bool WriteNow(const SettingKey& key, const std::string& value);
    void RaiseToMinimum(const char* box, int& value, int minimum, const char* code,
                        const char* fallback);
    void ApplyCnc102();
    void ApplyAllow();
    void ServiceBoxClicked();

    std::unique_ptr<ServiceSwitch> service_;
    bool loading_ = true;
    int timeInterval_ = 0;
    int logTimeOut_ = 0;
    int kvTimeOut_ = 0;
    // Time boxes typed in since they were last left.
    std::vector<std::string> edited_;
};

} // namespace kv
