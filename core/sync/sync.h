// The synchronisation run: copies and deletes files as the relation marks say.
#pragma once

#include <cstddef>
#include <string>

#include "core/list/shared_state.h"

namespace tavrik {

// Walks the rows from the last to the first and carries out "-->", "<--", "X->", "<-X"
// and "XX"; every handled row leaves the list unless a failure of it was skipped.
// Refused (returns at once) while another operation runs.
// A link bound for a medium that holds none is not copied and its row stays; the run tells
// them once at its end (RefusedLinksText), not row by row.
void SyncFolders(Context& ctx);

// The one report of the links the last run could not make: the count and the first names.
std::string RefusedLinksText(const RunNotes& notes);
// The one line for the rows left on a far folder given up after its connection broke.
std::string LostRowsText(const RunNotes& notes);

}  // namespace tavrik
