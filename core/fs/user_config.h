// Where the user's own files of this program live: $XDG_CONFIG_HOME/tavrik/, or
// ~/.config/tavrik/ when XDG_CONFIG_HOME is unset or not an absolute path.
#pragma once

#include <string>
#include <string_view>

#include "core/fs/file_system.h"

namespace tavrik {

// The full path of the file leaf in the user's configuration folder; empty when neither
// XDG_CONFIG_HOME nor HOME gives a usable folder. The folder is not created.
std::string UserConfigFile(std::string_view leaf);

// The user's files are optional. 0 when the one at path can be looked for (it may still be
// missing); the error (EACCES) when a folder on its way cannot be searched, so that whether
// it exists cannot be told: as another user with the first one's HOME. The run then goes on
// without it. A file that is there (a link too) and cannot be read is the reader's error.
int UserFileUnreachable(FileSystem& fs, const std::string& path);

}  // namespace tavrik
