// A copy between two file systems: the source's bytes streamed into the target's temporary
// file, or, where an older file of a far side is replaced, a delta against that file. One
// side far, this moves a file in a few calls however many chunks and attributes it has.
#pragma once

#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "core/fs/file_stamp.h"
#include "core/fs/file_system.h"
#include "core/fs/fs_error.h"
#include "core/parallel/run_scope.h"

namespace tavrik {

using Xattrs = std::vector<std::pair<std::string, std::string>>;

// The source's extended attributes, POSIX ACLs among them (system.posix_acl_access), as far
// as it gives them: only a failure that is not a refusal (an I/O error) fails the copy. path
// names the file in that failure.
FsResult ReadXattrs(FileSystem& fs, int in, const std::string& path, Xattrs* out);

// Where a streamed copy comes from and goes to.
struct StreamEnds {
  FileSystem& src_fs;
  int in;                 // the source, open for reading
  const struct stat& st;  // its status when opened
  FileSystem& dst_fs;
  int dir;                    // the target's folder
  const std::string& leaf;    // the target's name in it (the older file, where there is one)
  int out;                    // the temporary file, new and empty
  const FileStamp* dst_seen;  // the older file as the fill saw it; nullptr: none
  const std::string& src_path;
  const std::string& dst_path;
  const RunScope* scope;  // a stop breaks the copy off between two chunks
};

// Fills the temporary file with the source's bytes, owner, attributes, mode and times, its
// data flushed where it is to replace an older file; *written is its status then. An older
// file of at least kDeltaThreshold bytes, where one side is far, is the basis of a delta.
FsResult StreamCopy(const StreamEnds& ends, struct stat* written);

}  // namespace tavrik
