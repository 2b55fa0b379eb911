// A rename that never takes the place of a file another program put there meanwhile.
#pragma once

#include "core/fs/file_system.h"

namespace tavrik {

// Renames from to to only while no entry is named to (on a medium that ignores case, a name
// that differs only in case counts as taken). Returns 0, or -1 with errno set: EEXIST when
// the name is taken. Uses the system's no-replace rename; where the file system refuses it, a
// hard link and the removal of the old name; where the medium has no hard links either (FAT),
// a check right before a plain rename, which leaves only the moment between the two calls.
int RenameNoReplace(FileSystem& fs, int from_dir, const char* from, int to_dir, const char* to);

}  // namespace tavrik
