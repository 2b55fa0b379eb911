// Walking folders by name without ever following a link: below a starting point a link in
// place of a folder is refused (ELOOP or ENOTDIR), so no walk leaves the tree it was given.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/fs/file_system.h"
#include "core/fs/fs_error.h"

namespace tavrik {

// Opens the folder name inside dir (O_PATH), following a link only when follow is set. When
// create is set a missing folder is made first (*made is then set when this call made it).
// path names the folder in errors.
Result<Fd> OpenFolderStep(FileSystem& fs, int dir, const std::string& name, bool follow,
                          bool create, const std::string& path, bool* made);

// Opens the folder that holds the last part of rel below dir, one part at a time without
// following links, making missing folders when made is given (their relative paths are
// appended to it, outermost first). path names the file in errors.
Result<Fd> OpenRelParent(FileSystem& fs, int dir, std::string_view rel, const std::string& path,
                         std::vector<std::string>* made = nullptr);

// The names in the open folder dir (which may be an O_PATH handle), without "." and "..".
// 0, or -1 with errno set when the folder cannot be listed to its end.
int ListNames(FileSystem& fs, int dir, std::vector<std::string>* names);

// Removes the folder name in dir with all it holds; links inside are removed, never
// followed. 0, or -1 with errno set at the first entry that could not go.
int RemoveTree(FileSystem& fs, int dir, const std::string& name);

}  // namespace tavrik
