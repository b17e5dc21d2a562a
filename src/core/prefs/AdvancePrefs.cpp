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

AdvancePrefsModel::AdvancePrefsModel(std::string iniPath, std::string packPath)
    : DialogModel(std::move(iniPath), std::move(packPath)) {
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
    Add("CheckService", ControlKind::CheckBox);
    Add("Btn_OK", ControlKind::Button);
    Add("Btn_Cancel", ControlKind::Button);
    Load();
    loading_ = false;
    FinishLoading();
}

void AdvancePrefsModel::WriteNow(const std::string& section, const std::string& key,
                                 const std::string& value) {
    Store({{section, key, value}});
}

bool AdvancePrefsModel::LoadTime(const char* box, const char* section, const char* key,
                                 int emptyValue, int& value) {
    const std::string& text = Text(box);
    if (text.empty()) {
        value = emptyValue;
        WriteNow(section, key, IntToStr(value));
        return true;
    }
    try {
        value = StrToInt(text);
        return true;
    } catch (const ConversionError& e) {
        EnterReadOnly(e.what(), section, key);
        return false;
    }
}

bool AdvancePrefsModel::LoadTimeValues() {
    if (!LoadTime(kTimeInterval, "Options", "TimeInterval", 10, timeInterval_))
        return false;
    if (timeInterval_ < 1) {
        timeInterval_ = 10;
        WriteNow("Options", "TimeInterval", "10");
    }
    Fill(kTimeInterval, IntToStr(timeInterval_));

    return LoadLaterTime(kLogTimeOut, "KVTray", "LogTimeOut", 30, timeInterval_, 3, logTimeOut_) &&
           LoadLaterTime(kKVTimeOut, "KVTray", "KVTimeOut", 120, logTimeOut_, 4, kvTimeOut_);
}

bool AdvancePrefsModel::LoadLaterTime(const char* box, const char* section, const char* key,
                                      int emptyValue, int previous, int factor, int& value) {
    if (!LoadTime(box, section, key, emptyValue, value))
        return false;
    if (value < Twice(previous)) {
        value = Times(previous, factor);
        WriteNow(section, key, IntToStr(value));
    }
    Fill(box, IntToStr(value));
    return true;
}

void AdvancePrefsModel::Load() {
    Fill("Edit_RemoteInPath", Read("Options", "RemoteInPath"));
    Fill("Edit_RemoteOutPath", Read("Options", "RemoteOutPath"));
    Fill("Edit_RemoteExPath", Read("Options", "RemoteExPath"));
    Fill("Edit_LocalExPath", Read("Options", "LocalExPath"));
    Fill(kTimeInterval, Read("Options", "TimeInterval"));
    Fill(kLogTimeOut, Read("KVTray", "LogTimeOut"));
    Fill(kKVTimeOut, Read("KVTray", "KVTimeOut"));
    // After a value that is not an integer nothing more is written; the
    // remaining controls are still filled so the read-only dialog shows them.
    LoadTimeValues();

    At("CheckCNC102").checked = Read("Options", "CNC102") == "1";
    ApplyCnc102();
    Check(Read("System", "LogStep") == "Day" ? "RadioButton2" : "RadioButton1", true);
    Check(UpperCase(Read("Options", "TransferType")) == "BIN" ? "RadioButton4" : "RadioButton3",
          true);
    At("CheckFirewall").checked = Read("Options", "WinXPFirewall") == "1";
    At("CheckPassive").checked = Read("Options", "Passive") == "1";
    At("CheckReceive").checked = Read("Options", "AllowReceive") != "0";
    At("CheckSend").checked = Read("Options", "AllowSend") != "0";
    At("CheckAllow").checked = Read("Options", "AllowStartAuto") == "1";
    ApplyAllow();
    At("CheckService").checked = Read("Ostrel", "EnableOstrel") == "1";
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
        if (Checked(name)) {
            // Not Windows 2000/XP/2003: the service cannot be installed here.
            Say("f03",
                PackText("f03", "The service can be installed on Windows 2000/XP/2003 only."));
            Check(name, false);
        } else {
            WriteNow("Ostrel", "EnableOstrel", "0");
        }
    }
}

bool AdvancePrefsModel::Ok() {
    if (ReadOnly())
        return false;
    // A box typed in and not left yet (OK reached by its accelerator) gets
    // the rules of leaving it first.
    for (const char* box : {kTimeInterval, kLogTimeOut, kKVTimeOut})
        if (std::find(edited_.begin(), edited_.end(), box) != edited_.end())
            Leave(box);

    auto orDefault = [this](const char* box, const char* def) {
        return Text(box).empty() ? std::string(def) : Text(box);
    };
    std::vector<IniFile::Value> values = {
        {"Options", "RemoteInPath", orDefault("Edit_RemoteInPath", "in")},
        {"Options", "RemoteOutPath", orDefault("Edit_RemoteOutPath", "out")},
        {"Options", "RemoteExPath", orDefault("Edit_RemoteExPath", "cuscar/ex")},
        {"Options", "LocalExPath", Text("Edit_LocalExPath")},
        {"Options", "TimeInterval", Text(kTimeInterval)},
    };
    if (logTimeOut_ < Twice(timeInterval_)) {
        logTimeOut_ = Twice(timeInterval_);
        Fill(kLogTimeOut, IntToStr(logTimeOut_));
    }
    if (kvTimeOut_ < Twice(logTimeOut_)) {
        kvTimeOut_ = Twice(logTimeOut_);
        Fill(kKVTimeOut, IntToStr(kvTimeOut_));
    }
    values.push_back({"KVTray", "LogTimeOut", Text(kLogTimeOut)});
    values.push_back({"KVTray", "KVTimeOut", Text(kKVTimeOut)});
    values.push_back({"Options", "CNC102", Flag(Checked("CheckCNC102"))});
    values.push_back({"System", "LogStep", Checked("RadioButton2") ? "Day" : "Month"});
    values.push_back({"Options", "TransferType", Checked("RadioButton4") ? "BIN" : "ASCII"});
    values.push_back({"Options", "WinXPFirewall", Flag(Checked("CheckFirewall"))});
    values.push_back({"Options", "Passive", Flag(Checked("CheckPassive"))});
    values.push_back({"Options", "AllowStartAuto", Flag(Checked("CheckAllow"))});
    values.push_back({"Options", "AllowReceive", Flag(Checked("CheckReceive"))});
    values.push_back({"Options", "AllowSend", Flag(Checked("CheckSend"))});
    values.push_back({"Ostrel", "EnableOstrel", Flag(Checked("CheckService"))});
    return Store(values);
}

} // namespace kv
