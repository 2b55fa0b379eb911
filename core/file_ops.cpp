#include "core/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace tavrik {

namespace {

constexpr size_t kCopyChunk = size_t{1} << 30;
constexpr size_t kBufferSize = size_t{1} << 18;
constexpr int kTempAttempts = 100;

FsError ErrorAt(std::string path, int code = errno) { return FsError{code, std::move(path), {}}; }

std::string LeafOf(const std::string& path) {
  size_t last = path.rfind(kSep);
  return last == std::string::npos ? path : path.substr(last + 1);
}

bool IsDotName(std::string_view name) { return name == "." || name == ".."; }

bool ValidLeaf(const std::string& leaf) { return !leaf.empty() && !IsDotName(leaf); }

// One step of a folder walk: opens name inside dir, making the folder first when asked.
Result<Fd> OpenFolderStep(FileSystem& fs, int dir, const std::string& name, bool follow,
                          bool create, const std::string& prefix) {
  const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  int fd = fs.OpenAt(dir, name.c_str(), flags);
  if (fd >= 0) return Fd(fs, fd);
  if (errno != ENOENT || !create) return ErrorAt(prefix);
  if (fs.MkdirAt(dir, name.c_str(), 0777) != 0 && errno != EEXIST) return ErrorAt(prefix);
  fd = fs.OpenAt(dir, name.c_str(), flags);
  if (fd < 0) return ErrorAt(prefix);
  return Fd(fs, fd);
}

// Opens the folder holding the last component of path, one component at a time, so that
// below the root a link to a folder is refused instead of followed. The root itself (which
// may be reached through links) is opened in one step when it exists.
Result<Fd> OpenParent(FileSystem& fs, const std::string& path, size_t root_length, bool create) {
  const size_t last = path.rfind(kSep);
  size_t pos = 0;
  Fd dir;
  if (root_length > 0 && root_length <= last + 1) {
    const std::string root = path.substr(0, root_length);
    int fd = fs.OpenAt(AT_FDCWD, root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      dir = Fd(fs, fd);
      pos = root_length;
    }
  }
  if (dir.get() < 0) {
    // Walk from the start, creating what is missing of the root too.
    const char* start = (!path.empty() && path[0] == kSep) ? "/" : ".";
    int fd = fs.OpenAt(AT_FDCWD, start, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return ErrorAt(start);
    dir = Fd(fs, fd);
  }
  if (last == std::string::npos) return dir;
  while (pos < last) {
    const size_t end = path.find(kSep, pos);
    const std::string name = path.substr(pos, end - pos);
    pos = end + 1;
    if (name.empty()) continue;
    const bool inside_root = end < root_length;
    const std::string prefix = path.substr(0, end);
    if (!inside_root && IsDotName(name)) return ErrorAt(prefix, EINVAL);
    Result<Fd> next = OpenFolderStep(fs, dir.get(), name, inside_root, create, prefix);
    if (!next.ok()) return next;
    dir = std::move(next.value());
  }
  return dir;
}

// Checks that what lies at leaf is still what the fill saw: nothing (seen == nullptr), or a
// regular file with the recorded size and time. absent_ok: a missing file is no conflict.
FsResult CheckAsSeen(FileSystem& fs, int dir, const std::string& leaf, const FileStamp* seen,
                     const std::string& path, bool absent_ok) {
  struct stat st {};
  if (fs.StatAt(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT && absent_ok) return {};
    return ErrorAt(path);
  }
  if (S_ISDIR(st.st_mode)) return ErrorAt(path, EISDIR);
  if (!seen) return ErrorAt(path, EEXIST);
  // The fill counted a link to a regular file as that file, with the file's own stamp.
  if (S_ISLNK(st.st_mode) && fs.StatAt(dir, leaf.c_str(), &st, 0) != 0)
    return ErrorAt(path, ESTALE);
  if (!S_ISREG(st.st_mode) || !(StampOf(st) == *seen)) return ErrorAt(path, ESTALE);
  return {};
}

bool SameFile(FileSystem& fs, int dir, const std::string& leaf, const struct stat& other) {
  struct stat st {};
  if (fs.StatAt(dir, leaf.c_str(), &st, 0) != 0) return false;
  return st.st_dev == other.st_dev && st.st_ino == other.st_ino;
}

struct Source {
  Fd fd;
  struct stat st {};
};

Result<Source> OpenSource(FileSystem& fs, const TreePath& src) {
  const std::string full = src.Full();
  if (src.rel.empty()) return ErrorAt(full, EINVAL);
  Result<Fd> dir = OpenParent(fs, full, src.root.size(), false);
  if (!dir.ok()) return dir.error();
  const std::string leaf = LeafOf(full);
  if (!ValidLeaf(leaf)) return ErrorAt(full, EINVAL);
  // O_NONBLOCK: a FIFO put where the file was must not stall the run.
  int fd = fs.OpenAt(dir.value().get(), leaf.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return ErrorAt(full);
  Source source{Fd(fs, fd)};
  if (fs.Fstat(fd, &source.st) != 0) return ErrorAt(full);
  if (!S_ISREG(source.st.st_mode)) return ErrorAt(full, EINVAL);
  return source;
}

FsResult WriteAll(FileSystem& fs, int out, const char* data, size_t size, off_t offset,
                  const std::string& path) {
  while (size > 0) {
    ssize_t n = fs.PWrite(out, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrorAt(path);
    if (n == 0) return ErrorAt(path, EIO);
    data += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return {};
}

FsResult CopyByBuffer(FileSystem& fs, int in, int out, off_t offset, const std::string& src_path,
                      const std::string& dst_path) {
  std::vector<char> buffer(kBufferSize);
  for (;;) {
    ssize_t got = fs.PRead(in, buffer.data(), buffer.size(), offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return ErrorAt(src_path);
    if (got == 0) return {};
    FsResult written = WriteAll(fs, out, buffer.data(), static_cast<size_t>(got), offset, dst_path);
    if (!written.ok()) return written;
    offset += got;
  }
}

// copy_file_range refuses some pairs of file systems and some file systems altogether;
// those copies go through a buffer instead.
bool CopyRangeRefused(int error) {
  return error == EXDEV || error == ENOSYS || error == EOPNOTSUPP || error == EINVAL;
}

FsResult CopyContents(FileSystem& fs, int in, int out, const std::string& src_path,
                      const std::string& dst_path) {
  off_t in_offset = 0;
  off_t out_offset = 0;
  for (;;) {
    ssize_t n = fs.CopyRange(in, &in_offset, out, &out_offset, kCopyChunk);
    if (n > 0) continue;
    if (n == 0) return {};
    if (errno == EINTR) continue;
    if (!CopyRangeRefused(errno)) return ErrorAt(dst_path);
    return CopyByBuffer(fs, in, out, in_offset, src_path, dst_path);
  }
}

FsResult KeepMetadata(FileSystem& fs, int out, const struct stat& st, const std::string& path) {
  // File systems without Unix modes refuse any mode; the copy is still good there.
  if (fs.Fchmod(out, st.st_mode & 0777) != 0 && errno != EPERM && errno != EOPNOTSUPP)
    return ErrorAt(path);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (fs.Futimens(out, times) != 0) return ErrorAt(path);
  return {};
}

// The copy beside the target; removed again unless it was renamed over the target.
class TempFile {
 public:
  TempFile(FileSystem& fs, int dir, const std::string& target_path)
      : fs_(fs), dir_(dir), target_path_(target_path) {}
  ~TempFile() {
    if (!name_.empty()) fs_.UnlinkAt(dir_, name_.c_str(), 0);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  FsResult Create() {
    static unsigned counter = 0;
    const std::string pid = std::to_string(getpid());
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
      std::string name = std::string(kTempPrefix) + pid + "-" + std::to_string(++counter);
      int fd = fs_.OpenAt(dir_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd >= 0) {
        fd_ = Fd(fs_, fd);
        name_ = std::move(name);
        return {};
      }
      if (errno != EEXIST) return ErrorAt(target_path_);
    }
    return ErrorAt(target_path_, EEXIST);
  }
  int fd() const { return fd_.get(); }
  // Closes before the rename; a late write error shows here, before the target is touched.
  FsResult Finish() {
    if (fd_.Close() != 0) return ErrorAt(target_path_);
    return {};
  }
  FsResult RenameOnto(const std::string& leaf) {
    if (fs_.RenameAt(dir_, name_.c_str(), dir_, leaf.c_str()) != 0) return ErrorAt(target_path_);
    name_.clear();
    return {};
  }

 private:
  FileSystem& fs_;
  int dir_;
  const std::string& target_path_;
  std::string name_;
  Fd fd_;
};

}  // namespace

FsResult MakeParentFolders(FileSystem& fs, const std::string& path, size_t root_length) {
  Result<Fd> dir = OpenParent(fs, path, root_length, true);
  if (!dir.ok()) return dir.error();
  return {};
}

FsResult CopyFileOnto(FileSystem& fs, const TreePath& src, const TreePath& dst,
                      const FileStamp* dst_seen) {
  Result<Source> source = OpenSource(fs, src);
  if (!source.ok()) return source.error();
  const std::string src_path = src.Full();
  const std::string dst_path = dst.Full();
  if (dst.rel.empty()) return ErrorAt(dst_path, EINVAL);
  Result<Fd> dir = OpenParent(fs, dst_path, dst.root.size(), false);
  if (!dir.ok()) return dir.error();
  const int dir_fd = dir.value().get();
  const std::string leaf = LeafOf(dst_path);
  if (!ValidLeaf(leaf)) return ErrorAt(dst_path, EINVAL);
  // Both roots naming one folder: the file is already where it should be.
  if (SameFile(fs, dir_fd, leaf, source.value().st)) return {};

  TempFile temp(fs, dir_fd, dst_path);
  FsResult step = temp.Create();
  if (step.ok()) step = CopyContents(fs, source.value().fd.get(), temp.fd(), src_path, dst_path);
  if (step.ok()) step = KeepMetadata(fs, temp.fd(), source.value().st, dst_path);
  if (step.ok()) step = temp.Finish();
  // Checked as late as possible: whatever appeared or changed meanwhile is newer work.
  if (step.ok()) step = CheckAsSeen(fs, dir_fd, leaf, dst_seen, dst_path, true);
  if (step.ok()) step = temp.RenameOnto(leaf);
  return step;
}

FsResult FlushFileSystem(FileSystem& fs, const std::string& root) {
  Fd dir(fs, fs.OpenAt(AT_FDCWD, root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return ErrorAt(root);
  if (fs.SyncFs(dir.get()) != 0) return ErrorAt(root);
  return {};
}

FsResult DeleteFileAt(FileSystem& fs, const TreePath& path, const FileStamp* seen) {
  const std::string full = path.Full();
  if (path.rel.empty()) return ErrorAt(full, EINVAL);
  Result<Fd> dir = OpenParent(fs, full, path.root.size(), false);
  if (!dir.ok()) return dir.error();
  const std::string leaf = LeafOf(full);
  if (!ValidLeaf(leaf)) return ErrorAt(full, EINVAL);
  FsResult check = CheckAsSeen(fs, dir.value().get(), leaf, seen, full, false);
  if (!check.ok()) return check;
  if (fs.UnlinkAt(dir.value().get(), leaf.c_str(), 0) != 0) return ErrorAt(full);
  return {};
}

}  // namespace tavrik
