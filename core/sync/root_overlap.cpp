#include "core/sync/root_overlap.h"

#include <sys/stat.h>

#include <utility>

namespace tavrik {

namespace {

// True when folder is inner itself or one of the folders above it. ".." is resolved by the
// system after any link in the path, so links and bind mounts lead to the same answer as
// the real folders do.
bool IsSameOrAbove(FileSystem& fs, const struct stat& folder, const std::string& inner) {
  std::string path = inner;
  struct stat st {};
  if (fs.StatAt(AT_FDCWD, path.c_str(), &st, 0) != 0) return false;
  for (int depth = 0; depth < 4096; ++depth) {
    if (st.st_dev == folder.st_dev && st.st_ino == folder.st_ino) return true;
    path += "../";
    struct stat parent {};
    if (fs.StatAt(AT_FDCWD, path.c_str(), &parent, 0) != 0) return false;
    if (parent.st_dev == st.st_dev && parent.st_ino == st.st_ino) return false;  // at "/"
    st = parent;
  }
  return false;
}

// The far end serves nothing above a root, so the walk up cannot be made there: the root's
// path as the far end resolves it stands in. False when the root cannot be opened.
bool ResolvedRoot(FileSystem& fs, const std::string& root, std::string* path, struct stat* st) {
  Fd fd(fs, fs.OpenAt(AT_FDCWD, root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  return fs.FdPath(fd.get(), path) == 0 && fs.Fstat(fd.get(), st) == 0;
}

bool FarRootsOverlap(FileSystem& left_fs, const std::string& left, FileSystem& right_fs,
                     const std::string& right) {
  std::string l_path, r_path;
  struct stat l {
  }, r{};
  if (!ResolvedRoot(left_fs, left, &l_path, &l) || !ResolvedRoot(right_fs, right, &r_path, &r))
    return false;
  if (l.st_dev == r.st_dev && l.st_ino == r.st_ino) return true;
  return PathsNest(l_path, r_path);
}

}  // namespace

bool PathsNest(std::string_view a, std::string_view b) {
  while (a.size() > 1 && a.back() == '/') a.remove_suffix(1);
  while (b.size() > 1 && b.back() == '/') b.remove_suffix(1);
  if (a.size() > b.size()) std::swap(a, b);
  if (b.substr(0, a.size()) != a) return false;
  return a.size() == b.size() || a == "/" || b[a.size()] == '/';
}

bool RootsOverlap(FileSystem& left_fs, const std::string& left, FileSystem& right_fs,
                  const std::string& right) {
  const std::string left_machine = left_fs.FarMachine();
  const std::string right_machine = right_fs.FarMachine();
  if (left_machine != right_machine) return false;
  if (!left_machine.empty()) return FarRootsOverlap(left_fs, left, right_fs, right);
  if (&left_fs != &right_fs) return false;
  FileSystem& fs = left_fs;
  struct stat l {
  }, r{};
  if (fs.StatAt(AT_FDCWD, left.c_str(), &l, 0) != 0) return false;
  if (fs.StatAt(AT_FDCWD, right.c_str(), &r, 0) != 0) return false;
  return IsSameOrAbove(fs, l, right) || IsSameOrAbove(fs, r, left);
}

}  // namespace tavrik
