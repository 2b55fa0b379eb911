#include "core/state/root_identity.h"

#include <cerrno>
#include <charconv>

#include "core/fs/percent_escape.h"

namespace tavrik {

namespace {

std::string Field(std::string_view text) {
  return PercentEscape(text, KeepBytes::kPrintableNoBlank);
}

}  // namespace

bool StableInodesType(std::string_view type) {
  static constexpr std::string_view kStable[] = {
      "ext2", "ext3", "ext4", "xfs",      "btrfs",  "tmpfs",    "ramfs",
      "f2fs", "zfs",  "jfs",  "reiserfs", "nilfs2", "bcachefs",
  };
  for (std::string_view stable : kStable)
    if (type == stable) return true;
  return false;
}

bool IdentityOfRoot(FileSystem& fs, const std::string& root, RootIdentity* identity,
                    bool* stable_inodes) {
  Fd fd(fs, fs.OpenAt(AT_FDCWD, root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  struct stat st {};
  if (fs.Fstat(fd.get(), &st) != 0) return false;
  std::string type;
  if (fs.MountType(fd.get(), &type) != 0) type.clear();
  VolumeInfo volume;
  if (fs.VolumeOf(fd.get(), &volume) != 0) return false;
  const bool stable = StableInodesType(type);
  RootIdentity made;
  // The same numbers on two machines are two folders.
  const std::string far = fs.FarMachine();
  made.volume = far.empty() ? volume.id : "@" + far + " " + volume.id;
  made.by_inode = stable;
  if (stable)
    made.ino = static_cast<uint64_t>(st.st_ino);
  else
    made.below = volume.below;
  *identity = std::move(made);
  if (stable_inodes) *stable_inodes = stable;
  return true;
}

std::string IdentityText(const RootIdentity& identity) {
  if (identity.by_inode)
    return "ino " + Field(identity.volume) + " " + std::to_string(identity.ino);
  return "path " + Field(identity.volume) + " " + Field(identity.below);
}

bool ParseIdentity(std::string_view text, RootIdentity* identity) {
  const size_t a = text.find(' ');
  if (a == std::string_view::npos) return false;
  const size_t b = text.find(' ', a + 1);
  if (b == std::string_view::npos) return false;
  const std::string_view kind = text.substr(0, a);
  const std::string_view volume = text.substr(a + 1, b - a - 1);
  const std::string_view rest = text.substr(b + 1);
  RootIdentity made;
  if (!PercentUnescape(volume, &made.volume) || made.volume.empty()) return false;
  if (kind == "ino") {
    made.by_inode = true;
    const char* end = rest.data() + rest.size();
    auto [ptr, ec] = std::from_chars(rest.data(), end, made.ino);
    if (ec != std::errc() || ptr != end) return false;
  } else if (kind == "path") {
    if (!PercentUnescape(rest, &made.below) || made.below.empty() || made.below[0] != '/')
      return false;
  } else {
    return false;
  }
  *identity = std::move(made);
  return true;
}

}  // namespace tavrik
