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

// Creates the missing folders of a copy target's path, one level at a time. Returns 0 or
// the errno of the first failure. The target file itself is neither created nor emptied:
// the copy replaces it whole, so a failed copy cannot leave an empty file behind.
int PrepareCopyTarget(const std::string& path, FileSystem& fs = RealFileSystem());
// The same for a path inside a tree whose root folder takes the first root_length
// characters: below the root no link to a folder is followed.
int PrepareCopyTarget(const std::string& path, size_t root_length,
                      FileSystem& fs = RealFileSystem());

}  // namespace tavrik
