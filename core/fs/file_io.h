// Small steps on open files and names that several parts of the program take alike.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "core/fs/file_system.h"
#include "core/fs/fs_error.h"

namespace tavrik {

// Writes all of data at offset, going on after short writes and interruptions; path names
// the file in the failure.
FsResult WriteAll(FileSystem& fs, int fd, std::string_view data, off_t offset,
                  const std::string& path);

// Sets the access and modification times of name in dir by name, never through a handle
// opened for writing (a read-only file keeps its times too); a link's own times, not its
// target's.
FsResult SetTimesAt(FileSystem& fs, int dir, const std::string& name, const struct timespec& atime,
                    const struct timespec& mtime, const std::string& path);

// The whole target text of the link name in dir (AT_FDCWD: name is a full path) into *text,
// starting with room for expected bytes and growing for a longer one. 0, or -1 with errno.
int ReadLinkText(FileSystem& fs, int dir, const char* name, std::string* text,
                 size_t expected = 255);

}  // namespace tavrik
