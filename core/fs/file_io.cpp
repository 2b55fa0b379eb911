#include "core/fs/file_io.h"

#include <fcntl.h>

#include <cerrno>

namespace tavrik {

FsResult WriteAll(FileSystem& fs, int fd, std::string_view data, off_t offset,
                  const std::string& path) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n =
        fs.PWrite(fd, data.data() + done, data.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ErrorAt(path, n < 0 ? errno : EIO);
    done += static_cast<size_t>(n);
  }
  return {};
}

FsResult SetTimesAt(FileSystem& fs, int dir, const std::string& name, const struct timespec& atime,
                    const struct timespec& mtime, const std::string& path) {
  const struct timespec times[2] = {atime, mtime};
  if (fs.UtimensAt(dir, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) return ErrorAt(path);
  return {};
}

int ReadLinkText(FileSystem& fs, int dir, const char* name, std::string* text, size_t expected) {
  for (size_t room = expected + 1;; room *= 4) {
    text->resize(room);
    const ssize_t n = fs.ReadLinkAt(dir, name, text->data(), room);
    if (n < 0) return -1;
    if (static_cast<size_t>(n) < room) {
      text->resize(static_cast<size_t>(n));
      return 0;
    }
  }
}

}  // namespace tavrik
