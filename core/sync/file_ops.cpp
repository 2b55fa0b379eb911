#include "core/sync/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "core/fs/file_io.h"
#include "core/fs/folder_walk.h"
#include "core/fs/no_replace.h"
#include "core/sync/stream_copy.h"
#include "core/sync/trash.h"
#include "core/sync/versions.h"

namespace tavrik {

namespace {

// Small enough that a stop is seen within half a second on a medium of 10 MB/s.
constexpr size_t kCopyChunk = size_t{4} << 20;
constexpr size_t kBufferSize = size_t{1} << 18;
constexpr int kTempAttempts = 100;

std::string LeafOf(const std::string& path) {
  size_t last = path.rfind(kSep);
  return last == std::string::npos ? path : path.substr(last + 1);
}

bool IsDotName(std::string_view name) { return name == "." || name == ".."; }

bool ValidLeaf(const std::string& leaf) { return !leaf.empty() && !IsDotName(leaf); }

// A folder step that failed on a link: nothing is written through it, and the reason says
// why the row cannot be done.
FsError LinkInTheWay(FileSystem& fs, int dir, const std::string& name, const std::string& path,
                     FsError failure) {
  struct stat st {};
  if (fs.StatAt(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
    return failure;
  return Because(path, failure.code, kWhyLinkOnTheWay);
}

// Opens the folder holding the last component of path, one component at a time, so that
// below the root a link to a folder is refused instead of followed. The root itself (which
// may be reached through links) is opened in one step when it exists.
// With root_id set the root must open and be that folder; root_why says so when not.
// made receives the paths below the root of the folders made.
// follow_below: links below the root are followed too (a source read with links followed).
Result<Fd> OpenParent(FileSystem& fs, const std::string& path, size_t root_length, bool create,
                      const RootId* root_id = nullptr, const char* root_why = kWhyTargetRootGone,
                      std::vector<std::string>* made = nullptr, bool follow_below = false) {
  const size_t last = path.rfind(kSep);
  size_t pos = 0;
  Fd dir;
  // A far folder's end walks the path from its root in one request and refuses a link on the
  // way as the steps below do; what it does not open (a folder still to be made, a link, a
  // file in the way) is left to the steps, which make it or say why. It holds its root open
  // from the start, so that is the root the run began with.
  if (fs.IsFar() && !follow_below && last != std::string::npos && root_length > 0 &&
      root_length <= last + 1) {
    const int fd = fs.OpenAt(AT_FDCWD, path.substr(0, std::max<size_t>(last, 1)).c_str(),
                             O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) return Fd(fs, fd);
  }
  if (root_length > 0 && root_length <= last + 1) {
    const std::string root = path.substr(0, root_length);
    int fd = fs.OpenAt(AT_FDCWD, root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      dir = Fd(fs, fd);
      pos = root_length;
    } else if (root_id) {
      if (errno == ENOENT || errno == ENOTDIR) return Because(root, errno, root_why);
      return ErrorAt(root);
    }
    if (root_id && root_id->known) {
      struct stat st {};
      if (fs.Fstat(dir.get(), &st) != 0) return Because(root, errno, root_why);
      const RootId now = RootIdOf(st);
      if (now.dev != root_id->dev || now.ino != root_id->ino)
        return Because(root, ESTALE, root_why);
    }
  } else if (root_id) {
    return ErrorAt(path, EINVAL);
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
    bool made_here = false;
    Result<Fd> next = OpenFolderStep(fs, dir.get(), name, inside_root || follow_below, create,
                                     prefix, &made_here);
    if (!next.ok()) return LinkInTheWay(fs, dir.get(), name, prefix, next.error());
    if (made_here && made && !inside_root) made->push_back(prefix.substr(root_length));
    dir = std::move(next.value());
  }
  return dir;
}

// Checks that what lies at leaf is still what the fill saw: nothing (seen == nullptr), or a
// regular file with the recorded size and time. absent_ok: a missing file is no conflict.
// present, when given, tells whether leaf exists (and is then the file the fill saw).
FsResult CheckAsSeen(FileSystem& fs, int dir, const std::string& leaf, const FileStamp* seen,
                     const std::string& path, bool absent_ok, bool* present = nullptr) {
  if (present) *present = false;
  struct stat st {};
  if (fs.StatAt(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT && absent_ok) return {};
    return ErrorAt(path);
  }
  if (present) *present = true;
  if (S_ISDIR(st.st_mode)) return ErrorAt(path, EISDIR);
  // Where the row had no file the name is taken now: by a new file, or on a medium that
  // does not tell letter case apart, by a twin of another case.
  if (!seen) return Because(path, EEXIST, kWhyNameTaken);
  // Root may write anything; a file without its owner's write permission is still meant to
  // stay as it is. A link is replaced itself, so only its own kind matters.
  const bool read_only = S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0;
  // A link listed as itself was seen with its own stamp; a link followed, with the stamp
  // of the file it leads to.
  if (S_ISLNK(st.st_mode) && StampOf(st) == *seen) return {};
  if (S_ISLNK(st.st_mode) && fs.StatAt(dir, leaf.c_str(), &st, 0) != 0)
    return Because(path, ESTALE, kWhyChanged);
  if (!S_ISREG(st.st_mode) || !(StampOf(st) == *seen)) return Because(path, ESTALE, kWhyChanged);
  if (read_only) return Because(path, EACCES, kWhyReadOnly);
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

Result<Source> OpenSource(FileSystem& fs, const TreePath& src, bool follow = false) {
  const std::string full = src.Full();
  if (src.rel.empty()) return ErrorAt(full, EINVAL);
  Result<Fd> dir =
      OpenParent(fs, full, src.root.size(), false, src.id, kWhySourceRootGone, nullptr, follow);
  if (!dir.ok()) return dir.error();
  const std::string leaf = LeafOf(full);
  if (!ValidLeaf(leaf)) return ErrorAt(full, EINVAL);
  // O_NONBLOCK: a FIFO put where the file was must not stall the run.
  int fd = fs.OpenAt(dir.value().get(), leaf.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return ErrorAt(full);
  Source source{Fd(fs, fd)};
  if (fs.Fstat(fd, &source.st) != 0) return ErrorAt(full);
  // The fill saw a regular file here.
  if (!S_ISREG(source.st.st_mode)) return Because(full, EINVAL, kWhyChanged);
  return source;
}

bool Stopping(const RunScope* scope) { return scope && scope->Stopping(); }

FsError StoppedAt(const std::string& path) { return Because(path, ECANCELED, kWhyStopped); }

FsResult CopyByBuffer(FileSystem& src_fs, int in, FileSystem& dst_fs, int out, off_t offset,
                      const std::string& src_path, const std::string& dst_path,
                      const RunScope* scope) {
  std::vector<char> buffer(kBufferSize);
  for (;;) {
    if (Stopping(scope)) return StoppedAt(dst_path);
    ssize_t got = src_fs.PRead(in, buffer.data(), buffer.size(), offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return ErrorAt(src_path);
    if (got == 0) return {};
    FsResult written =
        WriteAll(dst_fs, out, {buffer.data(), static_cast<size_t>(got)}, offset, dst_path);
    if (!written.ok()) return written;
    offset += got;
  }
}

// copy_file_range refuses some pairs of file systems and some file systems altogether;
// those copies go through a buffer instead.
bool CopyRangeRefused(int error) {
  return error == EXDEV || error == ENOSYS || error == EOPNOTSUPP || error == EINVAL;
}

// The file system's own copy where both files belong to one file system; between two, the
// bytes pass through a buffer here.
FsResult CopyContents(FileSystem& src_fs, int in, FileSystem& dst_fs, int out,
                      const std::string& src_path, const std::string& dst_path,
                      const RunScope* scope) {
  if (&src_fs != &dst_fs)
    return CopyByBuffer(src_fs, in, dst_fs, out, 0, src_path, dst_path, scope);
  FileSystem& fs = src_fs;
  off_t in_offset = 0;
  off_t out_offset = 0;
  for (;;) {
    if (Stopping(scope)) return StoppedAt(dst_path);
    ssize_t n = fs.CopyRange(in, &in_offset, out, &out_offset, kCopyChunk);
    if (n > 0) continue;
    if (n == 0) return {};
    if (errno == EINTR) continue;
    if (!CopyRangeRefused(errno)) return ErrorAt(dst_path);
    return CopyByBuffer(fs, in, fs, out, in_offset, src_path, dst_path, scope);
  }
}

// The extended attributes as far as the target takes them.
FsResult CopyXattrs(FileSystem& src_fs, int in, FileSystem& dst_fs, int out,
                    const std::string& path) {
  Xattrs xattrs;
  FsResult read = ReadXattrs(src_fs, in, path, &xattrs);
  if (!read.ok()) return read;
  for (const auto& [name, value] : xattrs) {
    if (dst_fs.SetXattr(out, name.c_str(), value.data(), value.size()) != 0 &&
        !AttributeRefused(errno) && errno != EACCES)
      return ErrorAt(path);
  }
  return {};
}

FsResult KeepMetadata(FileSystem& src_fs, int in, FileSystem& dst_fs, int out,
                      const struct stat& st, const std::string& path) {
  FileSystem& fs = dst_fs;
  // Owner first: a change of owner clears set-id bits that the mode below sets again.
  if (geteuid() == 0 && fs.Fchown(out, st.st_uid, st.st_gid) != 0 && !AttributeRefused(errno))
    return ErrorAt(path);
  FsResult xattrs = CopyXattrs(src_fs, in, dst_fs, out, path);
  if (!xattrs.ok()) return xattrs;
  // After the ACL: the source's mode agrees with its ACL, so this keeps both.
  if (fs.Fchmod(out, st.st_mode & 07777) != 0 && !AttributeRefused(errno)) return ErrorAt(path);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (fs.Futimens(out, times) != 0) return ErrorAt(path);
  return {};
}

// The source must not change while it is read: a copy half old, half new is worse than none.
bool SameStatus(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  std::string host(name);
  // The name goes into a file name: no separator in it.
  std::replace(host.begin(), host.end(), kSep, '_');
  return host;
}

const std::string& OwnHost() {
  static const std::string host = HostName();
  return host;
}

// Names that media of the FAT family refuse: a rename onto one fails with a code that would
// only puzzle the user (EPERM, EINVAL, even ENOENT).
bool NameMediaRefuse(const std::string& leaf) {
  if (leaf.empty()) return false;
  if (leaf.back() == '.' || leaf.back() == ' ') return true;
  for (unsigned char c : leaf)
    if (c < 0x20 || c >= 0x80 || std::strchr(":?*\"<>|\\", static_cast<char>(c))) return true;
  return false;
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool FullMedium(int error) { return error == ENOSPC || error == EDQUOT; }

// The folder at the copy target's folder path now: a folder renamed meanwhile no longer
// is the one the copy was written into.
bool SameFolderAtPath(FileSystem& fs, const std::string& dst_path, size_t root_length,
                      const struct stat& folder) {
  const size_t cut = dst_path.rfind(kSep);
  if (cut == std::string::npos) return true;
  // The root may be reached through a link (its path keeps the separator, so the link is
  // followed); a folder below it never is.
  const bool is_root = cut + 1 <= root_length;
  const std::string path = dst_path.substr(0, is_root ? cut + 1 : cut);
  struct stat now {};
  if (fs.StatAt(AT_FDCWD, path.c_str(), &now, is_root ? 0 : AT_SYMLINK_NOFOLLOW) != 0) return false;
  return now.st_dev == folder.st_dev && now.st_ino == folder.st_ino;
}

// Renames the temporary copy temp to leaf. over: leaf holds the file just checked, which the
// copy replaces; otherwise the name was free, and a file another program put there
// meanwhile stays (on a medium that ignores case, also one named in another case).
FsResult PutInPlace(FileSystem& fs, int dir, const std::string& temp, const std::string& leaf,
                    const std::string& full, bool over) {
  const int done = over ? fs.RenameAt(dir, temp.c_str(), dir, leaf.c_str())
                        : RenameNoReplace(fs, dir, temp.c_str(), dir, leaf.c_str());
  if (done == 0) return {};
  const int error = errno;
  if (error == EEXIST && !over) return Because(full, EEXIST, kWhyNameTaken);
  if (NameMediaRefuse(leaf)) return Because(full, error, kWhyNameRefused);
  return ErrorAt(full, error);
}

// Puts the temporary copy temp in place of leaf, keeping a replaced file in the run's
// versions. Each change is noted before it is made, so the record covers a run cut off
// anywhere; an undo tells a noted change that never happened by the files themselves.
FsResult PlaceKeepingVersion(FileSystem& fs, int dir, const std::string& temp,
                             const std::string& leaf, const std::string& rel,
                             const std::string& full, const FileStamp* seen,
                             const FileStamp& placed, VersionFolder& versions) {
  struct stat there {};
  const bool replacing = seen && fs.StatAt(dir, leaf.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0;
  RecordEntry entry{replacing ? EntryKind::kReplaced : EntryKind::kCreated, rel, {}, placed, {}};
  if (replacing) entry.before = *seen;
  FsResult kept = replacing ? versions.Keep(entry, dir, leaf, full) : versions.Note(entry);
  if (!kept.ok()) return kept;
  // The old file is in the versions now: the name is free, and stays another program's
  // should one take it meanwhile.
  FsResult placed_now = PutInPlace(fs, dir, temp, leaf, full, false);
  if (placed_now.ok()) return placed_now;
  // Should the way back fail too, or the name be taken, the old file stays in the
  // versions, found by the record.
  if (replacing && placed_now.error().code != EEXIST)
    (void)versions.MoveOut(dir, leaf, rel, full, *seen);
  return placed_now;
}

}  // namespace

std::string TempName(unsigned counter) {
  return std::string(kTempPrefix) + OwnHost() + "-" + std::to_string(getpid()) + "-" +
         std::to_string(counter);
}

bool IsStaleTempName(std::string_view name, std::string_view host) {
  if (name.substr(0, kTempPrefix.size()) != kTempPrefix) return false;
  name.remove_prefix(kTempPrefix.size());
  auto all_digits = [](std::string_view text) {
    return !text.empty() && text.size() <= 18 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  // host-pid-counter; the host may hold '-' itself, so the numbers are taken from the end.
  const size_t counter_dash = name.rfind('-');
  if (counter_dash == std::string_view::npos || !all_digits(name.substr(counter_dash + 1)))
    return false;
  const size_t pid_dash = name.rfind('-', counter_dash == 0 ? 0 : counter_dash - 1);
  if (pid_dash == std::string_view::npos || pid_dash >= counter_dash) return false;
  const std::string_view pid_text = name.substr(pid_dash + 1, counter_dash - pid_dash - 1);
  if (!all_digits(pid_text) || name.substr(0, pid_dash) != host) return false;
  const long long pid = std::stoll(std::string(pid_text));
  if (pid <= 0 || pid == getpid() || pid > 0x7fffffff) return false;
  // Only a process that is gone proves the file is nobody's work in progress.
  if (kill(static_cast<pid_t>(pid), 0) != 0) return errno == ESRCH;
  return ProcessEnded(pid);
}

void TempSweeper::Sweep(FileSystem& fs, int dir, const struct stat* known) {
  struct stat st {};
  if (known) {
    st = *known;
  } else if (fs.Fstat(dir, &st) != 0) {
    return;
  }
  const SweptFolder id{&fs, st.st_dev, st.st_ino};
  {
    std::lock_guard lock(mutex_);
    if (!swept_.insert(id).second) return;
  }
  int fd = fs.OpenAt(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  std::unique_ptr<DirStream> listing = fs.OpenDir(fd);
  if (!listing) return;
  std::vector<std::string> stale;
  const char* name = nullptr;
  while (fs.ReadDir(*listing, &name) == 1)
    if (IsStaleTempName(name, OwnHost())) stale.emplace_back(name);
  for (const std::string& leaf : stale) {
    struct stat file {};
    // A link's copy is a temporary link; removing it never touches what it leads to.
    if (fs.StatAt(dir, leaf.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 &&
        (S_ISREG(file.st_mode) || S_ISLNK(file.st_mode)))
      fs.UnlinkAt(dir, leaf.c_str(), 0);
  }
}

int PrepareCopyTarget(FileSystem& fs, const TreePath& target, FsError* failure,
                      std::vector<std::string>* made) {
  Result<Fd> dir =
      OpenParent(fs, target.Full(), target.root.size(), true, target.id, kWhyTargetRootGone, made);
  if (dir.ok()) return 0;
  if (failure) *failure = dir.error();
  return dir.error().code;
}

StagedCopy::~StagedCopy() {
  if (!temp_name_.empty()) fs_->UnlinkAt(dir_.get(), temp_name_.c_str(), 0);
}

struct CopyStager {
  static Result<std::unique_ptr<StagedCopy>> Stage(FileSystem& src_fs, const TreePath& src,
                                                   FileSystem& dst_fs, const TreePath& dst,
                                                   const FileStamp* src_seen,
                                                   const FileStamp* dst_seen, const StageWith& with,
                                                   StageNotes* notes);
  static Result<std::unique_ptr<StagedCopy>> StageLink(FileSystem& src_fs, const TreePath& src,
                                                       FileSystem& dst_fs, const TreePath& dst,
                                                       const FileStamp* src_seen,
                                                       const FileStamp* dst_seen,
                                                       const StageWith& with, StageNotes* notes);
  // A new copy of src to dst, nothing done yet.
  static std::unique_ptr<StagedCopy> NewCopy(FileSystem& src_fs, const TreePath& src,
                                             FileSystem& dst_fs, const TreePath& dst);
  // Opens the target's folder (as the scanned root's, never through a link), sweeps the
  // leftovers of killed runs from it and checks the target's name.
  static FsResult OpenTargetFolder(FileSystem& fs, StagedCopy& copy, const TreePath& dst,
                                   const StageWith& with, StageNotes* notes);
};

std::unique_ptr<StagedCopy> CopyStager::NewCopy(FileSystem& src_fs, const TreePath& src,
                                                FileSystem& dst_fs, const TreePath& dst) {
  auto copy = std::unique_ptr<StagedCopy>(new StagedCopy());
  copy->fs_ = &dst_fs;
  copy->src_fs_ = &src_fs;
  copy->src_path_ = src.Full();
  copy->dst_path_ = dst.Full();
  copy->root_length_ = dst.root.size();
  copy->dst_rel_ = dst.rel;
  return copy;
}

FsResult CopyStager::OpenTargetFolder(FileSystem& fs, StagedCopy& copy, const TreePath& dst,
                                      const StageWith& with, StageNotes* notes) {
  Result<Fd> dir = OpenParent(fs, copy.dst_path_, dst.root.size(), false, dst.id);
  if (!dir.ok()) {
    if (dir.error().code == ENOENT && dir.error().why.empty()) notes->folder_missing = true;
    return dir.error();
  }
  copy.dir_ = std::move(dir.value());
  if (fs.Fstat(copy.dir_.get(), &copy.dir_st_) != 0) return ErrorAt(copy.dst_path_);
  // Leftovers of killed runs go from every folder a copy is meant for, before this copy
  // needs the room they take.
  if (with.sweeper) with.sweeper->Sweep(fs, copy.dir_.get(), &copy.dir_st_);
  copy.leaf_ = LeafOf(copy.dst_path_);
  if (!ValidLeaf(copy.leaf_)) return ErrorAt(copy.dst_path_, EINVAL);
  return {};
}

namespace {

// What a medium answers when it cannot hold a link at all: the kernel's FAT and exFAT say
// EPERM, other drivers EOPNOTSUPP, and the FUSE drivers of both ENOSYS.
bool LinksNotOffered(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS;
}

}  // namespace

bool LinkRefused(const FsError& error) {
  return LinksNotOffered(error.code) && error.why == kWhyNoLinks;
}

// A link copied as a link: the same target text, the link's own times, made under a
// temporary name beside the target like every copy and renamed into place at the commit.
Result<std::unique_ptr<StagedCopy>> CopyStager::StageLink(FileSystem& src_fs, const TreePath& src,
                                                          FileSystem& fs, const TreePath& dst,
                                                          const FileStamp* src_seen,
                                                          const FileStamp* dst_seen,
                                                          const StageWith& with,
                                                          StageNotes* notes) {
  std::unique_ptr<StagedCopy> copy = NewCopy(src_fs, src, fs, dst);
  copy->link_ = true;
  if (src.rel.empty()) return ErrorAt(copy->src_path_, EINVAL);
  if (dst.rel.empty()) return ErrorAt(copy->dst_path_, EINVAL);
  Result<Fd> src_dir =
      OpenParent(src_fs, copy->src_path_, src.root.size(), false, src.id, kWhySourceRootGone);
  if (!src_dir.ok()) return src_dir.error();
  const std::string src_leaf = LeafOf(copy->src_path_);
  if (!ValidLeaf(src_leaf)) return ErrorAt(copy->src_path_, EINVAL);
  struct stat& before = copy->before_;
  if (src_fs.StatAt(src_dir.value().get(), src_leaf.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0)
    return ErrorAt(copy->src_path_);
  if (!S_ISLNK(before.st_mode) || (src_seen && !(StampOf(before) == *src_seen)))
    return Because(copy->src_path_, ESTALE, kWhyChanged);
  if (ReadLinkText(src_fs, src_dir.value().get(), src_leaf.c_str(), &copy->link_text_,
                   static_cast<size_t>(before.st_size)) != 0)
    return ErrorAt(copy->src_path_);
  if (static_cast<off_t>(copy->link_text_.size()) != before.st_size)
    return Because(copy->src_path_, ESTALE, kWhySourceChanging);
  FsResult opened = OpenTargetFolder(fs, *copy, dst, with, notes);
  if (!opened.ok()) return opened.error();
  const int dir_fd = copy->dir_.get();
  struct stat there {};
  if (fs.StatAt(dir_fd, copy->leaf_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
    // Both roots naming one folder: the link is already where it should be. Device and
    // inode numbers of two file systems tell nothing of each other.
    if (&src_fs == &fs && there.st_dev == before.st_dev && there.st_ino == before.st_ino) {
      copy->in_place_ = true;
      return copy;
    }
    // Nothing goes onto a folder of the link's name, nor into it.
    if (S_ISDIR(there.st_mode)) return Because(copy->dst_path_, EISDIR, kWhyFolderThere);
  }
  FsResult target_ok = CheckAsSeen(fs, dir_fd, copy->leaf_, dst_seen, copy->dst_path_, true);
  if (!target_ok.ok()) return target_ok.error();
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < kTempAttempts && copy->temp_name_.empty(); ++attempt) {
    std::string name = TempName(++counter);
    if (fs.SymlinkAt(copy->link_text_.c_str(), dir_fd, name.c_str()) == 0) {
      copy->temp_name_ = std::move(name);
    } else if (LinksNotOffered(errno)) {
      return Because(copy->dst_path_, errno, kWhyNoLinks);
    } else if (errno != EEXIST) {
      notes->no_space = FullMedium(errno);
      return ErrorAt(copy->dst_path_);
    }
  }
  if (copy->temp_name_.empty()) return ErrorAt(copy->dst_path_, EEXIST);
  // The link's own times, never those of what it leads to; a medium that keeps no times
  // for links still gets the link.
  FsResult timed =
      SetTimesAt(fs, dir_fd, copy->temp_name_, before.st_atim, before.st_mtim, copy->dst_path_);
  if (!timed.ok() && !LinksNotOffered(timed.error().code)) return timed.error();
  struct stat written {};
  if (fs.StatAt(dir_fd, copy->temp_name_.c_str(), &written, AT_SYMLINK_NOFOLLOW) != 0)
    return ErrorAt(copy->dst_path_);
  copy->written_mtime_ = written.st_mtim;
  return copy;
}

Result<std::unique_ptr<StagedCopy>> CopyStager::Stage(FileSystem& src_fs, const TreePath& src,
                                                      FileSystem& fs, const TreePath& dst,
                                                      const FileStamp* src_seen,
                                                      const FileStamp* dst_seen,
                                                      const StageWith& with, StageNotes* notes) {
  StageNotes ignored;
  if (!notes) notes = &ignored;
  if (Stopping(with.scope)) return StoppedAt(dst.Full());
  if (with.link) return StageLink(src_fs, src, fs, dst, src_seen, dst_seen, with, notes);
  Result<Source> source = OpenSource(src_fs, src, with.follow_source);
  if (!source.ok()) return source.error();
  std::unique_ptr<StagedCopy> copy = NewCopy(src_fs, src, fs, dst);
  copy->before_ = source.value().st;
  const struct stat& before = copy->before_;
  if (src_seen && !(StampOf(before) == *src_seen))
    return Because(copy->src_path_, ESTALE, kWhyChanged);
  if (dst.rel.empty()) return ErrorAt(copy->dst_path_, EINVAL);
  FsResult opened = OpenTargetFolder(fs, *copy, dst, with, notes);
  if (!opened.ok()) return opened.error();
  const int dir_fd = copy->dir_.get();
  // Both roots naming one folder: the file is already where it should be.
  if (&src_fs == &fs && SameFile(fs, dir_fd, copy->leaf_, before)) {
    copy->in_place_ = true;
    return copy;
  }
  // A read-only or changed target fails before anything is written.
  FsResult target_ok = CheckAsSeen(fs, dir_fd, copy->leaf_, dst_seen, copy->dst_path_, true);
  if (!target_ok.ok()) return target_ok.error();

  static std::atomic<unsigned> counter{0};
  Fd out;
  for (int attempt = 0; attempt < kTempAttempts && out.get() < 0; ++attempt) {
    std::string name = TempName(++counter);
    int fd = fs.OpenAt(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      out = Fd(fs, fd);
      copy->temp_name_ = std::move(name);
    } else if (errno != EEXIST) {
      notes->no_space = FullMedium(errno);
      return ErrorAt(copy->dst_path_);
    }
  }
  if (out.get() < 0) return ErrorAt(copy->dst_path_, EEXIST);
  const int in = source.value().fd.get();
  // Between two file systems the copy is flushed with its finish, before the source's check
  // below; a source that changed then fails the copy all the same.
  const bool streamed = &src_fs != &fs;
  struct stat written {};
  const StreamEnds ends{src_fs,          in,
                        before,          fs,
                        dir_fd,          copy->leaf_,
                        out.get(),       dst_seen,
                        copy->src_path_, copy->dst_path_,
                        with.scope};
  FsResult step = streamed ? StreamCopy(ends, &written)
                           : CopyContents(src_fs, in, fs, out.get(), copy->src_path_,
                                          copy->dst_path_, with.scope);
  if (step.ok() && !streamed)
    step = KeepMetadata(src_fs, in, fs, out.get(), before, copy->dst_path_);
  if (step.ok() && !streamed && fs.Fstat(out.get(), &written) != 0) step = ErrorAt(copy->dst_path_);
  copy->written_mtime_ = written.st_mtim;
  if (step.ok()) {
    struct stat after {};
    if (src_fs.Fstat(in, &after) != 0) {
      step = ErrorAt(copy->src_path_);
    } else if (!SameStatus(before, after)) {
      step = Because(copy->src_path_, ESTALE, kWhySourceChanging);
    }
  }
  // A copy that takes an older file's place is on the medium before the rename: otherwise
  // a crash or an unplugged stick may leave the name with an empty or garbled file whose
  // old content is already gone. Done here, on the helper, so it overlaps the next copies;
  // a new file needs none (its source still holds it until the end-of-run flush).
  if (step.ok() && !streamed && dst_seen && fs.SyncData(out.get()) != 0 && !FlushNotOffered(errno))
    step = ErrorAt(copy->dst_path_);
  // Closed before the rename: a late write error shows here, before the target is touched.
  if (step.ok() && out.Close() != 0) step = ErrorAt(copy->dst_path_);
  if (!step.ok()) {
    notes->no_space = FullMedium(step.error().code);
    return step.error();
  }
  copy->source_ = std::move(source.value().fd);
  return copy;
}

Result<std::unique_ptr<StagedCopy>> StageCopy(FileSystem& src_fs, const TreePath& src,
                                              FileSystem& dst_fs, const TreePath& dst,
                                              const FileStamp* src_seen, const FileStamp* dst_seen,
                                              const StageWith& with, StageNotes* notes) {
  return CopyStager::Stage(src_fs, src, dst_fs, dst, src_seen, dst_seen, with, notes);
}

bool StillAsStaged(const StagedCopy& copy) {
  if (copy.in_place_) return true;
  if (copy.link_) {
    struct stat now {};
    if (copy.src_fs_->StatAt(AT_FDCWD, copy.src_path_.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
      return false;
    return S_ISLNK(now.st_mode) && now.st_dev == copy.before_.st_dev &&
           now.st_ino == copy.before_.st_ino && SameStatus(copy.before_, now);
  }
  struct stat now {};
  if (copy.src_fs_->Fstat(copy.source_.get(), &now) != 0 || !SameStatus(copy.before_, now))
    return false;
  // Renamed over in the meantime: the path names another file now. A link to a file was
  // opened (and filled) as the file it leads to, so that file is what it must still name.
  FileSystem& fs = *copy.src_fs_;
  const char* path = copy.src_path_.c_str();
  struct stat named {};
  if (fs.StatAt(AT_FDCWD, path, &named, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISLNK(named.st_mode) && fs.StatAt(AT_FDCWD, path, &named, 0) != 0) return false;
  return named.st_dev == now.st_dev && named.st_ino == now.st_ino;
}

FsResult CommitStagedCopy(StagedCopy& copy, const FileStamp* dst_seen, TempSweeper* sweeper,
                          bool to_trash, VersionFolder* versions, bool* folder_moved) {
  if (copy.in_place_) return {};
  FileSystem& fs = *copy.fs_;
  const int dir_fd = copy.dir_.get();
  // Where nothing changed since the checks, the checks and the rename are one call (one
  // round trip to a far folder); anything else takes the steps below, which say what changed.
  if (!versions && !(to_trash && dst_seen) && !copy.link_) {
    if (sweeper) sweeper->Sweep(fs, dir_fd, &copy.dir_st_);
    FsResult placed;
    if (PlacedAtOnce(copy, dst_seen, &placed)) return placed;
  }
  if (!SameFolderAtPath(fs, copy.dst_path_, copy.root_length_, copy.dir_st_)) {
    if (folder_moved) *folder_moved = true;
    return Because(copy.dst_path_, ESTALE, kWhyChanged);
  }
  if (sweeper) sweeper->Sweep(fs, dir_fd, &copy.dir_st_);
  // Checked as late as possible: whatever appeared or changed meanwhile is newer work.
  bool present = false;
  FsResult target_ok =
      CheckAsSeen(fs, dir_fd, copy.leaf_, dst_seen, copy.dst_path_, true, &present);
  if (!target_ok.ok()) return target_ok;
  if (versions) {
    const FileStamp placed{copy.before_.st_size, copy.written_mtime_.tv_sec,
                           static_cast<int32_t>(copy.written_mtime_.tv_nsec)};
    FsResult replaced = PlaceKeepingVersion(fs, dir_fd, copy.temp_name_, copy.leaf_, copy.dst_rel_,
                                            copy.dst_path_, dst_seen, placed, *versions);
    if (!replaced.ok()) return replaced;
  } else if (to_trash && dst_seen) {
    FsResult replaced =
        ReplaceKeepingInTrash(fs, dir_fd, copy.temp_name_, copy.leaf_, copy.dst_path_);
    if (!replaced.ok()) return replaced;
  } else {
    FsResult placed = PutInPlace(fs, dir_fd, copy.temp_name_, copy.leaf_, copy.dst_path_, present);
    if (!placed.ok()) return placed;
  }
  copy.temp_name_.clear();
  // The copy is in place: a time that cannot be set now does not undo that.
  (void)KeepTimeAfterRename(copy);
  return {};
}

namespace {

// What must still hold to put a copy at path in place: its folder (cut is where its name
// begins) is the one the copy was written in, and the target is as the fill saw it.
PlaceCondition PlaceWant(const FileStamp* dst_seen, size_t cut, size_t root_length,
                         const struct stat& dir_st, const std::string& path) {
  // The root may be reached through a link (its path keeps the separator); a folder below it
  // never is.
  const bool is_root = cut + 1 <= root_length;
  PlaceCondition want;
  want.folder = path.substr(0, is_root ? cut + 1 : cut);
  want.follow_folder = is_root;
  want.folder_dev = static_cast<uint64_t>(dir_st.st_dev);
  want.folder_ino = static_cast<uint64_t>(dir_st.st_ino);
  want.replace = dst_seen != nullptr;
  if (dst_seen) {
    want.size = dst_seen->size;
    want.mtime = {dst_seen->mtime_sec, dst_seen->mtime_nsec};
  }
  return want;
}

}  // namespace

bool PlaceStepOf(StagedCopy& copy, const FileStamp* dst_seen, TempSweeper* sweeper,
                 PlaceStep* step) {
  if (copy.in_place_ || copy.link_) return false;
  const size_t cut = copy.dst_path_.rfind(kSep);
  if (cut == std::string::npos) return false;
  if (sweeper) sweeper->Sweep(*copy.fs_, copy.dir_.get(), &copy.dir_st_);
  step->dir = copy.dir_.get();
  step->temp = copy.temp_name_;
  step->name = copy.leaf_;
  step->want = PlaceWant(dst_seen, cut, copy.root_length_, copy.dir_st_, copy.dst_path_);
  return true;
}

FsResult FinishPlaceStep(StagedCopy& copy, const PlaceStep& step) {
  copy.temp_name_.clear();
  // As KeepTimeAfterRename: the copy is in place, a time that cannot be set now does not
  // undo that.
  if (step.result == 1 && !SameTime(step.after.st_mtim, copy.written_mtime_))
    (void)SetTimesAt(*copy.fs_, copy.dir_.get(), copy.leaf_, copy.before_.st_atim,
                     copy.before_.st_mtim, copy.dst_path_);
  return {};
}

bool PlacedAtOnce(StagedCopy& copy, const FileStamp* dst_seen, FsResult* result) {
  PlaceStep step;
  if (!PlaceStepOf(copy, dst_seen, nullptr, &step)) return false;
  step.result = copy.fs_->PlaceIfUnchanged(step.dir, step.temp.c_str(), step.name.c_str(),
                                           step.want, &step.after);
  // A far end of a program without the call answers EPROTO, which no rename gives.
  if (step.result == 0 || (step.result < 0 && errno == EPROTO)) return false;
  if (step.result < 0) {
    // The rename itself failed, as PutInPlace reports it.
    const int error = errno;
    if (error == EEXIST && !step.want.replace) {
      *result = Because(copy.dst_path_, EEXIST, kWhyNameTaken);
    } else if (NameMediaRefuse(copy.leaf_)) {
      *result = Because(copy.dst_path_, error, kWhyNameRefused);
    } else {
      *result = ErrorAt(copy.dst_path_, error);
    }
    return true;
  }
  *result = FinishPlaceStep(copy, step);
  return true;
}

// Some drivers (a FAT driver in user space among them) stamp a renamed file with the time
// of the rename: set the copy's time again where the rename changed it. By name, never
// through a handle for writing, which a read-only copy would refuse.
FsResult KeepTimeAfterRename(const StagedCopy& copy) {
  FileSystem& fs = *copy.fs_;
  struct stat placed {};
  if (fs.StatAt(copy.dir_.get(), copy.leaf_.c_str(), &placed, AT_SYMLINK_NOFOLLOW) != 0)
    return ErrorAt(copy.dst_path_);
  if (SameTime(placed.st_mtim, copy.written_mtime_)) return {};
  return SetTimesAt(fs, copy.dir_.get(), copy.leaf_, copy.before_.st_atim, copy.before_.st_mtim,
                    copy.dst_path_);
}

FsResult CopyFileOnto(FileSystem& src_fs, const TreePath& src, FileSystem& dst_fs,
                      const TreePath& dst, const FileStamp* src_seen, const FileStamp* dst_seen,
                      TempSweeper* sweeper, bool to_trash, VersionFolder* versions,
                      const RunScope* scope) {
  Result<std::unique_ptr<StagedCopy>> copy =
      StageCopy(src_fs, src, dst_fs, dst, src_seen, dst_seen, {sweeper, scope});
  if (!copy.ok()) return copy.error();
  return CommitStagedCopy(*copy.value(), dst_seen, sweeper, to_trash, versions);
}

FsResult FlushFileSystem(FileSystem& fs, const std::string& root) {
  Fd dir(fs, fs.OpenAt(AT_FDCWD, root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return ErrorAt(root);
  if (fs.SyncFs(dir.get()) != 0) return ErrorAt(root);
  return {};
}

FsResult DeleteFileAt(FileSystem& fs, const TreePath& path, const FileStamp* seen, bool to_trash,
                      VersionFolder* versions) {
  const std::string full = path.Full();
  if (path.rel.empty()) return ErrorAt(full, EINVAL);
  Result<Fd> dir = OpenParent(fs, full, path.root.size(), false, path.id);
  if (!dir.ok()) return dir.error();
  const std::string leaf = LeafOf(full);
  if (!ValidLeaf(leaf)) return ErrorAt(full, EINVAL);
  FsResult check = CheckAsSeen(fs, dir.value().get(), leaf, seen, full, false);
  if (!check.ok()) return check;
  if (versions) {
    // Noted first: a run cut off between the two steps still has the move on record.
    return versions->Keep({EntryKind::kDeleted, std::string(path.rel), *seen, {}, {}},
                          dir.value().get(), leaf, full);
  }
  if (to_trash) return MoveToTrash(fs, dir.value().get(), leaf, full);
  if (fs.UnlinkAt(dir.value().get(), leaf.c_str(), 0) != 0) return ErrorAt(full);
  return {};
}

}  // namespace tavrik
