// The history window's table model over the ids of a query's records.
#include "HistoryModel.h"

namespace kvgui {

namespace {

// Blocks kept at most (the rest are fetched again when scrolled back to).
constexpr size_t kKeptBlocks = 64;

} // namespace

HistoryModel::HistoryModel(QObject* parent)
    : QAbstractTableModel(parent), ids_(std::make_shared<Ids>()) {}

void HistoryModel::SetResult(quint64 generation, std::shared_ptr<const Ids> ids) {
    beginResetModel();
    generation_ = generation;
    ids_ = ids ? std::move(ids) : std::make_shared<Ids>();
    blocks_.clear();
    asked_.clear();
    endResetModel();
}

void HistoryModel::BlockArrived(quint64 generation, int block, std::shared_ptr<const Block> rows) {
    if (generation != generation_)
        return;
    if (blocks_.size() >= kKeptBlocks)
        blocks_.clear();
    blocks_[block] = std::move(rows);
    asked_.erase(block);
    const int first = block * kBlockRows;
    const int last = std::min(rowCount() - 1, first + kBlockRows - 1);
    if (last >= first)
        emit dataChanged(index(first, 0), index(last, columnCount() - 1));
}

void HistoryModel::SetCaptions(const QStringList& columns, const QStringList& directions) {
    columns_ = columns;
    directions_ = directions;
    emit headerDataChanged(Qt::Horizontal, 0, columnCount() - 1);
    if (rowCount() > 0)
        emit dataChanged(index(0, 1), index(rowCount() - 1, 1));
}

const HistoryModel::Block* HistoryModel::BlockOf(int row) const {
    const int block = row / kBlockRows;
    auto it = blocks_.find(block);
    if (it != blocks_.end())
        return it->second.get();
    if (!asked_[block] && requestBlock) {
        asked_[block] = true;
        const size_t first = static_cast<size_t>(block) * kBlockRows;
        const size_t end = std::min(ids_->size(), first + kBlockRows);
        requestBlock(generation_, block,
                     Ids(ids_->begin() + static_cast<std::ptrdiff_t>(first),
                         ids_->begin() + static_cast<std::ptrdiff_t>(end)));
    }
    return nullptr;
}

std::optional<kv::TransferRecord> HistoryModel::RecordAt(int row) const {
    if (row < 0 || row >= rowCount())
        return std::nullopt;
    const Block* b = BlockOf(row);
    const size_t at = static_cast<size_t>(row % kBlockRows);
    if (!b || at >= b->size())
        return std::nullopt;
    return (*b)[at];
}

int HistoryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(ids_->size());
}

int HistoryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 7;
}

QVariant HistoryModel::data(const QModelIndex& index, int role) const {
    if (role == Qt::TextAlignmentRole && index.column() == 3)
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    std::optional<kv::TransferRecord> r = RecordAt(index.row());
    if (!r)
        return role == Qt::DisplayRole && index.column() == 0 ? QVariant("…") : QVariant();
    switch (index.column()) {
    case 0:
        return QString::fromStdString(kv::RecordTimeText(r->time));
    case 1: {
        const int d = r->direction == kv::TransferDirection::Received ? 1 : 2;
        return d < directions_.size() ? directions_[d] : QString(kv::DirectionWord(r->direction));
    }
    case 2:
        return QString::fromStdString(r->name);
    case 3:
        return QString::number(r->size);
    case 4:
        return QString::fromStdString(r->sender);
    case 5:
        return QString::fromStdString(r->receiver);
    case 6:
        return QString::fromStdString(r->type);
    }
    return {};
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    return section < columns_.size() ? columns_[section] : QString();
}

void HistoryModel::sort(int column, Qt::SortOrder order) {
    emit SortRequested(column, order);
}

} // namespace kvgui
