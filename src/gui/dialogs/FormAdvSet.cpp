// Advance Preferences: the layout; the rules are the model's.
#include "FormAdvSet.h"

#include <QGroupBox>

namespace kvgui {

namespace {

constexpr int kWidth = Grid::kWidth;
constexpr int kPanelHeight = 458;
constexpr int kHeight = 502;
constexpr int kTimeWidth = 44;

} // namespace

FormAdvSet::FormAdvSet(const std::string& iniPath, const std::string& packPath, kv::Host& host,
                       QWidget* owner, std::unique_ptr<kv::ServiceSwitch> service)
    : ModelDialog(std::make_unique<kv::AdvancePrefsModel>(iniPath, packPath, std::move(service)),
                  host, owner, kv::AdvancePrefsModel::kWindowName, "Advance Preferences") {
    QFrame* panel = PutPanel("Panel1", this, {0, 0, kWidth, kPanelHeight});
    BuildFolders(panel);
    BuildOptions(panel);
    Put("CheckService", this, {Grid::kLabelLeft, kPanelHeight + 14, 220, 20}, "Install Service");
    PutButtonPair("Btn_OK", "&OK", "Btn_Cancel", "&Cancel", kPanelHeight + 11, kWidth);
    FinishLayout(kWidth, kHeight);
}

void FormAdvSet::BuildFolders(QWidget* p) {
    PutLabel("Lbl_RemoteIN", p, Grid::Label(12), "Remote In Folder");
    Put("Edit_RemoteInPath", p, {Grid::kBoxLeft, 12, Grid::kPathWidth, 22});
    PutLabel("Lbl_RemoteOUT", p, Grid::Label(44), "Remote Out Folder");
    Put("Edit_RemoteOutPath", p, {Grid::kBoxLeft, 44, Grid::kPathWidth, 22});
    Put("CheckCNC102", p, {Grid::kLabelLeft, 78, 200, 20}, "CNC102");
    PutLabel("Lbl_RemoteEx", p, Grid::Label(106), "Remote Special Folder");
    Put("Edit_RemoteExPath", p, {Grid::kBoxLeft, 106, Grid::kPathWidth, 22});
    PutLabel("Lbl_LocalEx", p, Grid::Label(138), "Local Special Folder");
    Put("Edit_LocalExPath", p, {Grid::kBoxLeft, 138, Grid::kPickedWidth, 22});
    Put("Btn_SelectDir1", p, {Grid::kPickerLeft, 137, Grid::kPickerWidth, 24});
}

void FormAdvSet::BuildOptions(QWidget* p) {
    PutLabel("Lbl_Time1", p, Grid::Label(172), "Time Interval");
    Put("Edit_TimeInterval", p, {Grid::kBoxLeft, 172, kTimeWidth, 22});
    PutPlainLabel("Lbl_Minutes1", p, {Grid::kBoxLeft + 52, 175, 70, 17}, "Minutes");
    PutPlainLabel("Lbl_Only", p, {Grid::kBoxLeft + 124, 175, 220, 17},
                  "(Enable Only When Auto Mode)");
    Put("CheckAllow", p, {Grid::kLabelLeft, 206, 184, 20}, "Allow to Start Auto");
    Put("CheckReceive", p, {Grid::kBoxLeft, 206, 160, 20}, "Allow to Receive");
    Put("CheckSend", p, {Grid::kBoxLeft + 170, 206, 160, 20}, "Allow to Send");
    Put("CheckPassive", p, {Grid::kLabelLeft, 234, 184, 20}, "FTP Passive");
    Put("CheckFirewall", p, {Grid::kBoxLeft, 234, 330, 20}, "Close WinXP Firewall When Connected!");

    QFrame* step = PutPanel("Panel2", p, {Grid::kLabelLeft - 4, 262, kWidth - 16, 30});
    PutLabel("Lbl_Step", step, {4, 7, Grid::kLabelWidth, 17}, "Log Step");
    Put("RadioButton1", step, {Grid::kBoxLeft - 8, 5, 160, 20}, "Every Month");
    Put("RadioButton2", step, {Grid::kBoxLeft + 162, 5, 160, 20}, "Every Day");
    QFrame* mode = PutPanel("Panel3", p, {Grid::kLabelLeft - 4, 298, kWidth - 16, 30});
    PutLabel("Lbl_Mode", mode, {4, 7, Grid::kLabelWidth, 17}, "Transfer Mode");
    Put("RadioButton3", mode, {Grid::kBoxLeft - 8, 5, 160, 20}, "ASCII");
    Put("RadioButton4", mode, {Grid::kBoxLeft + 162, 5, 160, 20}, "BIN");

    // The two labels end in the colon they were given.
    QGroupBox* monitor =
        PutGroup("GroupBox1", p, {Grid::kLabelLeft - 4, 334, kWidth - 16, 86}, "Monitor");
    PutPlainLabel("Lbl_Time2", monitor, {8, 27, Grid::kLabelWidth, 17}, "Log File TimeOut:");
    Put("Edit_LogTimeOut", monitor, {Grid::kBoxLeft - 8, 24, kTimeWidth, 22});
    PutPlainLabel("Lbl_Minutes2", monitor, {Grid::kBoxLeft + 44, 27, 90, 17}, "Minutes");
    PutPlainLabel("Lbl_Time3", monitor, {8, 57, Grid::kLabelWidth, 17}, "KV Monitor TimeOut:");
    Put("Edit_KVTimeOut", monitor, {Grid::kBoxLeft - 8, 54, kTimeWidth, 22});
    PutPlainLabel("Lbl_Minutes3", monitor, {Grid::kBoxLeft + 44, 57, 90, 17}, "Minutes");

    Put("CheckNotifyReceived", p, {Grid::kLabelLeft, 428, 250, 20}, "Notify When Files Arrive");
    Put("CheckNotifyFailed", p, {Grid::kBoxLeft + 100, 428, 250, 20}, "Notify When a Cycle Fails");
}

} // namespace kvgui
