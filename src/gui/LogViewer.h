#pragma once
// A read-only viewer for one log file. It reads the file whole and closes it
// at once (so the program and the companions keep writing), indexes the line
// starts, and shows lines only as they are scrolled into view, so a log of
// hundreds of megabytes opens in a moment. Refresh reads the file again.
#include <QAbstractListModel>
#include <QByteArray>
#include <QWidget>
#include <vector>

class QLabel;
class QListView;

namespace kvgui {

class LogLinesModel : public QAbstractListModel {
    Q_OBJECT

public:
    using QAbstractListModel::QAbstractListModel;
    // Replaces the text; false (and no lines) when the file cannot be read.
    bool Load(const QString& path, QString& why);
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    QByteArray text_;
    std::vector<qsizetype> starts_; // offset of each line in text_
};

class LogViewer : public QWidget {
    Q_OBJECT

public:
    LogViewer(const QString& path, const QString& title, QWidget* parent = nullptr);
    int LineCount() const { return model_->rowCount(); }
    QString Line(int row) const;

public slots:
    void Refresh();

private:
    QString path_;
    LogLinesModel* model_;
    QListView* view_;
    QLabel* info_;
};

} // namespace kvgui
