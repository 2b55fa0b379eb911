// What the console does with the list beside the window's own steps: the "copy new files"
// choice, and the work the progress line counts.
#pragma once

#include <vector>

#include "cli/progress.h"
#include "core/list/comparison_list.h"

namespace tavrik {

// Turns "? -->" and "? <--" into "-->" and "<--", as the user does row by row through the
// popup menu: files present on one side only are copied to the other.
void TakeNewFiles(ComparisonList& list);

// The work per row of a comparison (binary: the bytes of both files read) and of a sync
// (files copied or deleted, bytes copied), in list order.
std::vector<RowWork> CompareWork(const ComparisonList& list, bool binary);
std::vector<RowWork> SyncWork(const ComparisonList& list);

}  // namespace tavrik
