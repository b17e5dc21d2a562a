// The download wizard's window.
#include "UpgradeWizard.h"

#include "upgrade/Decision.h"
#include "upgrade/WizardTexts.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace kvgui {

namespace {

QLabel* AddLabel(QVBoxLayout* layout, QWidget* parent, const char* name) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    layout->addWidget(label);
    return label;
}

QProgressBar* AddBar(QVBoxLayout* layout, QWidget* parent, const char* name) {
    auto* bar = new QProgressBar(parent);
    bar->setObjectName(name);
    bar->setRange(0, 100);
    layout->addWidget(bar);
    return bar;
}

QString Text(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

UpgradeWizard::UpgradeWizard(QWidget* parent) : QDialog(parent) {
    setObjectName("UpgradeWizard");
    setWindowTitle(kv::kUpdateWizardCaption);
    setModal(false);
    auto* layout = new QVBoxLayout(this);
    url_ = AddLabel(layout, this, "Lbl_Url");
    url_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    downloading_ = AddLabel(layout, this, "Lbl_Downloading");
    size_ = AddLabel(layout, this, "Lbl_FileSize");
    rate_ = AddLabel(layout, this, "Lbl_TransferRate");
    timeLeft_ = AddLabel(layout, this, "Lbl_TimeLeft");
    current_ = AddBar(layout, this, "Bar_Current");
    overall_ = AddBar(layout, this, "Bar_Overall");
    cancel_ = new QPushButton("Cancel", this);
    cancel_->setObjectName("Btn_Cancel");
    layout->addWidget(cancel_, 0, Qt::AlignRight);
    connect(cancel_, &QPushButton::clicked, this, &UpgradeWizard::reject);
    setMinimumWidth(420);
}

void UpgradeWizard::ShowFile(const QString& url, int i, int n) {
    url_->setText(url);
    downloading_->setText(Text(kv::DownloadingText(i, n)));
    size_->setText(Text(kv::FileSizeText(0)));
    rate_->setText(Text(kv::TransferRateText(0)));
    timeLeft_->setText(Text(kv::TimeLeftText(0)));
    current_->setValue(0);
    overall_->setValue(kv::OverallPercent(i, n, 0));
}

void UpgradeWizard::ShowProgress(int64_t received, int64_t total, double bytesPerSecond, int i,
                                 int n) {
    size_->setText(Text(kv::FileSizeText(total >= 0 ? total : received)));
    rate_->setText(Text(kv::TransferRateText(bytesPerSecond)));
    timeLeft_->setText(Text(kv::TimeLeftText(kv::SecondsLeft(received, total, bytesPerSecond))));
    const int percent = total > 0 ? static_cast<int>(received * 100 / total) : 0;
    current_->setValue(percent);
    overall_->setValue(kv::OverallPercent(i, n, percent));
}

void UpgradeWizard::ShowComplete() {
    downloading_->setText("Download complete.");
    timeLeft_->setText(Text(kv::TimeLeftText(0)));
    current_->setValue(100);
    overall_->setValue(100);
    cancel_->setEnabled(false);
}

void UpgradeWizard::reject() {
    emit CancelRequested();
}

} // namespace kvgui
