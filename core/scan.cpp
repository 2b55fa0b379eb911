#include "core/scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "core/paths.h"

namespace tavrik {

namespace {

FileStamp StampOf(const struct stat& st) {
  return {st.st_size, st.st_mtim.tv_sec, static_cast<int32_t>(st.st_mtim.tv_nsec)};
}

void ReportAccessError(Context& ctx, int error_number, const std::string& path) {
  ctx.host.MessageBox(AccessErrorText(error_number, path), kMsgExclamation);
}

// Lists one folder: files go to the file table, subfolders to subfolders (in listing
// order). The root may be reached through a link; folders below it never are.
void ListFolder(Context& ctx, const std::string& folder, bool is_root,
                std::vector<std::string>& subfolders) {
  const std::string base = AddBackslash(folder);
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (is_root ? 0 : O_NOFOLLOW);
  int fd = open(base.c_str(), flags);
  if (fd < 0) {
    ReportAccessError(ctx, errno, folder);
    return;
  }
  DIR* dir = fdopendir(fd);
  if (!dir) {
    int err = errno;
    close(fd);
    ReportAccessError(ctx, err, folder);
    return;
  }
  std::string full;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (!entry) {
      if (errno != 0) ReportAccessError(ctx, errno, folder);
      break;
    }
    const char* name = entry->d_name;
    if (name[0] == '.') continue;
    full.assign(base).append(name);
    struct stat st {};
    if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      ReportAccessError(ctx, errno, full);
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      // A link counts only when it leads to a regular file; dangling links and links to
      // folders (which could lead outside the tree or back up into it) are left out.
      if (fstatat(fd, name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
    }
    if (S_ISDIR(st.st_mode)) {
      subfolders.push_back(full);
    } else if (S_ISREG(st.st_mode)) {
      ctx.state.file_table.Add(full, StampOf(st));
    }
    // FIFOs, sockets and devices are not files here: reading one could block forever.
  }
  closedir(dir);
}

}  // namespace

std::string AccessErrorText(int error_number, const std::string& path) {
  return "Zugriffsfehler " + std::to_string(error_number) + " auf '" + path + "'\r" +
         "Dieser Name wird fortan ignoriert ...";
}

void ScanFolder(Context& ctx, const std::string& folder) {
  // Depth-first with an explicit stack instead of recursion, so deep trees cannot
  // exhaust the call stack. Pushing a folder's subfolders in listing order and popping
  // the last gives the same order as recursing into the last-found subfolder first.
  std::vector<std::string> pending;
  std::vector<std::string> found;
  bool is_root = true;
  pending.push_back(folder);
  while (!pending.empty()) {
    std::string current = std::move(pending.back());
    pending.pop_back();
    found.clear();
    ListFolder(ctx, current, is_root, found);
    is_root = false;
    ctx.host.ProcessEvents();
    for (auto& sub : found) pending.push_back(std::move(sub));
  }
}

}  // namespace tavrik
