// The folders a console command names, each on the file system that serves it: a folder on
// this machine on the local one, a folder on another machine ([user@]host:path or
// ssh://[user@]host[:port]/path) on a connection to its far end, made before anything else.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/fs/file_system.h"
#include "core/parallel/run_scope.h"
#include "core/remote/remote_file_system.h"

namespace tavrik {

class CommandRoots {
 public:
  // Connects to the far end of every far folder (through ssh_option, else TAVRIK_SSH, else
  // ssh; with push_agent, the agent copied there first) and checks that each folder can be
  // opened. False, with one line on err, when one cannot.
  bool Open(FileSystem& local, const std::vector<std::string>& names, bool push_agent,
            const std::string* ssh_option, const StopFlag& stop, FILE* err);

  FileSystem& Fs(size_t i) const { return *fs_[i]; }
  // The folder as its file system names it.
  const std::string& Path(size_t i) const { return paths_[i]; }
  // A far folder as the user gave it, for its column's header; empty for a local one.
  const std::string& Shown(size_t i) const { return shown_[i]; }

 private:
  std::vector<std::unique_ptr<remote::RemoteFileSystem>> far_;
  std::vector<FileSystem*> fs_;
  std::vector<std::string> paths_;
  std::vector<std::string> shown_;
};

}  // namespace tavrik
