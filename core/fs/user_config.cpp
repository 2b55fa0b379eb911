#include "core/fs/user_config.h"

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
  return base + "tavrik/" + std::string(leaf);
}

}  // namespace tavrik
