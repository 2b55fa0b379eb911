// The synchronisation run: copies and deletes files as the relation marks say.
#pragma once

#include <cstddef>
#include <string>

#include "core/list/shared_state.h"

namespace tavrik {

// Walks the rows from the last to the first and carries out "-->", "<--", "X->", "<-X"
// and "XX"; every handled row leaves the list unless a failure of it was skipped.
// Refused (returns at once) while another operation runs.
void SyncFolders(Context& ctx);

}  // namespace tavrik
