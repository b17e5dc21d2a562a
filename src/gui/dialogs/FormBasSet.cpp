// Basic Preferences: the layout and the proxy part's folding; the rest is the
// model's.
#include "FormBasSet.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace kvgui {

namespace {

// Client area as designed: Panel1 480 high in a client area 523 high, the
// proxy part below the line at 336.
constexpr int kWidth = Grid::kWidth;
constexpr int kHeight = 523;
constexpr int kPanelHeight = 480;
constexpr int kProxyLine = 336;
constexpr int kButtonTop = 490;

// Short boxes leave room for the port's label and box on their right.
constexpr int kBoxLeft = Grid::kBoxLeft;
constexpr int kBoxWidth = 160;
constexpr int kPortLabelLeft = kBoxLeft + kBoxWidth + 8;
constexpr int kPortLeft = kPortLabelLeft + 92;
constexpr int kPortWidth = Grid::kPickerLeft + Grid::kPickerWidth - kPortLeft;
// The protocol and host key have shorter captions: their boxes start further
// left, so "SFTP" and more of a fingerprint show.
constexpr int kSshLabelWidth = 68;
constexpr int kSshLeft = kPortLabelLeft + kSshLabelWidth + 2;
constexpr int kSshWidth = Grid::kPickerLeft + Grid::kPickerWidth - kSshLeft;

} // namespace

FormBasSet::FormBasSet(const std::string& iniPath, const std::string& packPath, kv::Host& host,
                       QWidget* owner)
    : ModelDialog(std::make_unique<kv::BasicPrefsModel>(iniPath, packPath), host, owner,
                  kv::BasicPrefsModel::kWindowName, "Basic Preferences") {
    panel1_ = PutPanel("Panel1", this, {0, 0, kWidth, kPanelHeight});
    BuildUpperPart();
    BuildProxyPart();
    Put("Btn_Proxy", this, {8, kButtonTop, 150, 25}, "Proxy Settings <<");
    PutButtonPair("Btn_OK", "&OK", "Btn_Cancel", "&Cancel", kButtonTop, kWidth);
    OnClick("Btn_Proxy", [this] { ToggleProxyPart(); });
    FinishLayout(kWidth, kHeight);
}

void FormBasSet::BuildUpperPart() {
    QWidget* p = panel1_;
    Put("RadioButton1", p, {kBoxLeft, 12, 110, 20}, "Internet");
    Put("RadioButton2", p, {kBoxLeft + 116, 12, 140, 20}, "LAN or Dial-Up");
    Put("RadioButton3", p, {kBoxLeft + 262, 12, 90, 20}, "Custom");
    PutLabel("Lbl_HostAdress", p, Grid::Label(44), "Host");
    Put("Edit_HostAdress", p, {kBoxLeft, 44, kBoxWidth, 22});
    PutLabel("Lbl_Port", p, {kPortLabelLeft, 47, 90, 17}, "Port");
    Put("Edit_Port", p, {kPortLeft, 44, kPortWidth, 22});
    PutLabel("Lbl_UID", p, Grid::Label(76), "User Name");
    Put("Edit_UID", p, {kBoxLeft, 76, kBoxWidth, 22});
    PutLabel("Lbl_PWD", p, Grid::Label(108), "Password");
    Put("Edit_PWD", p, {kBoxLeft, 108, kBoxWidth, 22});
    // The protocol and SFTP's host key beside the user and password, where
    // the port's columns leave room.
    PutLabel("Lbl_Protocol", p, {kPortLabelLeft, 79, kSshLabelWidth, 17}, "Protocol");
    Put("ComboBoxProtocol", p, {kSshLeft, 76, kSshWidth, 22});
    PutLabel("Lbl_HostKey", p, {kPortLabelLeft, 111, kSshLabelWidth, 17}, "Host Key");
    auto* hostKey = static_cast<QLineEdit*>(Put("Edit_HostKey", p, {kSshLeft, 108, kSshWidth, 22}));
    // A fingerprint is 50 characters in a box for a port number: the whole
    // of it shows when the pointer rests on the box.
    QObject::connect(hostKey, &QLineEdit::textChanged, hostKey,
                     [hostKey](const QString& text) { hostKey->setToolTip(text); });
    const struct {
        const char *label, *caption, *edit, *button;
    } folders[] = {{"Lbl_LocalIN", "Local Inbox Folder", "Edit_LocalInPath", "Btn_SelectDir1"},
                   {"Lbl_LocalOUT", "Local Outbox Folder", "Edit_LocalOutPath", "Btn_SelectDir2"},
                   {"Lbl_Backup", "Local Backup Folder", "Edit_LocalBackupPath", "Btn_SelectDir3"},
                   {"Lbl_Error", "Local Error Folder", "Edit_LocalErrorPath", "Btn_SelectDir4"}};
    int top = 140;
    for (const auto& f : folders) {
        PutLabel(f.label, p, Grid::Label(top), f.caption);
        Put(f.edit, p, {kBoxLeft, top, Grid::kPickedWidth, 22});
        Put(f.button, p, {Grid::kPickerLeft, top - 1, Grid::kPickerWidth, 24});
        top += 32;
    }
    Put("CheckSender", p, {kBoxLeft, 270, 340, 20}, "Sender Same As UserName");
    PutLabel("Lbl_FileSender", p, Grid::Label(300), "File Sender");
    Put("Edit_FileSender", p, {kBoxLeft, 300, kBoxWidth, 22});
}

void FormBasSet::BuildProxyPart() {
    QWidget* p = panel1_;
    QWidget* const part[] = {
        PutLine("Bevel1", p, {8, kProxyLine, kWidth - 16, 2}),
        PutLabel("Lbl_Proxy", p, Grid::Label(350), "Proxy Type"),
        Put("ComboBoxProxy", p, {kBoxLeft, 350, 110, 22}),
        Put("CheckRequired", p, {kBoxLeft + 126, 351, 220, 20}, "Authentication Required"),
        PutLabel("Lbl_ProxyHost", p, Grid::Label(382), "Proxy Server"),
        Put("Edit_ProxyHost", p, {kBoxLeft, 382, kBoxWidth, 22}),
        PutLabel("Lbl_ProxyPort", p, {kPortLabelLeft, 385, 90, 17}, "Proxy Port"),
        Put("Edit_ProxyPort", p, {kPortLeft, 382, kPortWidth, 22}),
        PutLabel("Lbl_ProxyUID", p, Grid::Label(414), "User Name"),
        Put("Edit_ProxyUID", p, {kBoxLeft, 414, kBoxWidth, 22}),
        PutLabel("Lbl_ProxyPWD", p, Grid::Label(446), "Password"),
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
