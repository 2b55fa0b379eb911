#include "core/fs/time_resolution.h"

#include <fcntl.h>

#include "core/fs/paths.h"

namespace tavrik {

namespace {

bool FatFamily(std::string_view type) {
  std::string name;
  for (char c : type) name.push_back(AsciiLower(c));
  // FUSE drivers show as "fuse.NAME" (or "fuseblk" without a name).
  if (name.rfind("fuse.", 0) == 0) name.erase(0, 5);
  for (std::string_view fat : {"vfat", "msdos", "fat", "umsdos", "fusefat", "dosfs"})
    if (name == fat) return true;
  return false;
}

}  // namespace

int64_t TimeStepOfType(std::string_view type) { return FatFamily(type) ? 2 : 1; }

bool LocalTimeType(std::string_view type) { return FatFamily(type); }

TimeTraits TimeTraitsOf(FileSystem& fs, const std::string& root) {
  if (root.empty()) return {};
  Fd dir(fs, fs.OpenAt(AT_FDCWD, root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return {};
  std::string type;
  if (fs.MountType(dir.get(), &type) != 0) return {};
  return {TimeStepOfType(type), LocalTimeType(type)};
}

int64_t TimeStepOf(FileSystem& fs, const std::string& root) { return TimeTraitsOf(fs, root).step; }

bool SerialWritesType(std::string_view type) { return type == "fuse.fusefat"; }

bool SerialWritesOnly(FileSystem& fs, const std::string& root) {
  if (root.empty()) return false;
  Fd dir(fs, fs.OpenAt(AT_FDCWD, root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::string type;
  return dir.get() >= 0 && fs.MountType(dir.get(), &type) == 0 && SerialWritesType(type);
}

int CompareAtStep(int64_t a, int64_t b, int64_t step) {
  if (step < 1) step = 1;
  if (a - b < step && b - a < step) return 0;
  return a < b ? -1 : 1;
}

}  // namespace tavrik
