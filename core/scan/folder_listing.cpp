#include "core/scan/folder_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace tavrik {

namespace {

void AddEntry(FolderListing& listing, std::string_view text, ListedEntry::Kind kind, int error,
              const FileStamp& stamp) {
  listing.entries.push_back({static_cast<uint32_t>(listing.names.size()),
                             static_cast<uint32_t>(text.size()), kind, error, stamp});
  listing.names.append(text);
}

void AddExcluded(FolderListing& listing, std::string_view name, bool folder) {
  AddEntry(listing, name, folder ? ListedEntry::kExcludedFolder : ListedEntry::kExcludedFile, 0,
           {});
}

}  // namespace

FolderListing ListFolder(FileSystem& fs, const std::string& base, bool follow_link,
                         const FolderRules* rules) {
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
    unsigned char type = DT_UNKNOWN;
    int got = fs.ReadDir(*dir, &name, &type);
    if (got < 0) listing.read_error = errno;
    if (got <= 0) break;
    if (name[0] == '.') continue;
    const std::string_view text(name);
    // Excluded entries are decided before any status query, so what the user left out
    // can never raise an access error. A link is no folder here, as for the scan.
    bool maybe_excluded = false;
    if (rules && type != DT_UNKNOWN) {
      if (rules->Excludes(text, type == DT_DIR)) {
        AddExcluded(listing, text, type == DT_DIR);
        continue;
      }
    } else if (rules) {
      const bool as_file = rules->Excludes(text, false);
      const bool as_folder = rules->Excludes(text, true);
      if (as_file && as_folder) {
        AddExcluded(listing, text, false);
        continue;
      }
      maybe_excluded = as_file || as_folder;
    }
    struct stat st {};
    if (fs.StatAt(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // Whatever it is, one reading of it is excluded: no box for what may be left out.
      if (maybe_excluded) {
        AddExcluded(listing, text, false);
        continue;
      }
      AddEntry(listing, text, ListedEntry::kError, errno, {});
      continue;
    }
    const bool folder = S_ISDIR(st.st_mode);
    if (rules && (type == DT_UNKNOWN || (type == DT_DIR) != folder) &&
        rules->Excludes(text, folder)) {
      AddExcluded(listing, text, folder);
      continue;
    }
    // A link counts only when it leads to a regular file; a link to a folder could lead
    // outside the tree or back up into it.
    if (S_ISLNK(st.st_mode) && (fs.StatAt(fd, name, &st, 0) != 0 || !S_ISREG(st.st_mode))) continue;
    if (S_ISDIR(st.st_mode)) AddEntry(listing, text, ListedEntry::kFolder, 0, {});
    if (S_ISREG(st.st_mode)) AddEntry(listing, text, ListedEntry::kFile, 0, StampOf(st));
    // FIFOs, sockets and devices are not files here: reading one could block forever.
  }
  return listing;
}

}  // namespace tavrik
