#pragma once
// The history window's table: the ids of the records a query found, with
// their rows fetched by blocks from the history's worker thread as the view
// shows them, so a million rows cost only their ids.
#include "history/TransferRecord.h"

#include <QAbstractTableModel>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace kvgui {

class HistoryModel : public QAbstractTableModel {
    Q_OBJECT

public:
    static constexpr int kBlockRows = 256;
    using Ids = std::vector<int64_t>;
    using Block = std::vector<kv::TransferRecord>;

    explicit HistoryModel(QObject* parent = nullptr);

    // Asks for the rows of a block: the ids of the block's rows; the answer
    // comes through BlockArrived with the same generation.
    std::function<void(quint64 generation, int block, Ids ids)> requestBlock;

    void SetResult(quint64 generation, std::shared_ptr<const Ids> ids);
    void BlockArrived(quint64 generation, int block, std::shared_ptr<const Block> rows);
    void SetCaptions(const QStringList& columns, const QStringList& directions);

    quint64 Generation() const { return generation_; }
    int64_t IdAt(int row) const { return (*ids_)[static_cast<size_t>(row)]; }
    // The record of a row when its block is here.
    std::optional<kv::TransferRecord> RecordAt(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void sort(int column, Qt::SortOrder order) override;

signals:
    void SortRequested(int column, Qt::SortOrder order);

private:
    const Block* BlockOf(int row) const;

    quint64 generation_ = 0;
    std::shared_ptr<const Ids> ids_;
    mutable std::map<int, std::shared_ptr<const Block>> blocks_;
    mutable std::map<int, bool> asked_;
    QStringList columns_;
    QStringList directions_;
};

} // namespace kvgui
