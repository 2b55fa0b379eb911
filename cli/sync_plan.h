// What a synchronisation would do, worked out from the list without touching a file: the
// dry run's action lines, the "copy new files" choice, and the work the progress line
// counts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cli/progress.h"
#include "core/list/comparison_list.h"

namespace tavrik {

// One action of the sync: its mark and the full paths of the row's files on both sides; a
// copy names its target even where that side has no file yet, a side without a file in a
// deletion stays empty.
struct PlannedAction {
  Mark mark;
  std::string left;
  std::string right;
};

// The rows the sync would act on, in the order it handles them (from the last row up).
std::vector<PlannedAction> PlanSync(const ComparisonList& list, std::string_view left_root,
                                    std::string_view right_root);

// Turns "? -->" and "? <--" into "-->" and "<--", as the user does row by row through the
// popup menu: files present on one side only are copied to the other.
void TakeNewFiles(ComparisonList& list);

// The work per row of a comparison (binary: the bytes of both files read) and of a sync
// (files copied or deleted, bytes copied), in list order.
std::vector<RowWork> CompareWork(const ComparisonList& list, bool binary);
std::vector<RowWork> SyncWork(const ComparisonList& list);

}  // namespace tavrik
