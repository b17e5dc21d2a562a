// Advance Preferences: creation with the time corrections, the time boxes'
// exit rules, the check boxes, the service box, and OK.
#include "prefs/AdvancePrefs.h"

#include "util/Errors.h"
#include "util/Text.h"

#include <algorithm>
#include <climits>

namespace kv {

namespace {

constexpr const char* kTimeInterval = "Edit_TimeInterval";
constexpr const char* kLogTimeOut = "Edit_LogTimeOut";
constexpr const char* kKVTimeOut = "Edit_KVTimeOut";

// A time box's value as the exit handlers take it: 0 when empty.
int BoxValue(const std::string& text) {
    if (text.empty())
        return 0;
    auto v = TryStrToInt64(text);
    if (!v)
        return 0;
    return static_cast<int>(std::min<int64_t>(std::max<int64_t>(*v, INT_MIN), INT_MAX));
}

int Twice(int v) {
    return static_cast<int>(std::min<int64_t>(2LL * v, INT_MAX));
}

int Times(int v, int n) {
    return static_cast<int>(std::min<int64_t>(static_cast<int64_t>(n) * v, INT_MAX));
}

} // namespace

AdvancePrefsModel::AdvancePrefsModel(std::string iniPath, std::string packPath,
                                     std::unique_ptr<ServiceSwitch> service)
    : DialogModel(std::move(iniPath), std::move(packPath)), service_(std::move(service)) {
    AddEdit("Edit_RemoteInPath").typable = false;
    AddEdit("Edit_RemoteOutPath").typable = false;
    Add("CheckCNC102", ControlKind::CheckBox);
    AddEdit("Edit_RemoteExPath").typable = false;
    AddEdit("Edit_LocalExPath").typable = false;
    AddPicker("Btn_SelectDir1", PickerKind::Folder, "Edit_LocalExPath");
    AddDigitsEdit(kTimeInterval, 3);
    Add("CheckAllow", ControlKind::CheckBox);
    Add("CheckReceive", ControlKind::CheckBox).checked = true;
    Add("CheckSend", ControlKind::CheckBox).checked = true;
    Add("CheckPassive", ControlKind::CheckBox);
    Add("CheckFirewall", ControlKind::CheckBox);
    Add("RadioButton1", ControlKind::RadioButton).checked = true;
    Add("RadioButton2", ControlKind::RadioButton);
    AddRadioGroup({"RadioButton1", "RadioButton2"});
    Add("RadioButton3", ControlKind::RadioButton).checked = true;
    Add("RadioButton4", ControlKind::RadioButton);
    AddRadioGroup({"RadioButton3", "RadioButton4"});
    AddDigitsEdit(kLogTimeOut, 3);
    AddDigitsEdit(kKVTimeOut, 3);
    Add("CheckNotifyReceived", ControlKind::CheckBox).checked = true;
    Add("CheckNotifyFailed", ControlKind::CheckBox).checked = true;
    Add("CheckService", ControlKind::CheckBox);
    Add("Btn_OK", ControlKind::Button);
    Add("Btn_Cancel", ControlKind::Button);
    Load();
    loading_ = false;
    FinishLoading();
}

bool AdvancePrefsModel::WriteNow(const SettingKey& key, const std::string& value) {
    return Store({SettingValue(key, value)});
}

bool AdvancePrefsModel::LoadTime(const char* box, const SettingKey& key, int& value) {
    const std::string& text = Text(box);
    if (text.empty()) {
        value = StrToInt(std::string(key.absent));
        WriteNow(key, IntToStr(value));
        return true;
    }
    try {
        value = StrToInt(text);
        return true;
    } catch (const ConversionError& e) {
        EnterReadOnly(e.what(), key);
        return false;
    }
}

bool AdvancePrefsModel::LoadTimeValues() {
    if (!LoadTime(kTimeInterval, keys::TimeInterval, timeInterval_))
        return false;
    if (timeInterval_ < 1) {
        timeInterval_ = StrToInt(std::string(keys::TimeInterval.absent));
        WriteNow(keys::TimeInterval, IntToStr(timeInterval_));
    }
    Fill(kTimeInterval, IntToStr(timeInterval_));

    return LoadLaterTime(kLogTimeOut, keys::LogTimeOut, timeInterval_, 3, logTimeOut_) &&
           LoadLaterTime(kKVTimeOut, keys::KVTimeOut, logTimeOut_, 4, kvTimeOut_);
}

bool AdvancePrefsModel::LoadLaterTime(const char* box, const SettingKey& key, int previous,
                                      int factor, int& value) {
    if (!LoadTime(box, key, value))
        return false;
    if (value < Twice(previous)) {
        value = Times(previous, factor);
        WriteNow(key, IntToStr(value));
    }
    Fill(box, IntToStr(value));
    return true;
}

void AdvancePrefsModel::Load() {
    Fill("Edit_RemoteInPath", Read(keys::RemoteInPath));
    Fill("Edit_RemoteOutPath", Read(keys::RemoteOutPath));
    Fill("Edit_RemoteExPath", Read(keys::RemoteExPath));
    Fill("Edit_LocalExPath", Read(keys::LocalExPath));
    Fill(kTimeInterval, Read(keys::TimeInterval));
    Fill(kLogTimeOut, Read(keys::LogTimeOut));
    Fill(kKVTimeOut, Read(keys::KVTimeOut));
    // After a value that is not an integer nothing more is written; the
    // remaining controls are still filled so the read-only dialog shows them.
    LoadTimeValues();

    At("CheckCNC102").checked = ReadOn(keys::CNC102);
    ApplyCnc102();
    Check(Read(keys::LogStep) == "Day" ? "RadioButton2" : "RadioButton1", true);
    Check(UpperCase(Read(keys::TransferType)) == "BIN" ? "RadioButton4" : "RadioButton3", true);
    At("CheckFirewall").checked = ReadOn(keys::WinXPFirewall);
    At("CheckPassive").checked = ReadOn(keys::Passive);
    At("CheckReceive").checked = ReadOn(keys::AllowReceive);
    At("CheckSend").checked = ReadOn(keys::AllowSend);
    At("CheckAllow").checked = ReadOn(keys::AllowStartAuto);
    ApplyAllow();
    At("CheckNotifyReceived").checked = ReadOn(keys::NotifyFilesReceived);
    At("CheckNotifyFailed").checked = ReadOn(keys::NotifyCycleFailed);
    At("CheckService").checked = ReadOn(keys::EnableOstrel);
}

void AdvancePrefsModel::ApplyCnc102() {
    SetEnabled({"Edit_RemoteExPath", "Edit_LocalExPath", "Btn_SelectDir1"}, Checked("CheckCNC102"));
}

void AdvancePrefsModel::ApplyAllow() {
    SetEnabled({kTimeInterval, "CheckReceive", "CheckSend"}, Checked("CheckAllow"));
}

void AdvancePrefsModel::OnTextChanged(const std::string& name) {
    if (name == kTimeInterval || name == kLogTimeOut || name == kKVTimeOut) {
        if (std::find(edited_.begin(), edited_.end(), name) == edited_.end())
            edited_.push_back(name);
    }
}

void AdvancePrefsModel::RaiseToMinimum(const char* box, int& value, int minimum, const char* code,
                                       const char* fallback) {
    value = BoxValue(Text(box));
    if (value < minimum) {
        Say(code, PackText(code, fallback) + IntToStr(minimum) + " !");
        value = minimum;
    }
    Fill(box, IntToStr(value));
}

void AdvancePrefsModel::Leave(const std::string& name) {
    if (ReadOnly())
        return;
    std::erase(edited_, name);
    if (name == kTimeInterval) {
        timeInterval_ = BoxValue(Text(kTimeInterval));
        if (timeInterval_ < 1) {
            Say("f05", PackText("f05", "Time Interval must be at least 1 minute."));
            timeInterval_ = 1;
        }
        Fill(kTimeInterval, IntToStr(timeInterval_));
    } else if (name == kLogTimeOut) {
        RaiseToMinimum(kLogTimeOut, logTimeOut_, Twice(timeInterval_), "f06",
                       "Log File TimeOut must be at least ");
    } else if (name == kKVTimeOut) {
        RaiseToMinimum(kKVTimeOut, kvTimeOut_, Twice(logTimeOut_), "f07",
                       "Monitor TimeOut must be at least ");
    }
}

void AdvancePrefsModel::OnClick(const std::string& name) {
    if (name == "CheckCNC102") {
        ApplyCnc102();
    } else if (name == "CheckAllow") {
        ApplyAllow();
    } else if (name == "CheckService" && !loading_) {
        ServiceBoxClicked();
    }
}

void AdvancePrefsModel::ServiceBoxClicked() {
    // Ostrel/EnableOstrel says what really happened; a failure leaves the
    // box as it was.
    Control& box = At("CheckService");
    if (box.checked) {
        const std::string why =
            service_ ? service_->Install() : "There is no service manager for this program here.";
        if (!why.empty()) {
            Say("f03", PackText("f03", "The service could not be installed.") + "\n" + why);
            box.checked = false;
            return;
        }
        if (WriteNow(keys::EnableOstrel, FlagText(true))) {
            Tell("f04", PackText("f04", "The service is installed: it serves this folder "
                                        "whenever the window is closed."));
            return;
        }
        // The file cannot say so: the service goes again.
        service_->Remove();
        box.checked = false;
        return;
    }
    if (service_) {
        const std::string why = service_->Remove();
        if (!why.empty()) {
            Say("", "The service could not be removed.\n" + why);
            box.checked = true;
            return;
        }
    }
    WriteNow(keys::EnableOstrel, FlagText(false));
}

bool AdvancePrefsModel::Ok() {
    if (ReadOnly())
        return false;
    // A box typed in and not left yet (OK reached by its accelerator) gets
    // the rules of leaving it first.
    for (const char* box : {kTimeInterval, kLogTimeOut, kKVTimeOut})
        if (std::find(edited_.begin(), edited_.end(), box) != edited_.end())
            Leave(box);

    auto orAbsent = [this](const SettingKey& key, const char* box) {
        return SettingValue(key, Text(box).empty() ? std::string(key.absent) : Text(box));
    };
    std::vector<IniFile::Value> values = {
        orAbsent(keys::RemoteInPath, "Edit_RemoteInPath"),
        orAbsent(keys::RemoteOutPath, "Edit_RemoteOutPath"),
        orAbsent(keys::RemoteExPath, "Edit_RemoteExPath"),
        SettingValue(keys::LocalExPath, Text("Edit_LocalExPath")),
        SettingValue(keys::TimeInterval, Text(kTimeInterval)),
    };
    if (logTimeOut_ < Twice(timeInterval_)) {
        logTimeOut_ = Twice(timeInterval_);
        Fill(kLogTimeOut, IntToStr(logTimeOut_));
    }
    if (kvTimeOut_ < Twice(logTimeOut_)) {
        kvTimeOut_ = Twice(logTimeOut_);
        Fill(kKVTimeOut, IntToStr(kvTimeOut_));
    }
    values.push_back(SettingValue(keys::LogTimeOut, Text(kLogTimeOut)));
    values.push_back(SettingValue(keys::KVTimeOut, Text(kKVTimeOut)));
    values.push_back(FlagValue(keys::CNC102, Checked("CheckCNC102")));
    values.push_back(SettingValue(keys::LogStep, Checked("RadioButton2") ? "Day" : "Month"));
    values.push_back(SettingValue(keys::TransferType, Checked("RadioButton4") ? "BIN" : "ASCII"));
    values.push_back(FlagValue(keys::WinXPFirewall, Checked("CheckFirewall")));
    values.push_back(FlagValue(keys::Passive, Checked("CheckPassive")));
    values.push_back(FlagValue(keys::AllowStartAuto, Checked("CheckAllow")));
    values.push_back(FlagValue(keys::AllowReceive, Checked("CheckReceive")));
    values.push_back(FlagValue(keys::AllowSend, Checked("CheckSend")));
    values.push_back(FlagValue(keys::NotifyFilesReceived, Checked("CheckNotifyReceived")));
    values.push_back(FlagValue(keys::NotifyCycleFailed, Checked("CheckNotifyFailed")));
    values.push_back(FlagValue(keys::EnableOstrel, Checked("CheckService")));
    return Store(values);
}

} // namespace kv
