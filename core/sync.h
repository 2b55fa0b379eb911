// The synchronisation run: copies and deletes files as the relation marks say.
#pragma once

#include <string>

#include "core/shared_state.h"

namespace tavrik {

// Walks the rows from the last to the first and carries out "-->", "<--", "X->", "<-X"
// and "XX"; every handled row leaves the list unless a failure of it was skipped.
// Refused (returns at once) while another operation runs.
void SyncFolders(Context& ctx);

// Creates the missing folders of a copy target's path, one level at a time. Returns 0 or
// the errno of the first failure.
int PrepareCopyTarget(const std::string& path);

}  // namespace tavrik
