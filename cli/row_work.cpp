#include "cli/row_work.h"

namespace tavrik {

namespace {

int64_t SizeOf(const FileStamp* stamp) { return stamp ? stamp->size : 0; }

}  // namespace

void TakeNewFiles(ComparisonList& list) {
  for (int i = 1; i <= list.RowCount(); ++i) {
    const Mark mark = list.GetMark(i);
    if (mark == Mark::kOrphanCopyRight) list.SetMark(i, Mark::kCopyRight);
    if (mark == Mark::kOrphanCopyLeft) list.SetMark(i, Mark::kCopyLeft);
  }
}

std::vector<RowWork> CompareWork(const ComparisonList& list, bool binary) {
  std::vector<RowWork> work(static_cast<size_t>(list.RowCount()));
  for (int i = 1; i <= list.RowCount(); ++i) {
    RowWork& w = work[static_cast<size_t>(i - 1)];
    w.files = 1;
    if (binary && !list.LeftName(i).empty() && !list.RightName(i).empty())
      w.bytes = SizeOf(list.LeftStamp(i)) + SizeOf(list.RightStamp(i));
  }
  return work;
}

std::vector<RowWork> SyncWork(const ComparisonList& list) {
  std::vector<RowWork> work(static_cast<size_t>(list.RowCount()));
  for (int i = 1; i <= list.RowCount(); ++i) {
    RowWork& w = work[static_cast<size_t>(i - 1)];
    switch (list.GetMark(i)) {
      case Mark::kCopyRight:
        w = {1, SizeOf(list.LeftStamp(i))};
        break;
      case Mark::kCopyLeft:
        w = {1, SizeOf(list.RightStamp(i))};
        break;
      case Mark::kDeleteRight:
      case Mark::kDeleteLeft:
        w.files = 1;
        break;
      case Mark::kDeleteBoth:
        w.files = 2;
        break;
      default:
        break;
    }
  }
  return work;
}

}  // namespace tavrik
