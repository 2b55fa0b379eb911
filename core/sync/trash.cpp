#include "core/sync/trash.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/fs/file_io.h"
#include "core/fs/no_replace.h"
#include "core/fs/percent_escape.h"
#include "core/sync/file_ops.h"

namespace tavrik {

namespace {

constexpr std::string_view kInfoSuffix = ".trashinfo";
constexpr size_t kMaxName = 255;
constexpr int kNameAttempts = 10000;
// Times a move into the trash starts over with a new name after another program took the
// one reserved (a program that writes no info file for what it trashes).
constexpr int kMoveAttempts = 3;

// A trash folder that is a link, a file, someone else's or on another device is refused on
// purpose; the user must hear that the trash is at fault, not the file being replaced.
FsError Unsafe(const std::string& path, int code) { return FsError{code, path, kWhyTrashUnsafe}; }

std::string ParentOf(const std::string& path) {
  const size_t last = path.rfind('/');
  if (last == std::string::npos || last == 0) return "/";
  return path.substr(0, last);
}

std::string Join(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

class Trasher {
 public:
  explicit Trasher(FileSystem& fs) : fs_(fs) {}

  // The device of path, or of its nearest existing ancestor: the home trash may not exist.
  bool DeviceOfNearest(std::string path, dev_t* dev) {
    for (;;) {
      struct stat st {};
      if (fs_.StatAt(AT_FDCWD, path.c_str(), &st, 0) == 0) {
        *dev = st.st_dev;
        return true;
      }
      if (path == "/" || path.empty()) return false;
      path = ParentOf(path);
    }
  }

  // The top folder of the mount that holds folder (whose device is dev).
  std::string TopOf(std::string folder, dev_t dev) {
    while (folder != "/") {
      const std::string parent = ParentOf(folder);
      struct stat st {};
      if (fs_.StatAt(AT_FDCWD, parent.c_str(), &st, 0) != 0 || st.st_dev != dev) break;
      folder = parent;
    }
    return folder;
  }

  // A folder of ours: made (mode 0700) when missing, then it must be a real folder, not a
  // link, owned by us; returned opened.
  Result<Fd> OwnFolder(const std::string& path) {
    if (fs_.MkdirAt(AT_FDCWD, path.c_str(), 0700) != 0 && errno != EEXIST) return ErrorAt(path);
    Fd folder(fs_,
              fs_.OpenAt(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0) {
      if (errno == ENOTDIR || errno == ELOOP) return Unsafe(path, errno);
      return ErrorAt(path);
    }
    struct stat st {};
    if (fs_.Fstat(folder.get(), &st) != 0) return ErrorAt(path);
    if (st.st_uid != ::getuid()) return Unsafe(path, EPERM);
    return folder;
  }

  // The parents of the home trash (~/.local/share) may be missing on a fresh account.
  Result<Fd> MakeFolders(const std::string& path) {
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
      const std::string part = path.substr(0, at);
      if (fs_.MkdirAt(AT_FDCWD, part.c_str(), 0700) != 0 && errno != EEXIST) return ErrorAt(part);
    }
    return OwnFolder(path);
  }

  // One trash: files/ and info/ opened, and how Path= is written there.
  struct Trash {
    Fd files;
    Fd info;
    std::string topdir;  // empty for the home trash, whose Path= values are absolute
  };

  Result<Trash> OpenTrash(const std::string& path, std::string topdir, dev_t dev, bool make_all) {
    Result<Fd> base = make_all ? MakeFolders(path) : OwnFolder(path);
    if (!base.ok()) return base.error();
    struct stat st {};
    if (fs_.Fstat(base.value().get(), &st) != 0) return ErrorAt(path);
    // A trash on another file system would turn the move into a copy.
    if (st.st_dev != dev) return Unsafe(path, EXDEV);
    Result<Fd> files = OwnFolder(Join(path, "files"));
    if (!files.ok()) return files.error();
    Result<Fd> info = OwnFolder(Join(path, "info"));
    if (!info.ok()) return info.error();
    return Trash{std::move(files.value()), std::move(info.value()), std::move(topdir)};
  }

  // The trash for a file in folder (absolute, device dev): the home trash when the home
  // lies on the same file system; otherwise $topdir/.Trash/$uid when $topdir/.Trash is a
  // sticky folder and not a link, else $topdir/.Trash-$uid.
  Result<Trash> TrashFor(const std::string& folder, dev_t dev, const std::string& full_path) {
    const std::string home = HomeTrashPath();
    dev_t home_dev = 0;
    if (!home.empty() && DeviceOfNearest(home, &home_dev) && home_dev == dev)
      return OpenTrash(home, "", dev, true);
    const std::string top = TopOf(folder, dev);
    const std::string uid = std::to_string(::getuid());
    const std::string shared = Join(top, ".Trash");
    struct stat st {};
    if (fs_.StatAt(AT_FDCWD, shared.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
      Result<Trash> trash = OpenTrash(Join(shared, uid), top, dev, false);
      if (trash.ok()) return trash;
    }
    Result<Trash> trash = OpenTrash(Join(top, ".Trash-" + uid), top, dev, false);
    if (!trash.ok()) return FsError{trash.error().code, full_path, trash.error().why};
    return trash;
  }

  bool Absent(int dir, const std::string& name) {
    struct stat st {};
    return fs_.StatAt(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
  }

  // Finds the trash for leaf in dir and reserves a name in its files/ by creating the
  // .trashinfo exclusively (so two programs trashing at once cannot pick the same).
  FsResult Reserve(int dir, const std::string& leaf, const std::string& full_path) {
    std::string folder;
    if (fs_.FdPath(dir, &folder) != 0) return ErrorAt(full_path);
    struct stat st {};
    if (fs_.Fstat(dir, &st) != 0) return ErrorAt(full_path);
    // The path must still lead to this very folder (it may have been moved meanwhile, or
    // the file system may not be the one the kernel knows).
    struct stat named {};
    if (fs_.StatAt(AT_FDCWD, folder.c_str(), &named, 0) != 0 || named.st_dev != st.st_dev ||
        named.st_ino != st.st_ino)
      return ErrorAt(full_path, ESTALE);
    Result<Trash> trash = TrashFor(folder, st.st_dev, full_path);
    if (!trash.ok()) return trash.error();
    trash_ = std::move(trash.value());
    const std::string full = Join(folder, leaf);
    const size_t cut = trash_.topdir.empty()  ? 0
                       : trash_.topdir == "/" ? 1
                                              : trash_.topdir.size() + 1;
    const std::string text =
        TrashInfoText(EscapeTrashPath(std::string_view(full).substr(cut)), std::time(nullptr));
    std::string stem = leaf;
    if (stem.size() > kMaxName - kInfoSuffix.size() - 6)
      stem.resize(kMaxName - kInfoSuffix.size() - 6);
    for (int n = 1; n <= kNameAttempts; ++n) {
      std::string name = n == 1 ? stem : stem + "." + std::to_string(n);
      if (!Absent(trash_.files.get(), name)) continue;
      const std::string info_name = name + std::string(kInfoSuffix);
      Fd info(fs_, fs_.OpenAt(trash_.info.get(), info_name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (info.get() < 0 && errno == EEXIST) continue;
      if (info.get() < 0) return ErrorAt(full_path);
      name_ = std::move(name);
      FsResult written = WriteAll(fs_, info.get(), text, 0, full_path);
      if (!written.ok()) return written;
      if (info.Close() != 0) return ErrorAt(full_path);
      return {};
    }
    return ErrorAt(full_path, EEXIST);
  }

  // The reserved name is kept unless Keep() was called: otherwise its info goes again.
  ~Trasher() {
    if (!kept_ && !name_.empty())
      fs_.UnlinkAt(trash_.info.get(), (name_ + std::string(kInfoSuffix)).c_str(), 0);
  }
  void Keep() { kept_ = true; }
  int files() const { return trash_.files.get(); }
  const char* name() const { return name_.c_str(); }

 private:
  FileSystem& fs_;
  Trash trash_;
  std::string name_;
  bool kept_ = false;
};

}  // namespace

std::string HomeTrashPath() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && data[0] == '/') return Join(data, "Trash");
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return Join(home, ".local/share/Trash");
  return {};
}

std::string EscapeTrashPath(std::string_view path) {
  return PercentEscape(path, KeepBytes::kUrlPath);
}

std::string TrashInfoText(std::string_view escaped_path, std::time_t when) {
  struct tm local {};
  localtime_r(&when, &local);
  char date[64];
  std::snprintf(date, sizeof date, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return "[Trash Info]\nPath=" + std::string(escaped_path) + "\nDeletionDate=" + date + "\n";
}

FsResult MoveToTrash(FileSystem& fs, int dir, const std::string& leaf,
                     const std::string& full_path) {
  for (int attempt = 1;; ++attempt) {
    Trasher trasher(fs);
    FsResult reserved = trasher.Reserve(dir, leaf, full_path);
    if (!reserved.ok()) return reserved;
    // Neither the link nor the rename replaces a name another program took meanwhile.
    if (fs.LinkAt(dir, leaf.c_str(), trasher.files(), trasher.name()) == 0) {
      if (fs.UnlinkAt(dir, leaf.c_str(), 0) != 0) {
        const int error = errno;
        fs.UnlinkAt(trasher.files(), trasher.name(), 0);
        return ErrorAt(full_path, error);
      }
      trasher.Keep();
      return {};
    }
    // No hard links here (or not for this file): moved instead.
    if (errno != ENOENT && errno != EEXIST &&
        RenameNoReplace(fs, dir, leaf.c_str(), trasher.files(), trasher.name()) == 0) {
      trasher.Keep();
      return {};
    }
    if (errno != EEXIST || attempt == kMoveAttempts) return ErrorAt(full_path);
  }
}

FsResult ReplaceKeepingInTrash(FileSystem& fs, int dir, const std::string& temp,
                               const std::string& leaf, const std::string& full_path) {
  // The copy takes a name that is free: one taken meanwhile by another program stays.
  auto place_new = [&]() -> FsResult {
    if (RenameNoReplace(fs, dir, temp.c_str(), dir, leaf.c_str()) == 0) return {};
    if (errno == EEXIST) return Because(full_path, EEXIST, kWhyNameTaken);
    return ErrorAt(full_path);
  };
  for (int attempt = 1;; ++attempt) {
    Trasher trasher(fs);
    FsResult reserved = trasher.Reserve(dir, leaf, full_path);
    if (!reserved.ok()) return reserved;
    const char* kept = trasher.name();
    if (fs.LinkAt(dir, leaf.c_str(), trasher.files(), kept) == 0) {
      // The old file stays where it is until the copy replaces it.
      if (fs.RenameAt(dir, temp.c_str(), dir, leaf.c_str()) != 0) {
        const int error = errno;
        fs.UnlinkAt(trasher.files(), kept, 0);
        return ErrorAt(full_path, error);
      }
      trasher.Keep();
      return {};
    }
    // Gone since it was checked: nothing to keep.
    if (errno == ENOENT) return place_new();
    if (errno == EEXIST) {
      if (attempt == kMoveAttempts) return ErrorAt(full_path);
      continue;
    }
    // No hard links here (or not for this file): move it out, then the copy in.
    if (RenameNoReplace(fs, dir, leaf.c_str(), trasher.files(), kept) != 0) {
      if (errno == EEXIST && attempt < kMoveAttempts) continue;
      return ErrorAt(full_path);
    }
    FsResult placed = place_new();
    if (!placed.ok()) {
      // Should the way back fail too, or the name be another program's now, the old file
      // stays in the trash, found by its info.
      if (RenameNoReplace(fs, trasher.files(), kept, dir, leaf.c_str()) != 0) trasher.Keep();
      return placed;
    }
    trasher.Keep();
    return {};
  }
}

}  // namespace tavrik
