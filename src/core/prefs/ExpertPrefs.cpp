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

    Fill("Edit_Prg_RunBefore", Read("Options", "ProgramRunBefore"));
    Fill("Edit_Par_RunBefore", Read("Options", "ParameterRunBefore"));
    Fill("Edit_Prg_RunAfter", Read("Options", "ProgramRunAfter"));
    Fill("Edit_Par_RunAfter", Read("Options", "ParameterRunAfter"));
    At("CheckAutoUpgrade").checked = Read("System", "AutoUpgrade") == "1";
    At("CheckMessage").checked = Read("System", "Message") == "1";
    At("CheckRunBefore").checked = Read("Options", "RunBefore") == "1";
    ApplyRun("CheckRunBefore", kRunBefore);
    At("CheckRunAfter").checked = Read("Options", "RunAfter") == "1";
    ApplyRun("CheckRunAfter", kRunAfter);
    At("CheckExc1").checked = Read("Options", "ExclusiveRunBefore") == "1";
    At("CheckExc2").checked = Read("Options", "ExclusiveRunAfter") == "1";
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
    const std::string& n = combo.items[static_cast<size_t>(combo.index)];
    if (name == "ComboBox_ExIN") {
        Fill("Edit_RemoteExInPath", Read("Options", "RemoteInPath" + n));
        Fill("Edit_LocalExOutPath", Read("Options", "LocalOutPath" + n));
    } else if (name == "ComboBox_ExOUT") {
        Fill("Edit_RemoteExOutPath", Read("Options", "RemoteOutPath" + n));
        Fill("Edit_LocalExInPath", Read("Options", "LocalInPath" + n));
    }
}

std::string ExpertPrefsModel::GroupNumber(const char* combo) {
    const Control& c = Get(combo);
    if (c.index < 0 || c.items[static_cast<size_t>(c.index)].empty()) {
        Say("f08", PackText("f08", "Choose a group number (1 to 9) before pressing Save; "
                                   "nothing was saved."));
        return {};
    }
    return c.items[static_cast<size_t>(c.index)];
}

bool ExpertPrefsModel::SaveGroup(const char* combo, const char* remoteKey, const char* remoteBox,
                                 const char* localKey, const char* localBox) {
    if (ReadOnly())
        return false;
    std::string n = GroupNumber(combo);
    if (n.empty())
        return false;
    return Store(
        {{"Options", remoteKey + n, Text(remoteBox)}, {"Options", localKey + n, Text(localBox)}});
}

bool ExpertPrefsModel::SaveSendGroup() {
    return SaveGroup("ComboBox_ExIN", "RemoteInPath", "Edit_RemoteExInPath", "LocalOutPath",
                     "Edit_LocalExOutPath");
}

bool ExpertPrefsModel::SaveReceiveGroup() {
    return SaveGroup("ComboBox_ExOUT", "RemoteOutPath", "Edit_RemoteExOutPath", "LocalInPath",
                     "Edit_LocalExInPath");
}

bool ExpertPrefsModel::Ok() {
    if (ReadOnly())
        return false;
    return Store({
        {"Options", "ProgramRunBefore", Text("Edit_Prg_RunBefore")},
        {"Options", "ParameterRunBefore", Text("Edit_Par_RunBefore")},
        {"Options", "ProgramRunAfter", Text("Edit_Prg_RunAfter")},
        {"Options", "ParameterRunAfter", Text("Edit_Par_RunAfter")},
        {"System", "AutoUpgrade", Flag(Checked("CheckAutoUpgrade"))},
        {"System", "Message", Flag(Checked("CheckMessage"))},
        {"Options", "RunBefore", Flag(Checked("CheckRunBefore"))},
        {"Options", "RunAfter", Flag(Checked("CheckRunAfter"))},
        {"Options", "ExclusiveRunBefore", Flag(Checked("CheckExc1"))},
        {"Options", "ExclusiveRunAfter", Flag(Checked("CheckExc2"))},
    });
}

} // namespace kv
