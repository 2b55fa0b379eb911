// Listing one folder: names with what one attribute query says of each. Touches no
// shared state, so it may run on a helper thread ahead of the scan.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/fs/file_stamp.h"
#include "core/fs/file_system.h"
#include "core/rules/rule_set.h"

namespace tavrik {

// The folders on the way from the root down to a folder, by device and inode: where links
// are followed, one that leads back to any of them is a loop.
struct FolderChain {
  uint64_t dev = 0;
  uint64_t ino = 0;
  std::shared_ptr<const FolderChain> up;  // null at the root
  bool Holds(uint64_t d, uint64_t i) const;
  uint64_t RootDev() const;
};

struct ListedEntry {
  // kExcludedFile and kExcludedFolder: left out by the exclusion rules, never looked at.
  // kLeftOut: not listable (why says which kind); nothing of it is opened.
  enum Kind : uint8_t { kFile, kFolder, kError, kExcludedFile, kExcludedFolder, kLeftOut };
  uint32_t name_offset;
  uint32_t name_size;
  Kind kind;
  FileKind file_kind;  // kFile: a file or a link listed as itself
  LeftOutWhy why;      // kLeftOut
  int error;           // errno of the failed attribute query (kError)
  // kFile: size and time. kFolder where links are followed: the folder's device and inode
  // (size, mtime_sec), for the loop check below it.
  FileStamp stamp;
};

struct FolderListing {
  int open_error = 0;                // the folder could not be opened
  int read_error = 0;                // the listing broke off
  std::string names;                 // all names, back to back
  std::vector<ListedEntry> entries;  // in listing order; names beginning with "." left out
  // Where links are followed: this folder and those above it.
  std::shared_ptr<const FolderChain> chain;

  std::string_view Name(const ListedEntry& e) const {
    return {names.data() + e.name_offset, e.name_size};
  }
};

// How the walk reads links, and where it stands when it follows them.
struct LinkWalk {
  bool follow = false;
  // The folders above the one listed (null for the root, whose own identity is read then).
  std::shared_ptr<const FolderChain> chain;
};

// Lists base (a folder path ending in its separator). The root of a scan may be reached
// through a link; folders below it never are, unless links.follow. A symbolic link is an
// entry of its own (never followed, its stamp its own), or with links.follow what it leads
// to: a file, or a folder of the root's file system that is not one on the way down; a
// dangling link, a loop and a link to another file system are left out then. FIFOs, sockets
// and devices are left out and never opened. rules (may be null) are those in force for
// base's entries: an entry they exclude is decided from its name and the listing's entry
// type, before any status query.
FolderListing ListFolder(FileSystem& fs, const std::string& base, bool follow_link,
                         const FolderRules* rules = nullptr, const LinkWalk& links = {});

}  // namespace tavrik
