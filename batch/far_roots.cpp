#include "batch/far_roots.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include "core/remote/channel.h"
#include "core/remote/far_name.h"
#include "core/remote/push_agent.h"
#include "core/remote/remote_file_system.h"

namespace tavrik {

namespace {

FarNameParse Parse(const std::string& name, FolderNames names) {
  return names == FolderNames::kControlFile ? ParseControlFileFolderName(name)
                                            : ParseFolderName(name);
}

}  // namespace

bool NamesFarFolder(const std::string& name, FolderNames names) {
  return Parse(name, names).kind != FarNameKind::kLocal;
}

bool OpenFolder(FileSystem& local, const std::string& name, FolderNames names,
                const FarAccess& access, const StopFlag& stop, OpenedFolder* out,
                std::string* why) {
  const FarNameParse parse = Parse(name, names);
  if (parse.kind == FarNameKind::kRefused) {
    *why = parse.why;
    return false;
  }
  OpenedFolder opened;
  if (parse.kind == FarNameKind::kLocal) {
    opened.fs = &local;
    opened.path = name;
    *out = std::move(opened);
    return true;
  }
  const std::vector<std::string> ssh =
      remote::SshCommandWords(access.has_ssh ? &access.ssh : nullptr, std::getenv("TAVRIK_SSH"));
  const auto stopped = [&stop] { return stop.Requested(); };
  remote::ConnectError error;
  const std::optional<std::vector<std::string>> far_command =
      remote::FarCommandFor(local, access.push_agent, parse.name, ssh, &error, stopped);
  std::unique_ptr<remote::RemoteFileSystem> far;
  if (far_command)
    far = remote::RemoteFileSystem::Open(parse.name, ssh, &error, stopped, *far_command);
  if (!far) {
    *why = error.code == ECANCELED ? std::string() : error.text;
    return false;
  }
  opened.fs = far.get();
  opened.path = far->Root();
  opened.shown = name;
  opened.far = std::move(far);
  *out = std::move(opened);
  return true;
}

std::string UseFolder(Context& ctx, int side, OpenedFolder folder) {
  FileSystem*& fs = side == 0 ? ctx.left_fs : ctx.right_fs;
  if (folder.far)
    fs = folder.fs;
  else if (fs == ctx.state.far_fs[side].get())
    fs = nullptr;
  // The side's last connection goes.
  ctx.state.far_fs[side] = std::move(folder.far);
  ctx.state.far_name[side] = std::move(folder.shown);
  return folder.path;
}

bool OpenSide(Context& ctx, int side, const std::string& name, FolderNames names, std::string* path,
              std::string* why) {
  OpenedFolder folder;
  if (!OpenFolder(ctx.fs, name, names, ctx.state.far_access, ctx.state.stop, &folder, why))
    return false;
  *path = UseFolder(ctx, side, std::move(folder));
  return true;
}

}  // namespace tavrik
