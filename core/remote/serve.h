// The far end: answers the protocol's calls on a channel from a FileSystem, below one root
// only (root_walk.h says how a path is kept there), several calls at once.
#pragma once

#include <string>

#include "core/fs/file_system.h"
#include "core/remote/channel.h"

namespace tavrik::remote {

struct ServeOptions {
  // Files this connection creates exclusively under names that begin with it are the
  // near side's work in progress: those still there when the connection ends are removed.
  std::string temp_prefix;
  int threads = 4;  // calls answered at once
};

// Runs one connection to its end (the end of the input, a stop, a broken protocol).
// Returns 0 after a clean end, else an errno-like code of what ended it.
int Serve(FileSystem& fs, Channel& channel, const ServeOptions& options);

}  // namespace tavrik::remote
