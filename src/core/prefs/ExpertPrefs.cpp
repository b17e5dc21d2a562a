// Expert Preferences: creation, the run boxes, group selection and Save, OK.
#include "prefs/ExpertPrefs.h"

namespace kv {

namespace {

constexpr std::initializer_list<const char*> kRunBefore = {
    "Edit_Prg_RunBefore", "Edit_Par_RunBefore", "Btn_SelectDir1", "CheckExc1"};
constexpr std::initializer_list<const char*> kRunAfter = {"Edit_Prg_RunAfter", "Edit_Par_RunAfter",
                                                          "Btn_SelectDir2", "CheckExc2"};

} // namespace

ExpertPrefsModel::ExpertPrefsModel(std::string iniPath, std::string packPath)
    : DialogModel(std::move(iniPath), std::move(packPath)) {
    const std::vector<std::string> groups = {"1", "2", "3", "4", "5", "6", "7", "8", "9"};
    Add("ComboBox_ExIN", ControlKind::ComboBox).items = groups;
    Add("Btn_SaveSend", ControlKind::Button);
    AddEdit("Edit_RemoteExInPath");
    AddEdit("Edit_LocalExOutPath").typable = false;
    AddPicker("Btn_SelectFolder1", PickerKind::Folder, "Edit_LocalExOutPath");
    Add("ComboBox_ExOUT", ControlKind::ComboBox).items = groups;
    Add("Btn_SaveReceive", ControlKind::Button);
    AddEdit("Edit_RemoteExOutPath");
    AddEdit("Edit_LocalExInPath").typable = false;
    AddPicker("Btn_SelectFolder2", PickerKind::Folder, "Edit_LocalExInPath");
    Add("CheckAutoUpgrade", ControlKind::CheckBox);
    Add("CheckMessage", ControlKind::CheckBox);
    Add("CheckRunBefore", ControlKind::CheckBox);
    AddEdit("Edit_Prg_RunBefore").typable = false;
    AddPicker("Btn_SelectDir1", PickerKind::Program, "Edit_Prg_RunBefore");
    AddEdit("Edit_Par_RunBefore");
    Add("CheckExc1", ControlKind::CheckBox);
    Add("CheckRunAfter", ControlKind::CheckBox);
    AddEdit("Edit_Prg_RunAfter").typable = false;
    AddPicker("Btn_SelectDir2", PickerKind::Program, "Edit_Prg_RunAfter");
    AddEdit("Edit_Par_RunAfter");
    Add("CheckExc2", ControlKind::CheckBox);
    Add("Btn_OK", ControlKind::Button);
    Add("Btn_Cancel", ControlKind::Button);

    Fill("Edit_Prg_RunBefore", Read(keys::ProgramRunBefore));
    Fill("Edit_Par_RunBefore", Read(keys::ParameterRunBefore));
    Fill("Edit_Prg_RunAfter", Read(keys::ProgramRunAfter));
    Fill("Edit_Par_RunAfter", Read(keys::ParameterRunAfter));
    At("CheckAutoUpgrade").checked = ReadOn(keys::AutoUpgrade);
    At("CheckMessage").checked = ReadOn(keys::Message);
    At("CheckRunBefore").checked = ReadOn(keys::RunBefore);
    ApplyRun("CheckRunBefore", kRunBefore);
    At("CheckRunAfter").checked = ReadOn(keys::RunAfter);
    ApplyRun("CheckRunAfter", kRunAfter);
    At("CheckExc1").checked = ReadOn(keys::ExclusiveRunBefore);
    At("CheckExc2").checked = ReadOn(keys::ExclusiveRunAfter);
    FinishLoading();
}

void ExpertPrefsModel::ApplyRun(const char* check, std::initializer_list<const char*> controls) {
    SetEnabled(controls, Checked(check));
}

void ExpertPrefsModel::OnClick(const std::string& name) {
    if (name == "CheckRunBefore")
        ApplyRun("CheckRunBefore", kRunBefore);
    else if (name == "CheckRunAfter")
        ApplyRun("CheckRunAfter", kRunAfter);
}

void ExpertPrefsModel::OnSelect(const std::string& name) {
    const Control& combo = Get(name);
    if (combo.index < 0)
        return;
    // The entries are "1" to "9", in this order.
    const int n = combo.index + 1;
    if (name == "ComboBox_ExIN") {
        Fill("Edit_RemoteExInPath", Read(keys::RemoteInPath.Group(n)));
        Fill("Edit_LocalExOutPath", Read(keys::LocalOutPath.Group(n)));
    } else if (name == "ComboBox_ExOUT") {
        Fill("Edit_RemoteExOutPath", Read(keys::RemoteOutPath.Group(n)));
        Fill("Edit_LocalExInPath", Read(keys::LocalInPath.Group(n)));
    }
}

int ExpertPrefsModel::GroupNumber(const char* combo) {
    const Control& c = Get(combo);
    if (c.index < 0) {
        Say("f08", PackText("f08", "Choose a group number (1 to 9) before pressing Save; "
                                   "nothing was saved."));
        return 0;
    }
    return c.index + 1;
}

bool ExpertPrefsModel::SaveGroup(const char* combo, const SettingKey& remoteKey,
                                 const char* remoteBox, const SettingKey& localKey,
                                 const char* localBox) {
    if (ReadOnly())
        return false;
    const int n = GroupNumber(combo);
    if (n == 0)
        return false;
    return Store({SettingValue(remoteKey.Group(n), Text(remoteBox)),
                  SettingValue(localKey.Group(n), Text(localBox))});
}

bool ExpertPrefsModel::SaveSendGroup() {
    return SaveGroup("ComboBox_ExIN", keys::RemoteInPath, "Edit_RemoteExInPath", keys::LocalOutPath,
                     "Edit_LocalExOutPath");
}

bool ExpertPrefsModel::SaveReceiveGroup() {
    return SaveGroup("ComboBox_ExOUT", keys::RemoteOutPath, "Edit_RemoteExOutPath",
                     keys::LocalInPath, "Edit_LocalExInPath");
}

bool ExpertPrefsModel::Ok() {
    if (ReadOnly())
        return false;
    return Store({
        SettingValue(keys::ProgramRunBefore, Text("Edit_Prg_RunBefore")),
        SettingValue(keys::ParameterRunBefore, Text("Edit_Par_RunBefore")),
        SettingValue(keys::ProgramRunAfter, Text("Edit_Prg_RunAfter")),
        SettingValue(keys::ParameterRunAfter, Text("Edit_Par_RunAfter")),
        FlagValue(keys::AutoUpgrade, Checked("CheckAutoUpgrade")),
        FlagValue(keys::Message, Checked("CheckMessage")),
        FlagValue(keys::RunBefore, Checked("CheckRunBefore")),
        FlagValue(keys::RunAfter, Checked("CheckRunAfter")),
        FlagValue(keys::ExclusiveRunBefore, Checked("CheckExc1")),
        FlagValue(keys::ExclusiveRunAfter, Checked("CheckExc2")),
    });
}

} // namespace kv
