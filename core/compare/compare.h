// The binary and the age comparison of the two columns.
#pragma once

#include <string>

#include "core/list/shared_state.h"

namespace tavrik {

// Writes a relation mark into every row, counts the outcomes and reports the result
// (unless a batch run that synchronises or ends the program is active). Binary mode
// compares sizes, then contents in blocks of 262,144 bytes; age mode compares the date
// keys the fills stored. Refused (returns at once) while another operation runs.
void CompareFolders(Context& ctx, bool binary);

}  // namespace tavrik
