// Where the user's own files of this program live: $XDG_CONFIG_HOME/tavrik/, or
// ~/.config/tavrik/ when XDG_CONFIG_HOME is unset or not an absolute path.
#pragma once

#include <string>
#include <string_view>

namespace tavrik {

// The full path of the file leaf in the user's configuration folder; empty when neither
// XDG_CONFIG_HOME nor HOME gives a usable folder. The folder is not created.
std::string UserConfigFile(std::string_view leaf);

}  // namespace tavrik
