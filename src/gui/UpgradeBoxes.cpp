// The upgrade check's boxes as Qt shows them.
#include "UpgradeBoxes.h"

#include "upgrade/Decision.h"

#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

namespace kvgui {

QWidget* QtUpgradeBoxes::Parent() const {
    return owner_ && owner_->isVisible() ? owner_.data() : nullptr;
}

void QtUpgradeBoxes::Show(Kind kind, const QString& caption, const QString& text) {
    if (kind == Kind::Information)
        QMessageBox::information(Parent(), caption, text);
    else
        QMessageBox::critical(Parent(), caption, text);
}

bool QtUpgradeBoxes::AskUpgrade(const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::NoButton, Parent());
    QPushButton* yes = box.addButton(QString(kv::kAskYesButton), QMessageBox::YesRole);
    QPushButton* later = box.addButton(QString(kv::kAskLaterButton), QMessageBox::RejectRole);
    box.setDefaultButton(yes);
    box.setEscapeButton(later);
    box.exec();
    return box.clickedButton() == yes;
}

bool QtUpgradeBoxes::AskYesNo(const QString& caption, const QString& text) {
    return QMessageBox::question(Parent(), caption, text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

bool QtUpgradeBoxes::AskCredentials(const QString& host, const QString& realm, QString* user,
                                    QString* password) {
    QDialog dialog(Parent());
    dialog.setWindowTitle(QString(kv::kUpdateWizardCaption));
    auto* form = new QFormLayout(&dialog);
    form->addRow(
        new QLabel(QString("%1 asks for a user name and password (%2).").arg(host, realm)));
    auto* userEdit = new QLineEdit(*user, &dialog);
    auto* passwordEdit = new QLineEdit(&dialog);
    passwordEdit->setEchoMode(QLineEdit::Password);
    form->addRow("User name:", userEdit);
    form->addRow("Password:", passwordEdit);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    *user = userEdit->text();
    *password = passwordEdit->text();
    return true;
}

void QtUpgradeBoxes::OpenUrl(const QString& url) {
    QDesktopServices::openUrl(QUrl(url));
}

} // namespace kvgui
