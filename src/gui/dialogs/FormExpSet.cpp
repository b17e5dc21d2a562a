// Expert Preferences: the layout and the two Save buttons; the rules are the
// model's.
#include "FormExpSet.h"

#include <QFrame>

namespace kvgui {

namespace {

constexpr int kWidth = Grid::kWidth;
constexpr int kPanelHeight = 452;
constexpr int kHeight = 496;

} // namespace

FormExpSet::FormExpSet(const std::string& iniPath, const std::string& packPath, kv::Host& host,
                       QWidget* owner)
    : ModelDialog(std::make_unique<kv::ExpertPrefsModel>(iniPath, packPath), host, owner,
                  kv::ExpertPrefsModel::kWindowName, "Expert Preferences") {
    QFrame* panel = PutPanel("Panel1", this, {0, 0, kWidth, kPanelHeight});
    BuildGroups(panel);
    BuildPrograms(panel);
    PutButtonPair("Btn_OK", "&OK", "Btn_Cancel", "&Cancel", kPanelHeight + 10, kWidth);
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
        PutLabel(g.groupLabel, p, Grid::Label(top), g.groupCaption);
        Put(g.combo, p, {Grid::kBoxLeft, top, 60, 22});
        Put(g.save, p, {Grid::kBoxLeft + 72, top - 1, 84, 24}, "Save");
        PutLabel(g.remoteLabel, p, Grid::Label(top + 32), g.remoteCaption);
        Put(g.remote, p, {Grid::kBoxLeft, top + 32, Grid::kPathWidth, 22});
        PutLabel(g.localLabel, p, Grid::Label(top + 64), g.localCaption);
        Put(g.local, p, {Grid::kBoxLeft, top + 64, Grid::kPickedWidth, 22});
        Put(g.picker, p, {Grid::kPickerLeft, top + 63, Grid::kPickerWidth, 24});
        PutLine(top == 12 ? "Bevel1" : "Bevel2", p, {8, top + 96, kWidth - 16, 2});
        top += 106;
    }
}

void FormExpSet::BuildPrograms(QWidget* p) {
    Put("CheckAutoUpgrade", p, {Grid::kLabelLeft, 222, 184, 20}, "Auto Upgrade");
    Put("CheckMessage", p, {Grid::kBoxLeft, 222, 200, 20}, "Show Message");
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
        Put(r.check, p, {Grid::kLabelLeft, top, 300, 20}, r.checkCaption);
        PutLabel(r.progLabel, p, Grid::Label(top + 28), "Program");
        Put(r.program, p, {Grid::kBoxLeft, top + 28, Grid::kPickedWidth, 22});
        Put(r.picker, p, {Grid::kPickerLeft, top + 27, Grid::kPickerWidth, 24});
        PutLabel(r.paraLabel, p, Grid::Label(top + 60), "Parameter");
        Put(r.parameter, p, {Grid::kBoxLeft, top + 60, 200, 22});
        Put(r.exclusive, p, {Grid::kBoxLeft + 212, top + 61, 140, 20}, "Exclusive");
        top += 96;
    }
}

} // namespace kvgui
