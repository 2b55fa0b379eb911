#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include "core/list/comparison_list.h"
#include "ui/list_model.h"

namespace tavrik {
namespace {

// Catches an adapter whose signals and row counts disagree with the core list (the model
// tester aborts the test on any inconsistency).
TEST(ListModelTest, StaysConsistentThroughAppendsRemovalsSortsAndResets) {
  ComparisonList list;
  ListModel model(list);
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  for (int i = 1; i <= 50; ++i) list.AddRow(i, std::string("f").append(std::to_string(100 - i)));
  model.Flush();
  EXPECT_EQ(model.rowCount(), 50);
  list.RemoveRow(50);
  list.RemoveRow(10);
  list.RemoveRow(1);
  model.Flush();
  EXPECT_EQ(model.rowCount(), 47);
  EXPECT_EQ(model.data(model.index(0, 0), Qt::DisplayRole).toString(), "f98");
  list.SetSortState(true, 0, 0);
  model.Flush();
  EXPECT_EQ(model.data(model.index(0, 0), Qt::DisplayRole).toString(), "f51");
  list.RemoveRow(2);
  list.AddRow(list.RowCount() + 1, "");
  list.SetSorted(false);
  list.AddRow(list.RowCount() + 1, "late");
  model.Flush();
  EXPECT_EQ(model.rowCount(), list.RowCount());
  list.Clear();
  list.AddRow(1, "x");
  model.Flush();
  EXPECT_EQ(model.rowCount(), 1);
  EXPECT_EQ(model.data(model.index(0, 1), Qt::TextAlignmentRole).value<Qt::Alignment>() &
                Qt::AlignHCenter,
            Qt::AlignHCenter);
  EXPECT_FALSE(model.flags(model.index(0, 0)) & Qt::ItemIsEditable);
}

// Catches one model signal per row during a run (a million rows would drown the view).
TEST(ListModelTest, RunPublishesRowsInBatches) {
  ComparisonList list;
  ListModel model(list);
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  model.SetRunning(true);
  for (int i = 1; i <= 1000; ++i) list.AddRow(i, std::string("r").append(std::to_string(i)));
  EXPECT_EQ(model.rowCount(), 0);
  model.SetRunning(false);
  EXPECT_EQ(model.rowCount(), 1000);
  EXPECT_EQ(inserted.count(), 1);
}

// Catches cells read beyond the core's rows before a removal was published.
TEST(ListModelTest, UnpublishedRemovalNeverReadsPastTheList) {
  ComparisonList list;
  ListModel model(list);
  list.AddRow(1, "a");
  list.AddRow(2, "b");
  model.Flush();
  model.SetRunning(true);
  list.RemoveRow(2);
  EXPECT_EQ(model.rowCount(), 2);
  EXPECT_FALSE(model.data(model.index(1, 0), Qt::DisplayRole).isValid());
  model.SetRunning(false);
  EXPECT_EQ(model.rowCount(), 1);
}

}  // namespace
}  // namespace tavrik
