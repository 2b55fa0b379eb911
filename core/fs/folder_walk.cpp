#include "core/fs/folder_walk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/fs/paths.h"

namespace tavrik {

Result<Fd> OpenFolderStep(FileSystem& fs, int dir, const std::string& name, bool follow,
                          bool create, const std::string& path, bool* made) {
  const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  int fd = fs.OpenAt(dir, name.c_str(), flags);
  if (fd >= 0) return Fd(fs, fd);
  if (errno != ENOENT || !create) return ErrorAt(path);
  if (fs.MkdirAt(dir, name.c_str(), 0777) == 0) {
    if (made) *made = true;
  } else if (errno != EEXIST) {
    return ErrorAt(path);
  }
  fd = fs.OpenAt(dir, name.c_str(), flags);
  if (fd < 0) return ErrorAt(path);
  return Fd(fs, fd);
}

Result<Fd> OpenRelParent(FileSystem& fs, int dir, std::string_view rel, const std::string& path,
                         std::vector<std::string>* made) {
  Fd at(fs, fs.OpenAt(dir, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (at.get() < 0) return ErrorAt(path);
  const size_t last = rel.rfind(kSep);
  if (last == std::string_view::npos) return at;
  for (size_t start = 0; start < last;) {
    const size_t sep = rel.find(kSep, start);
    const std::string name(rel.substr(start, sep - start));
    start = sep + 1;
    bool made_here = false;
    Result<Fd> next = OpenFolderStep(fs, at.get(), name, false, made != nullptr, path, &made_here);
    if (!next.ok()) return next;
    if (made_here) made->emplace_back(rel.substr(0, sep));
    at = std::move(next.value());
  }
  return at;
}

int ListNames(FileSystem& fs, int dir, std::vector<std::string>* names) {
  std::unique_ptr<DirStream> listing =
      fs.OpenDir(fs.OpenAt(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing) return -1;
  const char* entry = nullptr;
  int got;
  while ((got = fs.ReadDir(*listing, &entry)) == 1)
    if (std::string_view(entry) != "." && std::string_view(entry) != "..")
      names->emplace_back(entry);
  return got < 0 ? -1 : 0;
}

int RemoveTree(FileSystem& fs, int dir, const std::string& name) {
  Fd folder(fs, fs.OpenAt(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.get() < 0) return -1;
  std::vector<std::string> names;
  if (ListNames(fs, folder.get(), &names) != 0) return -1;
  for (const std::string& leaf : names) {
    struct stat st {};
    if (fs.StatAt(folder.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode) ? RemoveTree(fs, folder.get(), leaf) != 0
                            : fs.UnlinkAt(folder.get(), leaf.c_str(), 0) != 0)
      return -1;
  }
  return fs.UnlinkAt(dir, name.c_str(), AT_REMOVEDIR);
}

}  // namespace tavrik
