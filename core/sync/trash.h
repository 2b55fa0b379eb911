// Moving files into the desktop's trash instead of unlinking them, following the
// freedesktop.org trash layout: a trash folder with files/ and info/, one NAME.trashinfo
// per trashed file. Each file goes to the trash of its own file system (the home trash, or
// one at the top of the mount), so trashing is a rename, never a copy.
//
// Written here rather than taken from a desktop library: core links no such library, and
// the synchronisation reaches its files through folder descriptors opened without
// following links, which a path-based trash call would undo.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "core/fs/file_system.h"
#include "core/fs/fs_error.h"

namespace tavrik {

// Why a trash folder is not used: it is a link, not a folder, someone else's, or on another
// device than the file.
inline constexpr const char* kWhyTrashUnsafe =
    "Der Papierkorb des Datenträgers ist nicht sicher und wird nicht benutzt.";

// $XDG_DATA_HOME/Trash, or $HOME/.local/share/Trash when XDG_DATA_HOME is unset or not
// absolute. Empty when neither gives an absolute path.
std::string HomeTrashPath();

// Percent-escapes a path for the Path= key: every byte but unreserved characters and "/".
std::string EscapeTrashPath(std::string_view path);

// The whole .trashinfo text for a Path= value (already escaped) and a deletion time, which
// is written as local time YYYY-MM-DDThh:mm:ss.
std::string TrashInfoText(std::string_view escaped_path, std::time_t when);

// Moves the entry leaf of the open folder dir (a link itself, never what it leads to) into
// the trash of dir's file system. full_path names the file in errors. Fails, leaving the
// file where it is, when that file system has no usable trash. The trash is found by the
// folder's path as the file system reports it for the open folder (FdPath). Nothing in the
// trash is ever replaced: a name another program took meanwhile makes the move start over
// with the next free one.
FsResult MoveToTrash(FileSystem& fs, int dir, const std::string& leaf,
                     const std::string& full_path);

// Renames the entry temp of dir over the entry leaf of dir and keeps the replaced entry in
// the trash. The old entry is hard-linked into the trash first, so it is never in neither
// place; where the file system refuses the link it is moved out before and moved back
// should the rename fail. Wherever the name is free at the rename (leaf gone, or moved out)
// temp takes it only while it stays free: a file another program put there meanwhile stays,
// and the replacement fails (kWhyNameTaken); an old file moved out stays in the trash.
FsResult ReplaceKeepingInTrash(FileSystem& fs, int dir, const std::string& temp,
                               const std::string& leaf, const std::string& full_path);

}  // namespace tavrik
