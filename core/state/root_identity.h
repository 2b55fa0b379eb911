// Which folder a root is, in words that outlive a new mount and tell a copy from the
// original: the medium's id, and then the folder's inode where the file system keeps
// inodes stable, or its path below the top of the medium where it does not (the FAT family,
// exFAT, the drivers in user space and the network shares number files anew at every mount).
// A folder copied, restored from a backup or made anew under the old name is another folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/fs/file_system.h"

namespace tavrik {

struct RootIdentity {
  std::string volume;     // VolumeInfo::id; a far folder's after "@<machine> "
  bool by_inode = false;  // true: ino names the folder; false: below does
  uint64_t ino = 0;
  std::string below;  // VolumeInfo::below
  bool operator==(const RootIdentity&) const = default;
  bool empty() const { return volume.empty(); }
};

// True for the types of file system whose inode numbers stay with a file for its life, across
// mounts and renames ("ext4", "xfs", "btrfs", "tmpfs", ...); false for the FAT family, exFAT,
// NTFS through a driver in user space, every "fuse.*" type and the network shares.
bool StableInodesType(std::string_view type);

// The identity of the folder root (links followed, as a root may be reached through one);
// false with errno set when it cannot be told.
bool IdentityOfRoot(FileSystem& fs, const std::string& root, RootIdentity* identity,
                    bool* stable_inodes = nullptr);

// One line's worth of text and back: "ino <volume> <inode>" or "path <volume> <below>", the
// volume and the path percent-escaped. Parse is false for anything else.
std::string IdentityText(const RootIdentity& identity);
bool ParseIdentity(std::string_view text, RootIdentity* identity);

}  // namespace tavrik
