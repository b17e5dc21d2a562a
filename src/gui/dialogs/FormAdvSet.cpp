// Advance Preferences: the layout; the rules are the model's.
#include "FormAdvSet.h"

#include <QGroupBox>

namespace kvgui {

namespace {

constexpr int kWidth = 560;
constexpr int kPanelHeight = 430;
constexpr int kHeight = 474;

constexpr int kLabelLeft = 12;
constexpr int kLabelWidth = 184;
constexpr int kBoxLeft = 202;
constexpr int kPathWidth = 310;
constexpr int kShortPathWidth = 276;
constexpr int kPickerLeft = 484;
constexpr int kTimeWidth = 44;

QRect LabelAt(int top) {
    return {kLabelLeft, top + 3, kLabelWidth, 17};
}

} // namespace

FormAdvSet::FormAdvSet(const std::string& iniPath, const std::string& packPath, kv::Host& host,
                       QWidget* owner)
    : ModelDialog(std::make_unique<kv::AdvancePrefsModel>(iniPath, packPath), host, owner,
                  kv::AdvancePrefsModel::kWindowName, "Advance Preferences") {
    QFrame* panel = PutPanel("Panel1", this, {0, 0, kWidth, kPanelHeight});
    BuildFolders(panel);
    BuildOptions(panel);
    Put("CheckService", this, {kLabelLeft, kPanelHeight + 14, 220, 20}, "Install Service");
    Put("Btn_OK", this, {kWidth - 184, kPanelHeight + 11, 84, 25}, "&OK");
    Put("Btn_Cancel", this, {kWidth - 92, kPanelHeight + 11, 84, 25}, "&Cancel");
    FinishLayout(kWidth, kHeight);
}

void FormAdvSet::BuildFolders(QWidget* p) {
    PutLabel("Lbl_RemoteIN", p, LabelAt(12), "Remote In Folder");
    Put("Edit_RemoteInPath", p, {kBoxLeft, 12, kPathWidth, 22});
    PutLabel("Lbl_RemoteOUT", p, LabelAt(44), "Remote Out Folder");
    Put("Edit_RemoteOutPath", p, {kBoxLeft, 44, kPathWidth, 22});
    Put("CheckCNC102", p, {kLabelLeft, 78, 200, 20}, "CNC102");
    PutLabel("Lbl_RemoteEx", p, LabelAt(106), "Remote Special Folder");
    Put("Edit_RemoteExPath", p, {kBoxLeft, 106, kPathWidth, 22});
    PutLabel("Lbl_LocalEx", p, LabelAt(138), "Local Special Folder");
    Put("Edit_LocalExPath", p, {kBoxLeft, 138, kShortPathWidth, 22});
    Put("Btn_SelectDir1", p, {kPickerLeft, 137, 30, 24});
}

void FormAdvSet::BuildOptions(QWidget* p) {
    PutLabel("Lbl_Time1", p, LabelAt(172), "Time Interval");
    Put("Edit_TimeInterval", p, {kBoxLeft, 172, kTimeWidth, 22});
    PutPlainLabel("Lbl_Minutes1", p, {kBoxLeft + 52, 175, 70, 17}, "Minutes");
    PutPlainLabel("Lbl_Only", p, {kBoxLeft + 124, 175, 220, 17}, "(Enable Only When Auto Mode)");
    Put("CheckAllow", p, {kLabelLeft, 206, 184, 20}, "Allow to Start Auto");
    Put("CheckReceive", p, {kBoxLeft, 206, 160, 20}, "Allow to Receive");
    Put("CheckSend", p, {kBoxLeft + 170, 206, 160, 20}, "Allow to Send");
    Put("CheckPassive", p, {kLabelLeft, 234, 184, 20}, "FTP Passive");
    Put("CheckFirewall", p, {kBoxLeft, 234, 330, 20}, "Close WinXP Firewall When Connected!");

    QFrame* step = PutPanel("Panel2", p, {kLabelLeft - 4, 262, kWidth - 16, 30});
    PutLabel("Lbl_Step", step, {4, 7, kLabelWidth, 17}, "Log Step");
    Put("RadioButton1", step, {kBoxLeft - 8, 5, 160, 20}, "Every Month");
    Put("RadioButton2", step, {kBoxLeft + 162, 5, 160, 20}, "Every Day");
    QFrame* mode = PutPanel("Panel3", p, {kLabelLeft - 4, 298, kWidth - 16, 30});
    PutLabel("Lbl_Mode", mode, {4, 7, kLabelWidth, 17}, "Transfer Mode");
    Put("RadioButton3", mode, {kBoxLeft - 8, 5, 160, 20}, "ASCII");
    Put("RadioButton4", mode, {kBoxLeft + 162, 5, 160, 20}, "BIN");

    // The two labels end in the colon they were given.
    QGroupBox* monitor =
        PutGroup("GroupBox1", p, {kLabelLeft - 4, 334, kWidth - 16, 86}, "Monitor");
    PutPlainLabel("Lbl_Time2", monitor, {8, 27, kLabelWidth, 17}, "Log File TimeOut:");
    Put("Edit_LogTimeOut", monitor, {kBoxLeft - 8, 24, kTimeWidth, 22});
    PutPlainLabel("Lbl_Minutes2", monitor, {kBoxLeft + 44, 27, 90, 17}, "Minutes");
    PutPlainLabel("Lbl_Time3", monitor, {8, 57, kLabelWidth, 17}, "KV Monitor TimeOut:");
    Put("Edit_KVTimeOut", monitor, {kBoxLeft - 8, 54, kTimeWidth, 22});
    PutPlainLabel("Lbl_Minutes3", monitor, {kBoxLeft + 44, 57, 90, 17}, "Minutes");
}

} // namespace kvgui
