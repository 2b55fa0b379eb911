#include "core/fs/no_replace.h"

#include <cerrno>

namespace tavrik {

namespace {

// What a file system answers to a flag or call it does not offer.
bool NotOffered(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP;
}

// What a medium without hard links answers (FAT: EPERM; some drivers: ENOSYS); also a folder.
bool NoHardLink(int error) { return NotOffered(error) || error == EPERM || error == EMLINK; }

}  // namespace

int RenameNoReplace(FileSystem& fs, int from_dir, const char* from, int to_dir, const char* to) {
  if (fs.RenameNoReplaceAt(from_dir, from, to_dir, to) == 0) return 0;
  if (!NotOffered(errno)) return -1;
  if (fs.LinkAt(from_dir, from, to_dir, to) == 0) {
    // In place; should the old name stay, it is a second name of the same file, never a loss.
    (void)fs.UnlinkAt(from_dir, from, 0);
    return 0;
  }
  if (!NoHardLink(errno)) return -1;
  struct stat st {};
  if (fs.StatAt(to_dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  if (errno != ENOENT) return -1;
  return fs.RenameAt(from_dir, from, to_dir, to);
}

}  // namespace tavrik
