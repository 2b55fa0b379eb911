// Filling one column of the comparison list from a folder tree.
#pragma once

#include <string>

#include "core/list/shared_state.h"

namespace tavrik {

class ScanAhead;

// Scans folder and enters its files into the left column (emptying the list first) or the
// right column (lining the files up with the rows by relative path). A fill into an empty
// list is always a left fill; left is set to true then. After a right fill the comparison
// starts at once when SofortStartCheck is checked and no batch run is active.
// Refused (returns at once) while another operation runs. ahead, when given, holds the
// listings of folder's tree made while the other column filled; they stand in for listing it
// again if they are still of this folder, and ahead is stopped when the fill ends.
void FillColumn(Context& ctx, const std::string& folder, bool& left, ScanAhead* ahead = nullptr);

}  // namespace tavrik
