// Whether two roots are one folder, or one lies inside the other: a sync between them could
// overwrite the source of a row still to come, so it is not started at all.
#pragma once

#include <string>
#include <string_view>

#include "core/fs/file_system.h"

namespace tavrik {

// Roots on this machine are compared by device and inode on the way up from each (links and
// bind mounts included), within one file system; folders on two file systems of this machine
// are two trees. Two far roots on the same far machine, each on a connection of its own,
// are compared by the paths the far end resolves for them (and by device and inode, for one
// folder under two names). A root here and one on another machine never overlap.
bool RootsOverlap(FileSystem& left_fs, const std::string& left, FileSystem& right_fs,
                  const std::string& right);

// True when one absolute path is the other or lies below it ("/a" and "/a/b", not "/ab").
bool PathsNest(std::string_view a, std::string_view b);

}  // namespace tavrik
