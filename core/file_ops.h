// The file operations of the synchronisation run. They never lose data: a copy goes to a
// temporary file beside the target and is renamed over it, and nothing is replaced or
// removed that is no longer the file the fill saw.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/file_stamp.h"
#include "core/file_system.h"
#include "core/fs_error.h"
#include "core/paths.h"

namespace tavrik {

// A file inside one of the two trees. The root folder (ending in its separator) may be
// reached through links; below it no link to a folder is ever followed, so an operation
// cannot be led out of the tree.
struct TreePath {
  std::string_view root;
  std::string_view rel;
  std::string Full() const { return JoinPath(root, rel); }
};

// Temporary copies are named with this prefix; a scan never lists names beginning with ".".
inline constexpr std::string_view kTempPrefix = ".tavrik-";

// Creates the missing folders of the chain before the last separator of path, one level at
// a time from the outermost. "/" and existing folders count as present. Within the first
// root_length characters links are followed; below them a link or a file in the chain fails.
// Never creates or changes the file the path names.
FsResult MakeParentFolders(FileSystem& fs, const std::string& path, size_t root_length);

// Copies the regular file src onto dst, keeping the source's modification time (to the
// nanosecond) and permission bits. dst_seen is what the fill recorded at dst, nullptr when
// it saw nothing there: a file that no longer matches it is not replaced. A symbolic link at
// dst is replaced, never written through. When src and dst are the same file nothing
// happens. On failure dst is left as it was and no temporary file remains.
FsResult CopyFileOnto(FileSystem& fs, const TreePath& src, const TreePath& dst,
                      const FileStamp* dst_seen);

// Removes the one file at path (a link itself, not what it leads to) if it still matches
// what the fill recorded. An empty relative path, a folder, or a changed file fail.
FsResult DeleteFileAt(FileSystem& fs, const TreePath& path, const FileStamp* seen);

// Writes out everything cached for the file system that holds root. Copies are not flushed
// one by one: a replaced file is renamed over its target only after being written whole
// (which file systems with delayed allocation order before the rename), and one flush at
// the end of the run makes the whole run durable before the user unplugs the disk.
FsResult FlushFileSystem(FileSystem& fs, const std::string& root);

}  // namespace tavrik
