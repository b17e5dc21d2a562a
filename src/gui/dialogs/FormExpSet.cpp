// Expert Preferences: the layout and the two Save buttons; the rules are the
// model's.
#include "FormExpSet.h"

#include <QFrame>

namespace kvgui {

namespace {

constexpr int kWidth = 560;
constexpr int kPanelHeight = 452;
constexpr int kHeight = 496;

constexpr int kLabelLeft = 12;
constexpr int kLabelWidth = 184;
constexpr int kBoxLeft = 202;
constexpr int kPathWidth = 310;
constexpr int kShortPathWidth = 276;
constexpr int kPickerLeft = 484;

QRect LabelAt(int top) {
    return {kLabelLeft, top + 3, kLabelWidth, 17};
}

} // namespace

FormExpSet::FormExpSet(const std::string& iniPath, const std::string& packPath, kv::Host& host,
                       QWidget* owner)
    : ModelDialog(std::make_unique<kv::ExpertPrefsModel>(iniPath, packPath), host, owner,
                  kv::ExpertPrefsModel::kWindowName, "Expert Preferences") {
    QFrame* panel = PutPanel("Panel1", this, {0, 0, kWidth, kPanelHeight});
    BuildGroups(panel);
    BuildPrograms(panel);
    Put("Btn_OK", this, {kWidth - 184, kPanelHeight + 10, 84, 25}, "&OK");
    Put("Btn_Cancel", this, {kWidth - 92, kPanelHeight + 10, 84, 25}, "&Cancel");
    OnClick("Btn_SaveSend", [this] { Act([this] { Expert().SaveSendGroup(); }); });
    OnClick("Btn_SaveReceive", [this] { Act([this] { Expert().SaveReceiveGroup(); }); });
    FinishLayout(kWidth, kHeight);
}

void FormExpSet::BuildGroups(QWidget* p) {
    const struct {
        const char *groupLabel, *groupCaption, *combo, *save;
        const char *remoteLabel, *remoteCaption, *remote;
        const char *localLabel, *localCaption, *local, *picker;
    } groups[] = {{"Lbl_ExSendGroup", "Extra Send Group", "ComboBox_ExIN", "Btn_SaveSend",
                   "Lbl_RemoteExIN", "Remote In Folder", "Edit_RemoteExInPath", "Lbl_LocalIExOUT",
                   "Local Outbox Folder", "Edit_LocalExOutPath", "Btn_SelectFolder1"},
                  {"Lbl_ExReceiveGroup", "Extra Receive Group", "ComboBox_ExOUT", "Btn_SaveReceive",
                   "Lbl_RemoteExOUT", "Remote Out Folder", "Edit_RemoteExOutPath", "Lbl_LocalExIN",
                   "Local Inbox Folder", "Edit_LocalExInPath", "Btn_SelectFolder2"}};
    int top = 12;
    for (const auto& g : groups) {
        PutLabel(g.groupLabel, p, LabelAt(top), g.groupCaption);
        Put(g.combo, p, {kBoxLeft, top, 60, 22});
        Put(g.save, p, {kBoxLeft + 72, top - 1, 84, 24}, "Save");
        PutLabel(g.remoteLabel, p, LabelAt(top + 32), g.remoteCaption);
        Put(g.remote, p, {kBoxLeft, top + 32, kPathWidth, 22});
        PutLabel(g.localLabel, p, LabelAt(top + 64), g.localCaption);
        Put(g.local, p, {kBoxLeft, top + 64, kShortPathWidth, 22});
        Put(g.picker, p, {kPickerLeft, top + 63, 30, 24});
        PutLine(top == 12 ? "Bevel1" : "Bevel2", p, {8, top + 96, kWidth - 16, 2});
        top += 106;
    }
}

void FormExpSet::BuildPrograms(QWidget* p) {
    Put("CheckAutoUpgrade", p, {kLabelLeft, 222, 184, 20}, "Auto Upgrade");
    Put("CheckMessage", p, {kBoxLeft, 222, 200, 20}, "Show Message");
    PutLine("Bevel3", p, {8, 250, kWidth - 16, 2});
    const struct {
        const char *check, *checkCaption, *progLabel, *program, *picker, *paraLabel, *parameter,
            *exclusive;
    } runs[] = {{"CheckRunBefore", "Run Before Send", "Lbl_Prog1", "Edit_Prg_RunBefore",
                 "Btn_SelectDir1", "Lbl_Para1", "Edit_Par_RunBefore", "CheckExc1"},
                {"CheckRunAfter", "Run After Receive", "Lbl_Prog2", "Edit_Prg_RunAfter",
                 "Btn_SelectDir2", "Lbl_Para2", "Edit_Par_RunAfter", "CheckExc2"}};
    int top = 260;
    for (const auto& r : runs) {
        Put(r.check, p, {kLabelLeft, top, 300, 20}, r.checkCaption);
        PutLabel(r.progLabel, p, LabelAt(top + 28), "Program");
        Put(r.program, p, {kBoxLeft, top + 28, kShortPathWidth, 22});
        Put(r.picker, p, {kPickerLeft, top + 27, 30, 24});
        PutLabel(r.paraLabel, p, LabelAt(top + 60), "Parameter");
        Put(r.parameter, p, {kBoxLeft, top + 60, 200, 22});
        Put(r.exclusive, p, {kBoxLeft + 212, top + 61, 140, 20}, "Exclusive");
        top += 96;
    }
}

} // namespace kvgui
