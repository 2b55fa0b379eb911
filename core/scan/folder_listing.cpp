#include "core/scan/folder_listing.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

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

FolderListing ListFolder(FileSystem& fs, const std::string& base, bool follow_link) {
  FolderListing listing;
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW);
  int fd = fs.OpenAt(AT_FDCWD, base.c_str(), flags);
  if (fd < 0) {
    listing.open_error = errno;
    return listing;
  }
  // The stream owns its descriptor; keep a copy for the attribute queries by name.
  std::unique_ptr<DirStream> dir = fs.OpenDir(fd);
  if (!dir) {
    listing.open_error = errno;
    return listing;
  }
  for (;;) {
    const char* name = nullptr;
    int got = fs.ReadDir(*dir, &name);
    if (got < 0) listing.read_error = errno;
    if (got <= 0) break;
    if (name[0] == '.') continue;
    struct stat st {};
    if (fs.StatAt(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      AddEntry(listing, name, ListedEntry::kError, errno, {});
      continue;
    }
    // A link counts only when it leads to a regular file; a link to a folder could lead
    // outside the tree or back up into it.
    if (S_ISLNK(st.st_mode) && (fs.StatAt(fd, name, &st, 0) != 0 || !S_ISREG(st.st_mode))) continue;
    if (S_ISDIR(st.st_mode)) AddEntry(listing, name, ListedEntry::kFolder, 0, {});
    if (S_ISREG(st.st_mode)) AddEntry(listing, name, ListedEntry::kFile, 0, StampOf(st));
    // FIFOs, sockets and devices are not files here: reading one could block forever.
  }
  return listing;
}

}  // namespace tavrik
