#include "core/folder_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/fs_result.h"

namespace tavrik {

namespace {

void AddEntry(FolderListing& listing, const char* name, ListedEntry::Kind kind, int error,
              const FileStamp& stamp) {
  std::string_view text(name);
  listing.entries.push_back({static_cast<uint32_t>(listing.names.size()),
                             static_cast<uint32_t>(text.size()), kind, error, stamp});
  listing.names.append(text);
}

}  // namespace

FolderListing ListFolder(const std::string& base, bool follow_link) {
  FolderListing listing;
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW);
  int fd = open(base.c_str(), flags);
  if (fd < 0) {
    listing.open_error = errno;
    return listing;
  }
  DIR* dir = fdopendir(fd);
  if (!dir) {
    listing.open_error = errno;
    close(fd);
    return listing;
  }
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (!entry) {
      listing.read_error = errno;
      break;
    }
    const char* name = entry->d_name;
    if (name[0] == '.') continue;
    struct stat st {};
    if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      AddEntry(listing, name, ListedEntry::kError, errno, {});
      continue;
    }
    // A link counts only when it leads to a regular file; a link to a folder could lead
    // outside the tree or back up into it.
    if (S_ISLNK(st.st_mode) && (fstatat(fd, name, &st, 0) != 0 || !S_ISREG(st.st_mode))) continue;
    if (S_ISDIR(st.st_mode)) AddEntry(listing, name, ListedEntry::kFolder, 0, {});
    if (S_ISREG(st.st_mode)) AddEntry(listing, name, ListedEntry::kFile, 0, StampOf(st));
    // FIFOs, sockets and devices are not files here: reading one could block forever.
  }
  closedir(dir);
  return listing;
}

}  // namespace tavrik
