// Tools / Transfer History: the window over the core's history index.
#include "FormHistory.h"

#include "history/DeliveredFile.h"
#include "history/HistoryExport.h"
#include "util/Fs.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateEdit>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

namespace kvgui {

namespace {

// How often the logs are looked at while the window is open.
constexpr int kPollMs = 2000;
// How long typing may pause before the text filter is applied.
constexpr int kTypingPauseMs = 250;

int64_t DayOf(const QDate& d) {
    return d.year() * 10000LL + d.month() * 100 + d.day();
}

} // namespace

FormHistory::FormHistory(const std::string& programDir, const std::string& iniPath, QWidget* parent)
    : QDialog(parent), programDir_(programDir), iniPath_(iniPath) {
    setObjectName("FormHistory");
    setWindowTitle("Transfer History");
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    BuildLayout();
    openFolder = [](const QString& folder) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    };
    workerContext_ = new QObject;
    workerContext_->moveToThread(&thread_);
    thread_.start();
    filterDelay_.setSingleShot(true);
    filterDelay_.setInterval(kTypingPauseMs);
    connect(&filterDelay_, &QTimer::timeout, this, &FormHistory::RunQuery);
    pollTimer_.setInterval(kPollMs);
    connect(&pollTimer_, &QTimer::timeout, this, [this] {
        if (ready_ && pending_ == 0)
            Refresh(false);
    });
}

FormHistory::~FormHistory() {
    closing_ = true;
    if (kv::HistoryIndex* index = indexForInterrupt_.load())
        index->Interrupt();
    thread_.quit();
    thread_.wait();
    delete workerContext_;
    index_.reset();
}

void FormHistory::BuildLayout() {
    auto* v = new QVBoxLayout(this);

    auto* filters = new QHBoxLayout;
    auto label = [this](const char* name, const QString& text) {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        return l;
    };
    editText_ = new QLineEdit(this);
    editText_->setObjectName("Edit_Text");
    editText_->setClearButtonEnabled(true);
    editText_->setPlaceholderText("name, sender or receiver");
    comboType_ = new QComboBox(this);
    comboType_->setObjectName("Combo_Type");
    comboType_->setMinimumContentsLength(14);
    comboType_->addItem(allTypes_);
    comboDirection_ = new QComboBox(this);
    comboDirection_->setObjectName("Combo_Direction");
    checkFrom_ = new QCheckBox("From:", this);
    checkFrom_->setObjectName("CheckFrom");
    checkUntil_ = new QCheckBox("Until:", this);
    checkUntil_->setObjectName("CheckUntil");
    const QDate today = QDate::currentDate();
    dateFrom_ = new QDateEdit(today.addMonths(-1), this);
    dateFrom_->setObjectName("Date_From");
    dateUntil_ = new QDateEdit(today, this);
    dateUntil_->setObjectName("Date_Until");
    for (QDateEdit* d : {dateFrom_, dateUntil_}) {
        d->setCalendarPopup(true);
        d->setDisplayFormat("yyyy-MM-dd");
        d->setEnabled(false);
    }
    filters->addWidget(label("Lbl_Text", "Find:"));
    filters->addWidget(editText_, 2);
    filters->addWidget(label("Lbl_Type", "Type:"));
    filters->addWidget(comboType_, 1);
    filters->addWidget(label("Lbl_Direction", "Direction:"));
    filters->addWidget(comboDirection_);
    filters->addWidget(checkFrom_);
    filters->addWidget(dateFrom_);
    filters->addWidget(checkUntil_);
    filters->addWidget(dateUntil_);
    v->addLayout(filters);

    chart_ = new HistoryChart(this);
    chart_->setObjectName("Chart1");
    chart_->setMinimumHeight(170);
    chart_->setMaximumHeight(220);
    v->addWidget(chart_);

    model_ = new HistoryModel(this);
    grid_ = new QTableView(this);
    grid_->setObjectName("Grid1");
    grid_->setModel(model_);
    grid_->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid_->setAlternatingRowColors(true);
    grid_->setWordWrap(false);
    grid_->verticalHeader()->setVisible(false);
    grid_->verticalHeader()->setDefaultSectionSize(grid_->fontMetrics().height() + 6);
    grid_->horizontalHeader()->setSortIndicator(0, Qt::DescendingOrder);
    grid_->horizontalHeader()->setSortIndicatorShown(true);
    grid_->horizontalHeader()->setSectionsClickable(true);
    grid_->horizontalHeader()->setStretchLastSection(true);
    for (int c : {0, 1, 2, 3, 4, 5})
        grid_->setColumnWidth(c, QList<int>{140, 70, 230, 80, 110, 110}[c]);
    connect(grid_->horizontalHeader(), &QHeaderView::sortIndicatorChanged, model_,
            [this](int column, Qt::SortOrder order) { model_->sort(column, order); });
    connect(grid_, &QTableView::doubleClicked, this, &FormHistory::Grid1DoubleClick);
    v->addWidget(grid_, 1);

    auto* bottom = new QHBoxLayout;
    status_ = label("Lbl_Status", "");
    progress_ = new QProgressBar(this);
    progress_->setObjectName("ProgressBar1");
    progress_->setRange(0, 1000);
    progress_->setMaximumWidth(220);
    progress_->setVisible(false);
    auto button = [this](const char* name, const QString& caption) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(name);
        b->setAutoDefault(false);
        return b;
    };
    QPushButton* copy = button("Btn_Copy", "&Copy");
    QPushButton* exportCsv = button("Btn_Export", "&Export CSV...");
    QPushButton* closeButton = button("Btn_Close", "C&lose");
    bottom->addWidget(status_, 1);
    bottom->addWidget(progress_);
    bottom->addWidget(copy);
    bottom->addWidget(exportCsv);
    bottom->addWidget(closeButton);
    v->addLayout(bottom);
    connect(copy, &QPushButton::clicked, this, &FormHistory::Btn_CopyClick);
    connect(exportCsv, &QPushButton::clicked, this, &FormHistory::Btn_ExportClick);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::close);

    connect(editText_, &QLineEdit::textChanged, this, [this] { filterDelay_.start(); });
    connect(comboType_, &QComboBox::currentIndexChanged, this, &FormHistory::FilterChanged);
    connect(comboDirection_, &QComboBox::currentIndexChanged, this, &FormHistory::FilterChanged);
    for (QCheckBox* c : {checkFrom_, checkUntil_})
        connect(c, &QCheckBox::toggled, this, [this] {
            dateFrom_->setEnabled(checkFrom_->isChecked());
            dateUntil_->setEnabled(checkUntil_->isChecked());
            FilterChanged();
        });
    for (QDateEdit* d : {dateFrom_, dateUntil_})
        connect(d, &QDateEdit::dateChanged, this, &FormHistory::FilterChanged);
    connect(model_, &HistoryModel::SortRequested, this, [this](int column, Qt::SortOrder order) {
        sort_.column = static_cast<kv::HistoryColumn>(column);
        sort_.descending = order == Qt::DescendingOrder;
        RunQuery();
    });
    model_->requestBlock = [this](quint64 generation, int block, HistoryModel::Ids ids) {
        OnWorker([this, generation, block, ids](kv::HistoryIndex& index) -> Then {
            if (generation != latestGeneration_)
                return {};
            auto rows = std::make_shared<const HistoryModel::Block>(index.Fetch(ids));
            return
                [this, generation, block, rows] { model_->BlockArrived(generation, block, rows); };
        });
    };
    SetColumns(columns_);
    SetDirections(directions_);
    resize(980, 640);
}

void FormHistory::SetColumns(const QString& text) {
    columns_ = text;
    model_->SetCaptions(columns_.split('|'), directions_.split('|'));
}

void FormHistory::SetDirections(const QString& text) {
    directions_ = text;
    const QStringList words = directions_.split('|');
    const int at = std::max(0, comboDirection_->currentIndex());
    const QSignalBlocker quiet(comboDirection_);
    comboDirection_->clear();
    for (int i = 0; i < 3; ++i)
        comboDirection_->addItem(i < words.size() ? words[i] : QString());
    comboDirection_->setCurrentIndex(at);
    chart_->SetNames(words.value(1), words.value(2));
    model_->SetCaptions(columns_.split('|'), words);
}

kv::HistoryFilter FormHistory::CurrentFilter() const {
    kv::HistoryFilter f;
    f.text = editText_->text().trimmed().toStdString();
    if (comboType_->currentIndex() > 0)
        f.type = comboType_->currentData().toString().toStdString();
    if (comboDirection_->currentIndex() == 1)
        f.direction = kv::TransferDirection::Received;
    else if (comboDirection_->currentIndex() == 2)
        f.direction = kv::TransferDirection::Sent;
    if (checkFrom_->isChecked())
        f.fromDay = DayOf(dateFrom_->date());
    if (checkUntil_->isChecked())
        f.untilDay = DayOf(dateUntil_->date());
    return f;
}

void FormHistory::OnWorker(std::function<Then(kv::HistoryIndex&)> work) {
    ++pending_;
    QMetaObject::invokeMethod(
        workerContext_,
        [this, work] {
            Then then;
            if (!closing_) {
                try {
                    if (!index_) {
                        index_ = std::make_unique<kv::HistoryIndex>(programDir_);
                        indexForInterrupt_ = index_.get();
                    }
                    then = work(*index_);
                } catch (const kv::HistoryInterrupted&) {
                } catch (const std::exception& e) {
                    const QString text = QString::fromStdString(e.what());
                    then = [this, text] { ShowError(text); };
                }
            }
            QMetaObject::invokeMethod(
                this,
                [this, then] {
                    --pending_;
                    if (then)
                        then();
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void FormHistory::Start() {
    Refresh(true);
    pollTimer_.start();
}

void FormHistory::Refresh(bool first) {
    OnWorker([this, first](kv::HistoryIndex& index) -> Then {
        if (!first && !index.NeedsRefresh())
            return {};
        QElapsedTimer shown;
        shown.start();
        bool announced = false;
        const kv::RefreshResult news = index.Refresh([&](int64_t done, int64_t total) {
            // A long read shows its progress; a few new lines do not flicker.
            if (total < (1 << 20) || (shown.elapsed() < 100 && done != 0))
                return;
            shown.restart();
            const int value = static_cast<int>(total > 0 ? done * 1000 / total : 0);
            const bool begin = !announced;
            announced = true;
            QMetaObject::invokeMethod(
                this,
                [this, value, begin] {
                    if (begin) {
                        reading_ = true;
                        progress_->setVisible(true);
                        ShowStatus();
                    }
                    progress_->setValue(value);
                },
                Qt::QueuedConnection);
        });
        auto types = index.Types();
        const int64_t bad = index.UnreadableLines();
        const int64_t total = index.Count();
        const QString warning = QString::fromStdString(index.Warning());
        // A line still being written at a log's end is looked at again
        // without asking anything new of the index.
        const bool changed = first || news.added > 0 || news.removed > 0 || news.rebuilt;
        return [this, types, bad, total, warning, first, changed] {
            reading_ = false;
            progress_->setVisible(false);
            unreadable_ = bad;
            total_ = total;
            if (first && !warning.isEmpty())
                message_ = warning;
            if (!changed) {
                ShowStatus();
                return;
            }
            SetTypes(types);
            ready_ = true;
            RunQuery();
        };
    });
}

void FormHistory::SetTypes(const std::vector<std::string>& types) {
    const QString chosen =
        comboType_->currentIndex() > 0 ? comboType_->currentData().toString() : QString();
    const QSignalBlocker quiet(comboType_);
    comboType_->clear();
    comboType_->addItem(allTypes_);
    for (const std::string& t : types) {
        const QString text = QString::fromStdString(t);
        comboType_->addItem(text, text);
    }
    const int at = chosen.isEmpty() ? 0 : comboType_->findData(chosen);
    comboType_->setCurrentIndex(std::max(0, at));
}

void FormHistory::FilterChanged() {
    filterDelay_.stop();
    RunQuery();
}

void FormHistory::RunQuery() {
    if (!ready_)
        return;
    const quint64 generation = ++generation_;
    latestGeneration_ = generation;
    // A query still running for filters that changed meanwhile is given up.
    if (kv::HistoryIndex* index = indexForInterrupt_.load())
        index->Interrupt();
    const kv::HistoryFilter filter = CurrentFilter();
    const kv::HistorySort sort = sort_;
    OnWorker([this, generation, filter, sort](kv::HistoryIndex& index) -> Then {
        if (generation != latestGeneration_)
            return {};
        kv::HistoryIndex::Found found = index.Query(filter, sort);
        auto ids = std::make_shared<const HistoryModel::Ids>(std::move(found.ids));
        const std::vector<kv::DayCount> days =
            kv::ContinuousDays(found.days, filter.fromDay, filter.untilDay);
        const size_t firstRows = std::min<size_t>(ids->size(), HistoryModel::kBlockRows);
        auto first = std::make_shared<const HistoryModel::Block>(index.Fetch(
            HistoryModel::Ids(ids->begin(), ids->begin() + static_cast<long>(firstRows))));
        return [this, generation, ids, days, first] {
            if (generation != generation_)
                return;
            model_->SetResult(generation, ids);
            model_->BlockArrived(generation, 0, first);
            shown_ = static_cast<int64_t>(ids->size());
            chart_->Show(days);
            ShowStatus();
        };
    });
}

QString FormHistory::StatusText() const {
    return status_->text();
}

void FormHistory::ShowStatus() {
    QString text = reading_ ? readingText_ : countText_.arg(shown_).arg(total_);
    if (unreadable_ > 0 && !reading_)
        text += "  " + unreadableText_.arg(unreadable_);
    if (!message_.isEmpty())
        text += "  " + message_;
    status_->setText(text);
}

void FormHistory::ShowError(const QString& text) {
    reading_ = false;
    progress_->setVisible(false);
    message_ = text;
    ShowStatus();
}

void FormHistory::Btn_CopyClick() {
    HistoryModel::Ids ids;
    const QModelIndexList rows = grid_->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        for (int r = 0; r < model_->rowCount(); ++r)
            ids.push_back(model_->IdAt(r));
    } else {
        std::vector<int> sorted;
        for (const QModelIndex& i : rows)
            sorted.push_back(i.row());
        std::sort(sorted.begin(), sorted.end());
        for (int r : sorted)
            ids.push_back(model_->IdAt(r));
    }
    OnWorker([ids](kv::HistoryIndex& index) -> Then {
        const QString text = QString::fromStdString(kv::RecordsCsv(index.Fetch(ids)));
        return [text] { QApplication::clipboard()->setText(text); };
    });
}

void FormHistory::Btn_ExportClick() {
    const QString path =
        askExportPath
            ? askExportPath()
            : QFileDialog::getSaveFileName(this, windowTitle(), "history.csv", "CSV (*.csv);;*");
    if (path.isEmpty())
        return;
    const kv::HistoryFilter filter = CurrentFilter();
    const kv::HistorySort sort = sort_;
    const std::string target = path.toStdString();
    OnWorker([this, filter, sort, target, path](kv::HistoryIndex& index) -> Then {
        const int64_t n = kv::ExportHistoryCsv(index, filter, sort, target);
        return [this, n, path] {
            message_ = exportedText_.arg(n).arg(path);
            ShowStatus();
        };
    });
}

void FormHistory::Grid1DoubleClick(const QModelIndex& index) {
    const std::optional<kv::TransferRecord> r = model_->RecordAt(index.row());
    if (!r)
        return;
    std::string found;
    try {
        found = kv::FindDeliveredFile(iniPath_, *r);
    } catch (const std::exception& e) {
        ShowError(QString::fromStdString(e.what()));
        return;
    }
    if (found.empty()) {
        message_ = notFoundText_ + " " + QString::fromStdString(r->name);
        ShowStatus();
        return;
    }
    message_.clear();
    ShowStatus();
    openFolder(QString::fromStdString(kv::FolderOf(found)));
}

} // namespace kvgui
