// The Qt model over the core's comparison list. Changes reach the view in batches:
// structural changes are published at yield points (at most every few hundred
// milliseconds during a run) and at the end of a run, never one signal per row.
#pragma once

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <vector>

#include "core/list/comparison_list.h"

namespace tavrik {

class ListModel : public QAbstractTableModel, public ListListener {
  Q_OBJECT

 public:
  explicit ListModel(ComparisonList& list, QObject* parent = nullptr);
  ~ListModel() override;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // Publishes every pending change to the views now.
  void Flush();
  // Publishes pending changes unless that was done very recently (yield points of a run).
  void FlushIfDue();
  // While a run is under way, changes are published only at its yield points.
  void SetRunning(bool running);

  // ListListener
  void RowsInserted(int first, int count) override;
  void RowsRemoved(int first, int count) override;
  void RowsChanged(int first, int last) override;
  void ListReset() override;
  void RowsReordered() override;
  void HeaderChanged(int column) override;

 private:
  void Schedule();
  bool Pending() const;
  // The core row (0-based) behind a published row while removals are still being
  // replayed to the views; -1 for a row already gone from the core.
  int CoreRow(int published_row) const;

  ComparisonList& list_;
  int published_rows_ = 0;
  bool reset_pending_ = false;
  bool reorder_pending_ = false;
  bool data_pending_ = false;
  std::vector<int> removals_;  // positions as the core reported them, in order
  size_t replayed_ = 0;        // removals already published
  bool running_ = false;
  bool scheduled_ = false;
  QElapsedTimer since_flush_;
};

}  // namespace tavrik
