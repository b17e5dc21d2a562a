// Basic Preferences: the layout and the proxy part's folding; the rest is the
// model's.
#include "FormBasSet.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

namespace kvgui {

namespace {

// Client area as designed: Panel1 480 high in a client area 523 high, the
// proxy part below the line at 336.
constexpr int kWidth = 540;
constexpr int kHeight = 523;
constexpr int kPanelHeight = 480;
constexpr int kProxyLine = 336;
constexpr int kButtonTop = 490;

// Columns of a row: label, box, "..." button.
constexpr int kLabelLeft = 12;
constexpr int kLabelWidth = 150;
constexpr int kBoxLeft = 168;
constexpr int kBoxWidth = 200;
constexpr int kPathWidth = 318;
constexpr int kPickerLeft = 492;

QRect LabelAt(int top) {
    return {kLabelLeft, top + 3, kLabelWidth, 17};
}

} // namespace

FormBasSet::FormBasSet(const std::string& iniPath, const std::string& packPath, kv::Host& host,
                       QWidget* owner)
    : ModelDialog(std::make_unique<kv::BasicPrefsModel>(iniPath, packPath), host, owner,
                  kv::BasicPrefsModel::kWindowName, "Basic Preferences") {
    panel1_ = PutPanel("Panel1", this, {0, 0, kWidth, kPanelHeight});
    BuildUpperPart();
    BuildProxyPart();
    Put("Btn_Proxy", this, {8, kButtonTop, 150, 25}, "Proxy Settings <<");
    Put("Btn_OK", this, {kWidth - 184, kButtonTop, 84, 25}, "&OK");
    Put("Btn_Cancel", this, {kWidth - 92, kButtonTop, 84, 25}, "&Cancel");
    OnClick("Btn_Proxy", [this] { ToggleProxyPart(); });
    FinishLayout(kWidth, kHeight);
}

void FormBasSet::BuildUpperPart() {
    QWidget* p = panel1_;
    Put("RadioButton1", p, {kBoxLeft, 12, 110, 20}, "Internet");
    Put("RadioButton2", p, {kBoxLeft + 116, 12, 130, 20}, "LAN or Dial-Up");
    Put("RadioButton3", p, {kBoxLeft + 252, 12, 110, 20}, "Custom");
    PutLabel("Lbl_HostAdress", p, LabelAt(44), "Host");
    Put("Edit_HostAdress", p, {kBoxLeft, 44, kBoxWidth, 22});
    PutLabel("Lbl_Port", p, {kBoxLeft + kBoxWidth + 12, 47, 70, 17}, "Port");
    Put("Edit_Port", p, {kBoxLeft + kBoxWidth + 86, 44, 68, 22});
    PutLabel("Lbl_UID", p, LabelAt(76), "User Name");
    Put("Edit_UID", p, {kBoxLeft, 76, kBoxWidth, 22});
    PutLabel("Lbl_PWD", p, LabelAt(108), "Password");
    Put("Edit_PWD", p, {kBoxLeft, 108, kBoxWidth, 22});
    const struct {
        const char *label, *caption, *edit, *button;
    } folders[] = {{"Lbl_LocalIN", "Local Inbox Folder", "Edit_LocalInPath", "Btn_SelectDir1"},
                   {"Lbl_LocalOUT", "Local Outbox Folder", "Edit_LocalOutPath", "Btn_SelectDir2"},
                   {"Lbl_Backup", "Local Backup Folder", "Edit_LocalBackupPath", "Btn_SelectDir3"},
                   {"Lbl_Error", "Local Error Folder", "Edit_LocalErrorPath", "Btn_SelectDir4"}};
    int top = 140;
    for (const auto& f : folders) {
        PutLabel(f.label, p, LabelAt(top), f.caption);
        Put(f.edit, p, {kBoxLeft, top, kPathWidth, 22});
        Put(f.button, p, {kPickerLeft, top - 1, 30, 24});
        top += 32;
    }
    Put("CheckSender", p, {kBoxLeft, 270, 340, 20}, "Sender Same As UserName");
    PutLabel("Lbl_FileSender", p, LabelAt(300), "File Sender");
    Put("Edit_FileSender", p, {kBoxLeft, 300, kBoxWidth, 22});
}

void FormBasSet::BuildProxyPart() {
    QWidget* p = panel1_;
    QWidget* const part[] = {
        PutLine("Bevel1", p, {8, kProxyLine, kWidth - 16, 2}),
        PutLabel("Lbl_Proxy", p, LabelAt(350), "Proxy Type"),
        Put("ComboBoxProxy", p, {kBoxLeft, 350, 110, 22}),
        Put("CheckRequired", p, {kBoxLeft + 126, 351, 220, 20}, "Authentication Required"),
        PutLabel("Lbl_ProxyHost", p, LabelAt(382), "Proxy Server"),
        Put("Edit_ProxyHost", p, {kBoxLeft, 382, kBoxWidth, 22}),
        PutLabel("Lbl_ProxyPort", p, {kBoxLeft + kBoxWidth + 12, 385, 90, 17}, "Proxy Port"),
        Put("Edit_ProxyPort", p, {kBoxLeft + kBoxWidth + 104, 382, 50, 22}),
        PutLabel("Lbl_ProxyUID", p, LabelAt(414), "User Name"),
        Put("Edit_ProxyUID", p, {kBoxLeft, 414, kBoxWidth, 22}),
        PutLabel("Lbl_ProxyPWD", p, LabelAt(446), "Password"),
        Put("Edit_ProxyPWD", p, {kBoxLeft, 446, kBoxWidth, 22}),
    };
    proxyPart_.assign(std::begin(part), std::end(part));
}

void FormBasSet::BeforeFirstShow() {
    // The show handler's click on Btn_Proxy: the part folds away.
    ShowProxyPart(Basic().ProxyPartShown());
}

void FormBasSet::ToggleProxyPart() {
    Basic().ToggleProxyPart();
    ShowProxyPart(Basic().ProxyPartShown());
}

void FormBasSet::ShowProxyPart(bool shown) {
    const int delta =
        shown ? kv::BasicPrefsModel::kProxyPartHeight : -kv::BasicPrefsModel::kProxyPartHeight;
    setFixedSize(width(), height() + delta);
    panel1_->resize(panel1_->width(), panel1_->height() + delta);
    for (const char* name : {"Btn_Proxy", "Btn_OK", "Btn_Cancel"}) {
        QWidget* button = ControlWidget(name);
        button->move(button->x(), button->y() + delta);
    }
    // Folded controls are out of sight and out of the tab order.
    for (QWidget* w : proxyPart_)
        w->setVisible(shown);
    auto* proxy = static_cast<QPushButton*>(ControlWidget("Btn_Proxy"));
    proxy->setText(DisplayText(Basic().ProxyButtonCaption(proxy->text().toStdString())));
}

} // namespace kvgui
