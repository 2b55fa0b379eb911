// Filling one column of the comparison list from a folder tree.
#pragma once

#include <string>

#include "core/list/shared_state.h"

namespace tavrik {

class ScanAhead;

// Scans folder and enters its files into the left column (emptying the list first) or the
// right column (lining the files up with the rows by relative path), as left says. After a
// right fill the comparison starts at once when SofortStartCheck is checked and no batch run
// is active. Refused (returns at once) while another operation runs. ahead, when given,
// holds the listings of folder's tree made while the other column filled; they stand in for
// listing it again if they are still of this folder, and ahead is stopped when the fill ends.
// For callers that name both folders (the console, a control file, the window's command
// line): an empty left folder leaves the right folder's files in the right column.
void FillNamedColumn(Context& ctx, const std::string& folder, bool left,
                     ScanAhead* ahead = nullptr);

// The fill of a drop or a folder button: into an empty list it is a left fill (left is set
// to true then), so a first folder lands in column 1 whichever side it was meant for; only
// right after a left fill that left the list empty does a right fill stay a right fill, so
// that the right column is never filled against a right root left from an earlier fill.
void FillColumn(Context& ctx, const std::string& folder, bool& left, ScanAhead* ahead = nullptr);

}  // namespace tavrik
