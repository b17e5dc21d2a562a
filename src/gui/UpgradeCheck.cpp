// The upgrade component: information file, decision, downloads, hand-over.
#include "UpgradeCheck.h"

#include "DisplayText.h"
#include "UpgradeWizard.h"
#include "upgrade/InfoFile.h"
#include "upgrade/InstalledRecord.h"
#include "upgrade/Sha256.h"
#include "upgrade/UpgradePlan.h"
#include "util/Fs.h"

#include <QAuthenticator>
#include <QNetworkReply>
#include <QUrl>
#include <ctime>
#include <unistd.h>

namespace kvgui {

namespace {

constexpr const char* kAppTitle = "Korvane";
// Wrong names and passwords are asked for again at most this often per check.
constexpr int kMaxCredentialAsks = 3;

std::string HostOf(const std::string& url) {
    return QUrl(QString::fromStdString(url)).host().toStdString();
}

QString InsecureText(const std::string& host, const QString& detail) {
    return QString("The secure connection to %1 failed: %2\n\nThe server could not prove "
                   "its identity, so nothing was downloaded. Please check\nthe computer's "
                   "date and try to upgrade this software again later.")
        .arg(QString::fromStdString(host), detail);
}

// A redirect (or an address) that leads out of the web: refused, not lost.
QString NotWebText(const std::string& host, const TransferResult& result) {
    const QString where = result.httpStatus == 0
                              ? QString("The upgrade check was to read %1")
                              : QString("The server %1 sent the upgrade check on to %2")
                                    .arg(QString::fromStdString(host));
    return where.arg(result.detail) +
           ", which is not an HTTP or HTTPS address with a server, so it was refused and "
           "nothing was downloaded.\n\nPlease try to upgrade this software again later.";
}

QString WriteFailedText(const std::string& path, const QString& detail) {
    return QString("Cannot write %1: %2\n\nThe upgrade was stopped and nothing was changed.")
        .arg(QString::fromStdString(path), detail);
}

} // namespace

UpgradeCheck::UpgradeCheck(QWidget* owner)
    : QObject(owner), owner_(owner), boxes_(std::make_unique<QtUpgradeBoxes>(owner)) {
    kv::RemoveLeftoverUpdaters(locations.tempRoot);
    connect(&network_, &QNetworkAccessManager::authenticationRequired, this,
            &UpgradeCheck::AskCredentials);
}

UpgradeCheck::~UpgradeCheck() {
    // The program ends during a download: what arrived is of no use.
    if (stage_ == Stage::Downloading) {
        DropTransfer();
        file_.reset();
        plan_->AbortAndClean();
    }
}

UpgradeWizard* UpgradeCheck::Wizard() const {
    return wizard_;
}

void UpgradeCheck::CheckUpdate() {
    if (stage_ != Stage::Idle)
        return;
    stage_ = Stage::FetchingInfo;
    authAttempts_ = 0;
    transfer_ = new UpgradeTransfer(network_, QUrl(QString::fromStdString(settings.infoFileUrl)),
                                    infoLimits, nullptr, this);
    connect(transfer_, &UpgradeTransfer::Finished, this, &UpgradeCheck::InfoFileArrived);
}

void UpgradeCheck::InfoFileArrived(const TransferResult& result) {
    const QByteArray text = transfer_ ? transfer_->Body() : QByteArray();
    DropTransfer();
    if (result.outcome == TransferOutcome::Done) {
        Decide(text);
        return;
    }
    if (result.outcome == TransferOutcome::TooLarge) {
        ShowError(QString::fromStdString(kv::InfoFileTooLargeMessage()));
        Finish(kv::FailureEffect::EndCheck);
        return;
    }
    ReportTransferFailure(result, "", HostOf(settings.infoFileUrl));
}

void UpgradeCheck::Decide(const QByteArray& text) {
    stage_ = Stage::Deciding;
    const std::string_view body(text.constData(), text.size());
    kv::InfoFile info;
    try {
        info = kv::ParseInfoFile(body);
    } catch (const kv::UpgradeError& e) {
        ShowError(DisplayText(e.what()));
        Finish(kv::FailureEffect::EndCheck);
        return;
    }
    const kv::UpgradeDecision d = kv::Decide(info, settings, kAppTitle, std::time(nullptr));
    if (!d.available) {
        if (d.showNoUpdate)
            boxes_->Show(UpgradeBoxes::Kind::Information, kAppTitle,
                         QString::fromStdString(kv::NoUpdateText()));
        Finish(kv::FailureEffect::EndCheck);
        return;
    }
    // The same published upgrade again after it was put in place: it does not
    // make the published version, so it is said once and never fetched again.
    const std::string digest = kv::Sha256OfText(body);
    const std::string identity = kv::VersionIdentity(settings.versionNumber, settings.versionDate);
    switch (kv::JudgeRepeat(locations.home, digest, identity)) {
    case kv::RepeatVerdict::ReportNow: {
        const std::string why = kv::NotRaisedText(info.version, settings.versionNumber);
        ShowError(DisplayText(why));
        Finish(kv::FailureEffect::EndCheck);
        return;
    }
    case kv::RepeatVerdict::AlreadyReported:
        Finish(kv::FailureEffect::EndCheck);
        return;
    case kv::RepeatVerdict::NotARepeat:
        break;
    }
    // Before the question: an upgrade that cannot be installed is not offered.
    try {
        if (!d.refusal.empty())
            throw kv::UpgradeError(d.refusal);
        if (d.method != 2)
            plan_ = std::make_unique<kv::UpgradePlan>(
                info,
                kv::UpgradeTarget{locations.programPath, locations.home, locations.packageDatabase},
                digest, identity);
    } catch (const kv::UpgradeError& e) {
        ShowError(DisplayText(e.what()));
        Finish(kv::FailureEffect::EndCheck);
        return;
    }
    if (d.ask && !boxes_->AskUpgrade(kv::kUpdateWizardCaption, DisplayText(d.question))) {
        Finish(kv::FailureEffect::EndCheck); // Later
        return;
    }
    if (d.method == 2) {
        // Nothing is opened that the user did not ask for.
        if (d.ask)
            boxes_->OpenUrl(DisplayText(d.browserUrl));
        else
            emit LogLine(DisplayText(kv::BrowserOnlyText(d.browserUrl)), false);
        Finish(kv::FailureEffect::EndCheck);
        return;
    }
    method_ = d.method;
    stage_ = Stage::Downloading;
    index_ = 0;
    if (wizardEnabled) {
        wizard_ = new UpgradeWizard(owner_);
        connect(wizard_, &UpgradeWizard::CancelRequested, this, &UpgradeCheck::CancelFromWizard);
        wizard_->show();
    }
    DownloadNext();
}

void UpgradeCheck::DownloadNext() {
    const auto& list = plan_->Downloads();
    if (index_ >= list.size()) {
        HandOver();
        return;
    }
    const kv::PlannedDownload& d = list[index_];
    int fd = -1;
    try {
        fd = plan_->CreateWorkingFile(index_);
    } catch (const kv::UpgradeError& e) {
        ShowError(DisplayText(e.what()) + "\n\nThe upgrade was stopped and nothing was changed.");
        Finish(kv::FailureEffect::AbortDeleteFiles);
        return;
    }
    file_ = std::make_unique<QFile>();
    if (!file_->open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        ShowError(WriteFailedText(d.workPath, file_->errorString()));
        Finish(kv::FailureEffect::AbortDeleteFiles);
        return;
    }
    if (wizard_)
        wizard_->ShowFile(DisplayText(d.url), static_cast<int>(index_ + 1),
                          static_cast<int>(list.size()));
    fileClock_.start();
    transfer_ = new UpgradeTransfer(network_, QUrl(QString::fromStdString(d.url)), downloadLimits,
                                    file_.get(), this);
    connect(transfer_, &UpgradeTransfer::Progress, this, &UpgradeCheck::ShowProgress);
    connect(transfer_, &UpgradeTransfer::Finished, this, &UpgradeCheck::FileArrived);
}

void UpgradeCheck::ShowProgress(qint64 received, qint64 total) {
    if (!wizard_ || !plan_)
        return;
    const double seconds = static_cast<double>(fileClock_.elapsed()) / 1000.0;
    const double rate = seconds > 0 ? static_cast<double>(received) / seconds : 0;
    wizard_->ShowProgress(received, total, rate, static_cast<int>(index_ + 1),
                          static_cast<int>(plan_->Downloads().size()));
}

void UpgradeCheck::FileArrived(const TransferResult& result) {
    DropTransfer();
    file_.reset(); // closes the working file
    const kv::PlannedDownload& d = plan_->Downloads()[index_];
    if (result.outcome == TransferOutcome::Done) {
        try {
            plan_->AcceptFinished(index_);
        } catch (const kv::UpgradeError& e) {
            ShowError(DisplayText(e.what()));
            Finish(kv::FailureEffect::AbortDeleteFiles);
            return;
        }
    } else if (ReportTransferFailure(result, d.name, HostOf(d.url))) {
        plan_->Skip(index_);
    } else {
        return;
    }
    ++index_;
    DownloadNext();
}

bool UpgradeCheck::ReportTransferFailure(const TransferResult& result, const std::string& fileName,
                                         const std::string& host) {
    using kv::FailureEffect;
    using kv::UpgradeFailure;
    const bool infoFile = stage_ == Stage::FetchingInfo;
    FailureEffect effect = FailureEffect::EndCheck;
    switch (result.outcome) {
    case TransferOutcome::Done:
        return true;
    case TransferOutcome::HttpError:
        effect = infoFile ? Report(UpgradeFailure::NoInfoFile, "", result.httpStatus)
                          : Report(UpgradeFailure::LostFile, fileName, result.httpStatus);
        break;
    case TransferOutcome::HostUnreachable:
        effect = Report(UpgradeFailure::HostUnreachable, host, 0);
        break;
    case TransferOutcome::ConnLost:
    case TransferOutcome::TooSlow: // a server that trickles is as good as lost
        effect = Report(UpgradeFailure::ConnLost, "", 0);
        break;
    case TransferOutcome::AuthCancelled:
        effect = Report(UpgradeFailure::PasswordCancelled, "", 0);
        break;
    case TransferOutcome::TooLarge:
        effect = Report(UpgradeFailure::TooLarge, fileName, 0);
        break;
    case TransferOutcome::Insecure:
        ShowError(InsecureText(host, result.detail));
        effect = FailureEffect::EndKeepFiles;
        break;
    case TransferOutcome::NotWeb:
        ShowError(NotWebText(host, result));
        effect = FailureEffect::AbortDeleteFiles;
        break;
    case TransferOutcome::WriteFailed:
        // Only a download writes; its working file is closed by now.
        ShowError(
            WriteFailedText(plan_ ? plan_->Downloads()[index_].workPath : fileName, result.detail));
        effect = FailureEffect::AbortDeleteFiles;
        break;
    case TransferOutcome::Cancelled:
        effect = FailureEffect::AbortDeleteFiles;
        break;
    }
    if (effect == FailureEffect::AskSkipOrAbort)
        return true;
    Finish(effect);
    return false;
}

kv::FailureEffect UpgradeCheck::Report(kv::UpgradeFailure failure, const std::string& arg,
                                       int httpStatus) {
    const kv::FailureRule& rule = kv::RuleFor(failure);
    const bool allowed = kv::MayShow(rule, settings.showMessages);
    const QString text = DisplayText(kv::FailureText(failure, arg));
    if (rule.question) {
        const bool yes =
            allowed &&
            boxes_->AskYesNo(QString::fromStdString(kv::LostFileCaption(httpStatus)), text);
        return yes ? rule.effect : kv::EffectWithoutYes(failure);
    }
    if (allowed)
        boxes_->Show(UpgradeBoxes::Kind::Error, kAppTitle, text);
    return rule.effect;
}

void UpgradeCheck::ShowError(const QString& text) {
    // Logged, and shown even with message boxes off: a refused or failed
    // upgrade must not pass unnoticed.
    emit LogLine(QString(text).replace('\n', ' ').simplified(), true);
    boxes_->Show(UpgradeBoxes::Kind::Error, kAppTitle, text);
}

void UpgradeCheck::HandOver() {
    if (wizard_)
        wizard_->ShowComplete();
    try {
        kv::HandOverToUpdater(*plan_, locations.programPath, settings.restartParams, method_,
                              locations.installedUpdater, locations.tempRoot);
    } catch (const kv::UpgradeError& e) {
        ShowError(DisplayText(e.what()));
        Finish(kv::FailureEffect::AbortDeleteFiles);
        return;
    }
    stage_ = Stage::HandedOver; // no new check until the program ends
    plan_.reset();
    emit HandedOver();
}

void UpgradeCheck::CancelFromWizard() {
    if (stage_ != Stage::Downloading)
        return;
    if (transfer_)
        transfer_->Cancel(); // ends in FileArrived, which aborts
    else
        Finish(kv::FailureEffect::AbortDeleteFiles);
}

void UpgradeCheck::AskCredentials(QNetworkReply* reply, QAuthenticator* authenticator) {
    // Left unanswered, the transfer ends as a cancelled password dialog.
    if ((settings.showMessages & kv::mPasswordRequest) == 0 || ++authAttempts_ > kMaxCredentialAsks)
        return;
    QString user = authenticator->user();
    QString password;
    if (boxes_->AskCredentials(reply->url().host(), authenticator->realm(), &user, &password)) {
        authenticator->setUser(user);
        authenticator->setPassword(password);
    }
}

void UpgradeCheck::Finish(kv::FailureEffect effect) {
    DropTransfer();
    file_.reset();
    if (effect == kv::FailureEffect::AbortDeleteFiles && plan_)
        plan_->AbortAndClean();
    plan_.reset();
    if (wizard_) {
        wizard_->hide();
        wizard_->deleteLater();
        wizard_ = nullptr;
    }
    stage_ = Stage::Idle;
    emit CheckEnded();
}

void UpgradeCheck::DropTransfer() {
    if (transfer_) {
        transfer_->disconnect(this);
        transfer_->deleteLater();
        transfer_ = nullptr;
    }
}

} // namespace kvgui
