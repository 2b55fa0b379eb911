#include "cli/far_roots.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/remote/channel.h"
#include "core/remote/far_name.h"
#include "core/remote/push_agent.h"

namespace tavrik {

bool CommandRoots::Open(FileSystem& local, const std::vector<std::string>& names, bool push_agent,
                        const std::string* ssh_option, const StopFlag& stop, FILE* err) {
  for (const std::string& name : names) {
    const FarNameParse parse = ParseFolderName(name);
    if (parse.kind == FarNameKind::kRefused) {
      std::fprintf(err, "tavrik-cli: %s: %s\n", name.c_str(), parse.why.c_str());
      return false;
    }
    FileSystem* fs = &local;
    std::string path = name;
    std::string shown;
    if (parse.kind == FarNameKind::kFar) {
      const std::vector<std::string> ssh =
          remote::SshCommandWords(ssh_option, std::getenv("TAVRIK_SSH"));
      const auto stopped = [&stop] { return stop.Requested(); };
      remote::ConnectError error;
      const std::optional<std::vector<std::string>> far_command =
          remote::FarCommandFor(local, push_agent, parse.name, ssh, &error, stopped);
      std::unique_ptr<remote::RemoteFileSystem> far;
      if (far_command)
        far = remote::RemoteFileSystem::Open(parse.name, ssh, &error, stopped, *far_command);
      if (!far) {
        std::fprintf(err, "tavrik-cli: %s: %s\n", name.c_str(), error.text.c_str());
        return false;
      }
      fs = far.get();
      path = far->Root();
      shown = name;
      far_.push_back(std::move(far));
    }
    Fd fd(*fs, fs->OpenAt(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) {
      std::fprintf(err, "tavrik-cli: %s: %s\n", name.c_str(), std::strerror(errno));
      return false;
    }
    fs_.push_back(fs);
    paths_.push_back(path);
    shown_.push_back(shown);
  }
  return true;
}

}  // namespace tavrik
