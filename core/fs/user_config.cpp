#include "core/fs/user_config.h"

#include <cerrno>
#include <cstdlib>

namespace tavrik {

std::string UserConfigFile(std::string_view leaf) {
  // A relative XDG_CONFIG_HOME is invalid and to be ignored, as the base-directory rules say.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') return {};
    base = std::string(home) + "/.config";
  }
  if (base.back() != '/') base.push_back('/');
  base += "tavrik/";
  base += leaf;
  return base;
}

int UserFileUnreachable(FileSystem& fs, const std::string& path) {
  struct stat st {};
  if (path.empty() || fs.StatAt(AT_FDCWD, path.c_str(), &st, 0) == 0 || errno != EACCES) return 0;
  // A link that is there but leads where this user may not look is a file that exists.
  if (fs.StatAt(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return 0;
  return errno == EACCES ? EACCES : 0;
}

}  // namespace tavrik
