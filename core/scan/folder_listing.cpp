#include "core/scan/folder_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace tavrik {

namespace {

void AddEntry(FolderListing& listing, std::string_view text, ListedEntry::Kind kind, int error,
              const FileStamp& stamp, FileKind file_kind = FileKind::kFile,
              LeftOutWhy why = LeftOutWhy::kFifo) {
  listing.entries.push_back({static_cast<uint32_t>(listing.names.size()),
                             static_cast<uint32_t>(text.size()), kind, file_kind, why, error,
                             stamp});
  listing.names.append(text);
}

void AddLeftOut(FolderListing& listing, std::string_view name, LeftOutWhy why) {
  AddEntry(listing, name, ListedEntry::kLeftOut, 0, {}, FileKind::kFile, why);
}

// What kind of entry a listing cannot hold, for the count of what was left out.
LeftOutWhy SpecialKind(mode_t mode) {
  if (S_ISFIFO(mode)) return LeftOutWhy::kFifo;
  if (S_ISSOCK(mode)) return LeftOutWhy::kSocket;
  return LeftOutWhy::kDevice;
}

FileStamp FolderIdStamp(const struct stat& st) {
  return {static_cast<int64_t>(st.st_dev), static_cast<int64_t>(st.st_ino), 0};
}

// A link read as what it leads to: st becomes the target's status, or the entry is left
// out. False when it is.
bool FollowLink(FileSystem& fs, int fd, const char* name, std::string_view text,
                const FolderChain& chain, FolderListing& listing, struct stat* st) {
  if (fs.StatAt(fd, name, st, 0) != 0) {
    AddLeftOut(listing, text, errno == ELOOP ? LeftOutWhy::kLoop : LeftOutWhy::kDangling);
    return false;
  }
  if (!S_ISDIR(st->st_mode)) return true;
  const uint64_t dev = static_cast<uint64_t>(st->st_dev);
  if (dev != chain.RootDev()) {
    AddLeftOut(listing, text, LeftOutWhy::kOtherFs);
    return false;
  }
  if (chain.Holds(dev, static_cast<uint64_t>(st->st_ino))) {
    AddLeftOut(listing, text, LeftOutWhy::kLoop);
    return false;
  }
  return true;
}

void AddExcluded(FolderListing& listing, std::string_view name, bool folder) {
  AddEntry(listing, name, folder ? ListedEntry::kExcludedFolder : ListedEntry::kExcludedFile, 0,
           {});
}

// Enters one entry of the folder fd into the listing. known: what the file system said of
// it with the listing (a far one answers both at once); else its status is asked here.
void TakeEntry(FileSystem& fs, int fd, const char* name, unsigned char type,
               const FolderEntry* known, const FolderRules* rules, FolderListing& listing) {
  const std::string_view text(name);
  // Excluded entries are decided before any status query, so what the user left out
  // can never raise an access error. A link is no folder here, as for the scan.
  bool maybe_excluded = false;
  if (rules && type != DT_UNKNOWN) {
    if (rules->Excludes(text, type == DT_DIR)) {
      AddExcluded(listing, text, type == DT_DIR);
      return;
    }
  } else if (rules) {
    const bool as_file = rules->Excludes(text, false);
    const bool as_folder = rules->Excludes(text, true);
    if (as_file && as_folder) {
      AddExcluded(listing, text, false);
      return;
    }
    maybe_excluded = as_file || as_folder;
  }
  struct stat st {};
  const int error = known                                                ? known->error
                    : fs.StatAt(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 ? errno
                                                                         : 0;
  if (error != 0) {
    // Whatever it is, one reading of it is excluded: no box for what may be left out.
    if (maybe_excluded) {
      AddExcluded(listing, text, false);
      return;
    }
    AddEntry(listing, text, ListedEntry::kError, error, {});
    return;
  }
  if (known) st = known->st;
  const bool folder = S_ISDIR(st.st_mode);
  if (rules && (type == DT_UNKNOWN || (type == DT_DIR) != folder) &&
      rules->Excludes(text, folder)) {
    AddExcluded(listing, text, folder);
    return;
  }
  if (S_ISLNK(st.st_mode)) {
    // Kept, a link is one entry with its own stamp; its size is its target text's length.
    if (!listing.chain) {
      AddEntry(listing, text, ListedEntry::kFile, 0, StampOf(st), FileKind::kLink);
      return;
    }
    if (!FollowLink(fs, fd, name, text, *listing.chain, listing, &st)) return;
    // Read as a folder, it answers to the rules for folders.
    if (rules && S_ISDIR(st.st_mode) && rules->Excludes(text, true)) {
      AddExcluded(listing, text, true);
      return;
    }
  }
  // Where links are followed, a folder reached again through one above it is a loop too.
  if (S_ISDIR(st.st_mode) && listing.chain &&
      listing.chain->Holds(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino))) {
    AddLeftOut(listing, text, LeftOutWhy::kLoop);
    return;
  }
  if (S_ISDIR(st.st_mode)) {
    AddEntry(listing, text, ListedEntry::kFolder, 0,
             listing.chain ? FolderIdStamp(st) : FileStamp{});
  } else if (S_ISREG(st.st_mode)) {
    AddEntry(listing, text, ListedEntry::kFile, 0, StampOf(st));
  } else {
    // FIFOs, sockets and devices are not files here: reading one could block forever.
    AddLeftOut(listing, text, SpecialKind(st.st_mode));
  }
}

}  // namespace

bool FolderChain::Holds(uint64_t d, uint64_t i) const {
  for (const FolderChain* at = this; at; at = at->up.get())
    if (at->dev == d && at->ino == i) return true;
  return false;
}

uint64_t FolderChain::RootDev() const {
  const FolderChain* at = this;
  while (at->up) at = at->up.get();
  return at->dev;
}

FolderListing ListFolder(FileSystem& fs, const std::string& base, bool follow_link,
                         const FolderRules* rules, const LinkWalk& links) {
  FolderListing listing;
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_link || links.follow ? 0 : O_NOFOLLOW);
  if (fs.IsFar() && !links.follow) {
    // A far folder is opened, listed and closed in one request.
    std::vector<FolderEntry> entries;
    bool opened = false;
    if (fs.ListFolderAt(AT_FDCWD, base.c_str(), flags, true, &entries, &opened) != 0) {
      if (!opened) {
        listing.open_error = errno;
        return listing;
      }
      listing.read_error = errno;
    }
    for (const FolderEntry& entry : entries)
      TakeEntry(fs, -1, entry.name.c_str(), entry.type, &entry, rules, listing);
    return listing;
  }
  int fd = fs.OpenAt(AT_FDCWD, base.c_str(), flags);
  if (fd < 0) {
    listing.open_error = errno;
    return listing;
  }
  // The stream owns its descriptor; keep a copy for the attribute queries by name. A far
  // file system lists the folder in one request of its own.
  const bool far = fs.IsFar();
  Fd far_fd = far ? Fd(fs, fd) : Fd();
  std::unique_ptr<DirStream> dir = far ? nullptr : fs.OpenDir(fd);
  if (!far && !dir) {
    listing.open_error = errno;
    return listing;
  }
  if (links.follow) {
    listing.chain = links.chain;
    struct stat self {};
    if (!listing.chain && fs.Fstat(fd, &self) != 0) {
      listing.open_error = errno;
      return listing;
    }
    if (!listing.chain)
      listing.chain = std::make_shared<const FolderChain>(
          FolderChain{static_cast<uint64_t>(self.st_dev), static_cast<uint64_t>(self.st_ino), {}});
  }
  if (far) {
    // One request for the whole folder instead of one per entry.
    std::vector<FolderEntry> entries;
    if (fs.ListFolder(fd, true, &entries) != 0) listing.read_error = errno;
    for (const FolderEntry& entry : entries)
      TakeEntry(fs, fd, entry.name.c_str(), entry.type, &entry, rules, listing);
    return listing;
  }
  for (;;) {
    const char* name = nullptr;
    unsigned char type = DT_UNKNOWN;
    int got = fs.ReadDir(*dir, &name, &type);
    if (got < 0) listing.read_error = errno;
    if (got <= 0) break;
    if (name[0] == '.') continue;
    TakeEntry(fs, fd, name, type, nullptr, rules, listing);
  }
  return listing;
}

}  // namespace tavrik
