#pragma once
// The main window's upgrade component (auAutoUpgrader1): fetches the
// information file, decides through the core, asks, downloads the files one
// after another into their working files with the wizard, and hands them to
// the updater. Every transfer runs in Qt Network without blocking the window;
// boxes go through UpgradeBoxes.
#include "UpgradeBoxes.h"
#include "UpgradeTransfer.h"
#include "upgrade/Decision.h"
#include "upgrade/Failures.h"
#include "upgrade/HandOver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <memory>
#include <string>

class QAuthenticator;

namespace kv {
class UpgradePlan;
}

namespace kvgui {

class UpgradeWizard;

// Where the upgrade works: the running program (program files go beside
// it), the installed updater, the temporary folder for its copy, the program
// folder (update script, language packs, the list and record of upgrades),
// and the package manager's file lists.
struct UpgradeLocations {
    std::string programPath = kv::RunningExecutablePath();
    std::string installedUpdater = kv::InstalledUpdaterPath();
    std::string tempRoot = kv::TemporaryFolder();
    std::string home = kv::ProgramFolder();
    std::string packageDatabase = kv::kPackageDatabase;
};

// The whole fetch of the information file must end within this.
inline constexpr int kInfoFileDeadlineMs = 60000;
// A download must bring at least this much in every minute.
inline constexpr int64_t kMinDownloadBytesPerMinute = 16 * 1024;

// The wizard's language: automatic follows the system's language, English is
// fixed. The wizard has English texts only, so both show English.
enum class WizardLanguage { wlAuto, wlEnglish };

class UpgradeCheck : public QObject {
    Q_OBJECT

public:
    // owner: the main window, parent of the boxes and the wizard. Removes the
    // updater copies earlier upgrades left in the temporary folder.
    explicit UpgradeCheck(QWidget* owner);
    ~UpgradeCheck() override;

    kv::UpgradeSettings settings;
    bool wizardEnabled = false;
    WizardLanguage wizardLanguage = WizardLanguage::wlEnglish;
    UpgradeLocations locations;
    TransferLimits infoLimits{kv::kMaxInfoFileBytes, kInfoFileDeadlineMs, 60000, 0};
    TransferLimits downloadLimits{kv::kMaxDownloadBytes, 0, 60000, kMinDownloadBytesPerMinute};

    void SetBoxes(std::unique_ptr<UpgradeBoxes> boxes) { boxes_ = std::move(boxes); }

    // Starts the check against settings.infoFileUrl; does nothing while a
    // check is running.
    void CheckUpdate();
    bool Running() const { return stage_ != Stage::Idle; }
    // The wizard while it is shown, else null.
    UpgradeWizard* Wizard() const;

signals:
    // The updater runs and waits for the program to end: close the window.
    void HandedOver();
    // The check ended without a hand-over; the component is idle again.
    void CheckEnded();
    // A line for the program's log (without its time stamp and prefix): what
    // the check did without asking, and the failures it showed.
    void LogLine(const QString& text, bool error);

private:
    enum class Stage { Idle, FetchingInfo, Deciding, Downloading, HandedOver };

    void InfoFileArrived(const TransferResult& result);
    void Decide(const QByteArray& text);
    void DownloadNext();
    void FileArrived(const TransferResult& result);
    void ShowProgress(qint64 received, qint64 total);
    void HandOver();
    void CancelFromWizard();
    void AskCredentials(QNetworkReply* reply, QAuthenticator* authenticator);

    // Shows the failure's box as the table allows; returns the effect, which
    // is AskSkipOrAbort only when the lost-file question was answered Yes.
    kv::FailureEffect Report(kv::UpgradeFailure failure, const std::string& arg, int httpStatus);
    // A failure of the table, on the transfer's outcome; true when the
    // download goes on (a skipped file).
    bool ReportTransferFailure(const TransferResult& result, const std::string& fileName,
                               const std::string& host);
    void ShowError(const QString& text);
    // Ends the check; AbortDeleteFiles deletes the working files first.
    void Finish(kv::FailureEffect effect);
    void DropTransfer();

    QWidget* owner_;
    std::unique_ptr<UpgradeBoxes> boxes_;
    QNetworkAccessManager network_;
    Stage stage_ = Stage::Idle;
    QPointer<UpgradeTransfer> transfer_;
    std::unique_ptr<kv::UpgradePlan> plan_;
    std::unique_ptr<QFile> file_;
    size_t index_ = 0;
    int method_ = 0;
    int authAttempts_ = 0;
    QElapsedTimer fileClock_;
    QPointer<UpgradeWizard> wizard_;
};

} // namespace kvgui
