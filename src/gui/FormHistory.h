#pragma once
// Tools / Transfer History: every record of the transfer logs, newest first,
// with filters (text in name, sender or receiver; type; direction; dates),
// sorting by any column, a chart of the files received and sent per day,
// copy and CSV export of what the filters found, and a double click that
// opens the folder of the delivered file. The history's index is read and
// brought up to date on a worker thread (the logs are polled while the
// window is open), so a busy mailbox's years of records never freeze it.
// Its texts are properties a language pack sets in the section
// "FormHistory" (lists separated by "|").
#include "HistoryChart.h"
#include "HistoryModel.h"
#include "history/HistoryIndex.h"

#include <QDialog>
#include <QString>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableView;

namespace kvgui {

class FormHistory : public QDialog {
    Q_OBJECT
    Q_PROPERTY(QString Columns READ Columns WRITE SetColumns)
    Q_PROPERTY(QString Directions READ Directions WRITE SetDirections)
    Q_PROPERTY(QString AllTypes MEMBER allTypes_)
    Q_PROPERTY(QString CountText MEMBER countText_)
    Q_PROPERTY(QString ReadingText MEMBER readingText_)
    Q_PROPERTY(QString NotFoundText MEMBER notFoundText_)
    Q_PROPERTY(QString UnreadableText MEMBER unreadableText_)
    Q_PROPERTY(QString ExportedText MEMBER exportedText_)

public:
    // The history of programDir's logs; iniPath tells where delivered files went.
    FormHistory(const std::string& programDir, const std::string& iniPath,
                QWidget* parent = nullptr);
    ~FormHistory() override;

    // Reads the index (and the logs' news) on the worker, then shows the rows.
    void Start();

    QString Columns() const { return columns_; }
    void SetColumns(const QString& text);
    QString Directions() const { return directions_; }
    void SetDirections(const QString& text);

    // For tests: the model, and whether no work is pending on the worker.
    HistoryModel& Model() { return *model_; }
    bool Idle() const { return pending_ == 0; }
    // The filter and sort as the controls set them now.
    kv::HistoryFilter CurrentFilter() const;
    // The chart (tests read what it shows).
    HistoryChart& Chart() const { return *chart_; }
    QString StatusText() const;

    // Asks the file for the export (tests replace it); empty cancels.
    std::function<QString()> askExportPath;
    // Opens a folder in the desktop's file manager (tests replace it).
    std::function<void(const QString& folder)> openFolder;

public slots:
    void Btn_CopyClick();
    void Btn_ExportClick();
    void Grid1DoubleClick(const QModelIndex& index);

private:
    void BuildLayout();
    void FilterChanged();
    void RunQuery();
    void ShowStatus();
    void ShowError(const QString& text);
    // Runs work on the worker thread; what it returns runs afterwards on
    // this window's thread. An error goes to the status line.
    using Then = std::function<void()>;
    void OnWorker(std::function<Then(kv::HistoryIndex&)> work);
    // Brings the index up to date (progress shown), then queries again.
    void Refresh(bool first);
    void SetTypes(const std::vector<std::string>& types);

    std::string programDir_;
    std::string iniPath_;
    QThread thread_;
    QObject* workerContext_ = nullptr;
    std::unique_ptr<kv::HistoryIndex> index_; // used on the worker thread only
    std::atomic<kv::HistoryIndex*> indexForInterrupt_{nullptr};
    std::atomic<quint64> latestGeneration_{0};
    bool ready_ = false;
    std::atomic<bool> closing_{false};
    int pending_ = 0;
    quint64 generation_ = 0;
    kv::HistorySort sort_;
    QTimer filterDelay_;
    QTimer pollTimer_;

    int64_t shown_ = 0;
    int64_t total_ = 0;
    int64_t unreadable_ = 0;
    bool reading_ = false;
    QString message_;

    QString columns_ = "Time|Direction|File Name|Size|Sender|Receiver|Type";
    QString directions_ = "All|Received|Sent";
    QString allTypes_ = "(all types)";
    QString countText_ = "%1 of %2 transfers";
    QString readingText_ = "Reading the transfer logs...";
    QString notFoundText_ = "The file is no longer in its inbox or backup folder:";
    QString unreadableText_ = "%1 lines of the transfer logs are no record and are left out.";
    QString exportedText_ = "%1 transfers exported to %2";

    HistoryModel* model_ = nullptr;
    QLineEdit* editText_ = nullptr;
    QComboBox* comboType_ = nullptr;
    QComboBox* comboDirection_ = nullptr;
    QCheckBox* checkFrom_ = nullptr;
    QCheckBox* checkUntil_ = nullptr;
    QDateEdit* dateFrom_ = nullptr;
    QDateEdit* dateUntil_ = nullptr;
    HistoryChart* chart_ = nullptr;
    QTableView* grid_ = nullptr;
    QLabel* status_ = nullptr;
    QProgressBar* progress_ = nullptr;
};

} // namespace kvgui
