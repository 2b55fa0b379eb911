#include "cli/sync_plan.h"

#include "core/fs/paths.h"

namespace tavrik {

namespace {

int64_t SizeOf(const FileStamp* stamp) { return stamp ? stamp->size : 0; }

std::string FullOrEmpty(std::string_view root, std::string_view rel) {
  return rel.empty() ? std::string() : JoinPath(root, rel);
}

}  // namespace

std::vector<PlannedAction> PlanSync(const ComparisonList& list, std::string_view left_root,
                                    std::string_view right_root) {
  std::vector<PlannedAction> actions;
  for (int i = list.RowCount(); i >= 1; --i) {
    const Mark mark = list.GetMark(i);
    const std::string_view left = list.LeftName(i);
    const std::string_view right = list.RightName(i);
    PlannedAction a{mark, FullOrEmpty(left_root, left), FullOrEmpty(right_root, right)};
    switch (mark) {
      case Mark::kCopyRight:
        // A copy onto a side without a file goes to the source's relative path there.
        if (right.empty()) a.right = JoinPath(right_root, left);
        break;
      case Mark::kCopyLeft:
        if (left.empty()) a.left = JoinPath(left_root, right);
        break;
      case Mark::kDeleteRight:
      case Mark::kDeleteLeft:
      case Mark::kDeleteBoth:
        break;
      default:
        continue;
    }
    actions.push_back(std::move(a));
  }
  return actions;
}

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
