#include "ui/list_model.h"

#include <QFile>

namespace tavrik {

namespace {

constexpr size_t kMaxTrackedRemovals = 4096;
constexpr qint64 kFlushIntervalMs = 250;

QString Decode(const std::string& bytes) {
  return QFile::decodeName(QByteArray::fromStdString(bytes));
}

}  // namespace

ListModel::ListModel(ComparisonList& list, QObject* parent)
    : QAbstractTableModel(parent), list_(list), published_rows_(list.RowCount()) {
  list_.SetListener(this);
  since_flush_.start();
}

ListModel::~ListModel() { list_.SetListener(nullptr); }

int ListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : published_rows_;
}

int ListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ComparisonList::kColumns;
}

int ListModel::CoreRow(int published_row) const {
  int row = published_row;
  for (size_t i = replayed_; i < removals_.size(); ++i) {
    int removed = removals_[i] - 1;
    if (row == removed) return -1;
    if (row > removed) --row;
  }
  return row;
}

QVariant ListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  int row = CoreRow(index.row());
  if (row < 0 || row >= list_.RowCount()) return {};
  if (role == Qt::TextAlignmentRole)
    return QVariant::fromValue((index.column() == 1 ? Qt::AlignHCenter : Qt::AlignLeft) |
                               Qt::AlignVCenter);
  if (role != Qt::DisplayRole) return {};
  return Decode(list_.Text(row + 1, index.column() + 1));
}

QVariant ListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= ComparisonList::kColumns)
    return {};
  if (role == Qt::TextAlignmentRole)
    return QVariant::fromValue((section == 1 ? Qt::AlignHCenter : Qt::AlignLeft) |
                               Qt::AlignVCenter);
  if (role != Qt::DisplayRole) return {};
  return Decode(list_.Header(section + 1));
}

Qt::ItemFlags ListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;  // never editable in place
}

bool ListModel::Pending() const {
  return reset_pending_ || reorder_pending_ || data_pending_ || !removals_.empty() ||
         published_rows_ != list_.RowCount();
}

void ListModel::Flush() {
  scheduled_ = false;
  since_flush_.restart();
  if (reset_pending_) {
    beginResetModel();
    published_rows_ = list_.RowCount();
    reset_pending_ = reorder_pending_ = data_pending_ = false;
    removals_.clear();
    replayed_ = 0;
    endResetModel();
    return;
  }
  // Replayed in order, each against the numbering of its moment, so the views see the
  // same sequence of states the list went through.
  while (replayed_ < removals_.size()) {
    int pos = removals_[replayed_];
    beginRemoveRows({}, pos - 1, pos - 1);
    --published_rows_;
    ++replayed_;
    endRemoveRows();
  }
  removals_.clear();
  replayed_ = 0;
  const int rows = list_.RowCount();
  if (rows > published_rows_) {
    beginInsertRows({}, published_rows_, rows - 1);
    published_rows_ = rows;
    endInsertRows();
  } else if (rows < published_rows_) {
    beginResetModel();
    published_rows_ = rows;
    endResetModel();
  }
  if (reorder_pending_) {
    emit layoutAboutToBeChanged();
    emit layoutChanged();
  }
  if (data_pending_ && published_rows_ > 0)
    emit dataChanged(index(0, 0), index(published_rows_ - 1, ComparisonList::kColumns - 1));
  reorder_pending_ = data_pending_ = false;
}

void ListModel::FlushIfDue() {
  if (Pending() && since_flush_.elapsed() >= kFlushIntervalMs) Flush();
}

void ListModel::SetRunning(bool running) {
  running_ = running;
  if (!running) Flush();
}

void ListModel::Schedule() {
  if (running_ || scheduled_) return;
  scheduled_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (scheduled_) Flush();
      },
      Qt::QueuedConnection);
}

void ListModel::RowsInserted(int first, int count) {
  // Rows appended at the end are published by count; anything else needs a reset.
  bool at_end = first + count - 1 == list_.RowCount() && first - 1 >= published_rows_;
  if (!at_end || !removals_.empty()) reset_pending_ = true;
  Schedule();
}

void ListModel::RowsRemoved(int first, int count) {
  if (!reset_pending_) {
    // Removals are replayed one by one only while no appended row is unpublished.
    int before = list_.RowCount() + count;
    bool appended_pending = before != published_rows_ - static_cast<int>(removals_.size());
    if (appended_pending || count != 1 || removals_.size() >= kMaxTrackedRemovals) {
      reset_pending_ = true;
    } else {
      removals_.push_back(first);
    }
  }
  Schedule();
}

void ListModel::RowsChanged(int, int) {
  data_pending_ = true;
  Schedule();
}

void ListModel::ListReset() {
  reset_pending_ = true;
  Schedule();
}

void ListModel::RowsReordered() {
  reorder_pending_ = true;
  Schedule();
}

void ListModel::HeaderChanged(int column) {
  emit headerDataChanged(Qt::Horizontal, column - 1, column - 1);
}

}  // namespace tavrik
