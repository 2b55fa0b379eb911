// Listing one folder: names with what one attribute query says of each. Touches no
// shared state, so it may run on a helper thread ahead of the scan.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/fs/file_stamp.h"
#include "core/fs/file_system.h"
#include "core/rules/rule_set.h"

namespace tavrik {

struct ListedEntry {
  // kExcludedFile and kExcludedFolder: left out by the exclusion rules, never looked at.
  enum Kind : uint8_t { kFile, kFolder, kError, kExcludedFile, kExcludedFolder };
  uint32_t name_offset;
  uint32_t name_size;
  Kind kind;
  int error;        // errno of the failed attribute query (kError)
  FileStamp stamp;  // kFile
};

struct FolderListing {
  int open_error = 0;                // the folder could not be opened
  int read_error = 0;                // the listing broke off
  std::string names;                 // all names, back to back
  std::vector<ListedEntry> entries;  // in listing order; names beginning with "." left out

  std::string_view Name(const ListedEntry& e) const {
    return {names.data() + e.name_offset, e.name_size};
  }
};

// Lists base (a folder path ending in its separator). The root of a scan may be reached
// through a link; folders below it never are. Links count only when they lead to a
// regular file; links to folders, dangling links, FIFOs, sockets and devices are left out.
// rules (may be null) are those in force for base's entries: an entry they exclude is
// decided from its name and the listing's entry type, before any status query.
FolderListing ListFolder(FileSystem& fs, const std::string& base, bool follow_link,
                         const FolderRules* rules = nullptr);

}  // namespace tavrik
