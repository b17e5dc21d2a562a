#pragma once
// Expert Preferences (window "FormExpSet", class TFormExpSet): the nine extra
// send and receive groups, the upgrade check, message boxes, and the programs
// run before each send and after each receive. The group folders are written
// by the Save buttons at once (OK and Cancel do not touch them); the other
// options on OK.
//
// Controls, in layout and tab order (object name: kind; settings key):
//   ComboBox_ExIN        list "1".."9", none selected (Lbl_ExSendGroup "Extra Send Group")
//   Btn_SaveSend         "Save": SaveSendGroup()
//   Edit_RemoteExInPath  edit (Lbl_RemoteExIN "Remote In Folder")      Options/RemoteInPath<n>
//   Edit_LocalExOutPath  read-only edit (Lbl_LocalIExOUT "Local Outbox Folder")
//                                                                       Options/LocalOutPath<n>
//   Btn_SelectFolder1    "..." folder picker for Edit_LocalExOutPath
//   ComboBox_ExOUT       list "1".."9", none selected (Lbl_ExReceiveGroup "Extra Receive Group")
//   Btn_SaveReceive      "Save": SaveReceiveGroup()
//   Edit_RemoteExOutPath edit (Lbl_RemoteExOUT "Remote Out Folder")    Options/RemoteOutPath<n>
//   Edit_LocalExInPath   read-only edit (Lbl_LocalExIN "Local Inbox Folder") Options/LocalInPath<n>
//   Btn_SelectFolder2    "..." folder picker for Edit_LocalExInPath
//   CheckAutoUpgrade     check "Auto Upgrade"                           System/AutoUpgrade
//   CheckMessage         check "Show Message"                           System/Message
//   CheckRunBefore       check "Run Before Send"                        Options/RunBefore
//   Edit_Prg_RunBefore   read-only edit (Lbl_Prog1 "Program")           Options/ProgramRunBefore
//   Btn_SelectDir1       "..." program picker for Edit_Prg_RunBefore
//   Edit_Par_RunBefore   edit (Lbl_Para1 "Parameter")                   Options/ParameterRunBefore
//   CheckExc1            check "Exclusive"                              Options/ExclusiveRunBefore
//   CheckRunAfter        check "Run After Receive"                      Options/RunAfter
//   Edit_Prg_RunAfter    read-only edit (Lbl_Prog2 "Program")           Options/ProgramRunAfter
//   Btn_SelectDir2       "..." program picker for Edit_Prg_RunAfter
//   Edit_Par_RunAfter    edit (Lbl_Para2 "Parameter")                   Options/ParameterRunAfter
//   CheckExc2            check "Exclusive"                              Options/ExclusiveRunAfter
//   Btn_OK               "&OK": Ok()
//   Btn_Cancel           "&Cancel", default and cancel button: close
// Labels end in a full-width colon (U+FF1A). The program pickers are the
// file-open dialog OpenDialog1 ("Execute Program"); on Linux any executable.
//
// Save before a group number is chosen writes nothing and says so (message
// code "f08"): the keys without a number are the main folders, which this
// dialog never changes.
#include "prefs/DialogModel.h"

namespace kv {

class ExpertPrefsModel : public DialogModel {
public:
    static constexpr const char* kWindowName = "FormExpSet";

    ExpertPrefsModel(std::string iniPath, std::string packPath);

    // Btn_SaveSend and Btn_SaveReceive: write the shown group at once; false
    // when nothing was written.
    bool SaveSendGroup();
    bool SaveReceiveGroup();
    bool Ok() override;

protected:
    void OnClick(const std::string& name) override;
    void OnSelect(const std::string& name) override;

private:
    // The chosen group number (1 to 9), or 0 with a message when none is chosen.
    int GroupNumber(const char* combo);
    bool SaveGroup(const char* combo, const SettingKey& remoteKey, const char* remoteBox,
                   const SettingKey& localKey, const char* localBox);
    void ApplyRun(const char* check, std::initializer_list<const char*> controls);
};

} // namespace kv
