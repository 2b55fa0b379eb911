// Opening the folders a run names, for the console, the window and a control file alike: a
// folder here is served by the local file system, a folder on another machine
// ([user@]host:path or ssh://[user@]host[:port]/path; a control file takes only the second)
// by a connection to its far end, made before anything is listed.
#pragma once

#include <memory>
#include <string>

#include "core/fs/file_system.h"
#include "core/list/shared_state.h"
#include "core/parallel/run_scope.h"

namespace tavrik {

enum class FolderNames { kCommandLine, kControlFile };

// A folder opened: the file system that serves it and its path there. far owns the
// connection of a far folder (fs points into it); shown is the name as given (empty for a
// folder here).
struct OpenedFolder {
  std::unique_ptr<FileSystem> far;
  FileSystem* fs = nullptr;
  std::string path;
  std::string shown;
};

// True when name is a far folder in the given form (whether or not it can be reached).
bool NamesFarFolder(const std::string& name, FolderNames names);

// Opens a far folder (through access.ssh, else TAVRIK_SSH, else ssh; with push_agent, the
// agent copied there first) and checks that it opens; a folder here is only named. False
// with the German reason in *why when it cannot be reached or is refused; an empty *why
// means the user stopped the wait.
bool OpenFolder(FileSystem& local, const std::string& name, FolderNames names,
                const FarAccess& access, const StopFlag& stop, OpenedFolder* out, std::string* why);

// Makes an opened folder the root of one side of ctx (0 left, 1 right): a far one's
// connection then belongs to ctx.state, replacing that side's last one, and its column header
// shows it as given. Returns the path a fill of that side takes.
std::string UseFolder(Context& ctx, int side, OpenedFolder folder);

// OpenFolder and UseFolder in one; false with *why as OpenFolder gives it, ctx unchanged.
bool OpenSide(Context& ctx, int side, const std::string& name, FolderNames names, std::string* path,
              std::string* why);

}  // namespace tavrik
