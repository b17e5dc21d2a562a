#pragma once
// The download wizard of the upgrade check: the URL and "Downloading %d of %d",
// the file's size, the transfer rate, the time left, the current file's and
// the whole download's percentage, and a Cancel button. It only shows; the
// upgrade check drives it.
#include <QDialog>
#include <cstdint>

class QLabel;
class QProgressBar;
class QPushButton;

namespace kvgui {

class UpgradeWizard : public QDialog {
    Q_OBJECT

public:
    explicit UpgradeWizard(QWidget* parent);

    // File i of n (counted from 1) starts.
    void ShowFile(const QString& url, int i, int n);
    // received of total bytes (total < 0: not announced) of file i of n.
    void ShowProgress(int64_t received, int64_t total, double bytesPerSecond, int i, int n);
    void ShowComplete();

signals:
    // Cancel or the window's close button: the upgrade is to be aborted.
    void CancelRequested();

protected:
    void reject() override;

private:
    QLabel* url_ = nullptr;
    QLabel* downloading_ = nullptr;
    QLabel* size_ = nullptr;
    QLabel* rate_ = nullptr;
    QLabel* timeLeft_ = nullptr;
    QProgressBar* current_ = nullptr;
    QProgressBar* overall_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

} // namespace kvgui
