#include "LogViewer.h"

#include "DisplayText.h"

#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstring>

namespace kvgui {

bool LogLinesModel::Load(const QString& path, QString& why) {
    beginResetModel();
    text_.clear();
    starts_.clear();
    QFile file(path);
    bool ok = file.open(QIODevice::ReadOnly);
    if (ok)
        text_ = file.readAll();
    else
        why = file.errorString();
    file.close();
    const char* p = text_.constData();
    const qsizetype n = text_.size();
    for (qsizetype at = 0; at < n;) {
        starts_.push_back(at);
        const void* nl = std::memchr(p + at, '\n', static_cast<size_t>(n - at));
        at = nl ? static_cast<const char*>(nl) - p + 1 : n;
    }
    endResetModel();
    return ok;
}

int LogLinesModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(starts_.size());
}

QVariant LogLinesModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount())
        return {};
    const size_t row = static_cast<size_t>(index.row());
    const qsizetype begin = starts_[row];
    qsizetype end = row + 1 < starts_.size() ? starts_[row + 1] : text_.size();
    while (end > begin && (text_[end - 1] == '\n' || text_[end - 1] == '\r'))
        --end;
    return DisplayText(std::string_view(text_.constData() + begin, end - begin));
}

LogViewer::LogViewer(const QString& path, const QString& title, QWidget* parent)
    : QWidget(parent, Qt::Window), path_(path), model_(new LogLinesModel(this)),
      view_(new QListView(this)), info_(new QLabel(this)) {
    setObjectName("FormLogViewer");
    setWindowTitle(title + " - " + path);
    view_->setObjectName("LogLines");
    view_->setUniformItemSizes(true);
    view_->setModel(model_);
    view_->setFont(QFont("Monospace"));
    auto* refresh = new QPushButton(tr("&Refresh"), this);
    refresh->setObjectName("Btn_Refresh");
    auto* closeButton = new QPushButton(tr("&Close"), this);
    closeButton->setObjectName("Btn_Close");
    connect(refresh, &QPushButton::clicked, this, &LogViewer::Refresh);
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(info_, 1);
    buttons->addWidget(refresh);
    buttons->addWidget(closeButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(view_);
    layout->addLayout(buttons);
    resize(760, 480);
    Refresh();
}

QString LogViewer::Line(int row) const {
    return model_->data(model_->index(row), Qt::DisplayRole).toString();
}

void LogViewer::Refresh() {
    QString why;
    if (model_->Load(path_, why))
        info_->setText(tr("%1 lines").arg(model_->rowCount()));
    else
        info_->setText(tr("Cannot read %1: %2").arg(path_, why));
    view_->scrollToBottom();
}

} // namespace kvgui
