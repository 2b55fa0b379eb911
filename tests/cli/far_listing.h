// What a test asks of a connected far folder: the names below its root and a file's text.
#pragma once

#include <fcntl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/remote/remote_file_system.h"

namespace tavrik::testing {

inline std::string ErrnoText() { return std::string("E").append(std::to_string(errno)); }

// The names in the far root, sorted, without "." and ".."; "E<errno>" when it cannot be listed.
inline std::string FarNames(remote::RemoteFileSystem& far) {
  FileSystem& fs = far;
  const int fd = fs.OpenAt(AT_FDCWD, far.Root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return ErrnoText();
  std::unique_ptr<DirStream> dir = fs.OpenDir(fd);
  if (!dir) return ErrnoText();
  std::vector<std::string> names;
  const char* name = nullptr;
  while (fs.ReadDir(*dir, &name) == 1) {
    const std::string n = name;
    if (n != "." && n != "..") names.push_back(n);
  }
  std::sort(names.begin(), names.end());
  std::string joined;
  for (const std::string& n : names) joined += (joined.empty() ? "" : " ") + n;
  return joined;
}

// The first bytes of the far file rel (below the root); "E<errno>" when it cannot be read.
inline std::string FarText(remote::RemoteFileSystem& far, const std::string& rel) {
  FileSystem& fs = far;
  const std::string path = far.Root() + "/" + rel;
  Fd fd(fs, fs.OpenAt(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string text(256, '\0');
  const ssize_t n = fd.get() < 0 ? -1 : fs.PRead(fd.get(), text.data(), text.size(), 0);
  return n < 0 ? ErrnoText() : text.substr(0, static_cast<size_t>(n));
}

}  // namespace tavrik::testing
