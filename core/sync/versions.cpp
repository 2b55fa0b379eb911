#include "core/sync/versions.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <tuple>

#include "core/fs/file_io.h"
#include "core/fs/paths.h"

namespace tavrik {

namespace {

constexpr int kNameAttempts = 1000;
constexpr off_t kMaxRecordBytes = off_t{1} << 30;

bool ReadWhole(FileSystem& fs, int fd, std::string* text) {
  struct stat st {};
  if (fs.Fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxRecordBytes) return false;
  text->resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < text->size()) {
    const ssize_t n =
        fs.PRead(fd, text->data() + done, text->size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  text->resize(done);
  return true;
}

// Removes the folder name in dir with all it holds; links are removed, never followed.
int RemoveTree(FileSystem& fs, int dir, const std::string& name) {
  Fd folder(fs, fs.OpenAt(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.get() < 0) return -1;
  std::vector<std::string> names;
  {
    std::unique_ptr<DirStream> listing =
        fs.OpenDir(fs.OpenAt(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing) return -1;
    const char* entry = nullptr;
    int got;
    while ((got = fs.ReadDir(*listing, &entry)) == 1)
      if (std::string_view(entry) != "." && std::string_view(entry) != "..")
        names.emplace_back(entry);
    if (got < 0) return -1;
  }
  for (const std::string& leaf : names) {
    struct stat st {};
    if (fs.StatAt(folder.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode) ? RemoveTree(fs, folder.get(), leaf) != 0
                            : fs.UnlinkAt(folder.get(), leaf.c_str(), 0) != 0)
      return -1;
  }
  return fs.UnlinkAt(dir, name.c_str(), AT_REMOVEDIR);
}

bool SameTime(const struct timespec& a, int64_t sec, int32_t nsec) {
  return a.tv_sec == sec && a.tv_nsec == nsec;
}

bool RunBefore(const RecordedRun& a, const RecordedRun& b) {
  const RunHeader& x = a.record.header;
  const RunHeader& y = b.record.header;
  return std::tie(x.seq, x.start_sec, x.start_nsec, a.name) <
         std::tie(y.seq, y.start_sec, y.start_nsec, b.name);
}

}  // namespace

std::string LeafOfRel(std::string_view rel) {
  const size_t last = rel.rfind(kSep);
  return std::string(last == std::string_view::npos ? rel : rel.substr(last + 1));
}

int OpenVersionsFolder(FileSystem& fs, const std::string& root, int flags) {
  Fd root_dir(fs, fs.OpenAt(AT_FDCWD, root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (root_dir.get() < 0) return -1;
  return fs.OpenAt(root_dir.get(), std::string(kVersionsFolder).c_str(),
                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | flags);
}

Result<Fd> OpenRelParent(FileSystem& fs, int dir, std::string_view rel, const std::string& full,
                         std::vector<std::string>* made) {
  Fd at(fs, fs.OpenAt(dir, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (at.get() < 0) return ErrorAt(full);
  const size_t last = rel.rfind(kSep);
  if (last == std::string_view::npos) return at;
  for (size_t start = 0; start < last;) {
    const size_t sep = rel.find(kSep, start);
    const std::string name(rel.substr(start, sep - start));
    start = sep + 1;
    const int flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = fs.OpenAt(at.get(), name.c_str(), flags);
    if (fd < 0 && errno == ENOENT && made) {
      if (fs.MkdirAt(at.get(), name.c_str(), 0777) == 0)
        made->emplace_back(rel.substr(0, sep));
      else if (errno != EEXIST)
        return ErrorAt(full);
      fd = fs.OpenAt(at.get(), name.c_str(), flags);
    }
    if (fd < 0) return ErrorAt(full);
    at = Fd(fs, fd);
  }
  return at;
}

FsResult KeepTimeOf(FileSystem& fs, int dir, const std::string& leaf, const FileStamp& stamp,
                    const std::string& full) {
  struct stat now {};
  if (fs.StatAt(dir, leaf.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) return ErrorAt(full);
  if (!S_ISREG(now.st_mode) || SameTime(now.st_mtim, stamp.mtime_sec, stamp.mtime_nsec)) return {};
  Fd file(fs, fs.OpenAt(dir, leaf.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) return ErrorAt(full);
  const struct timespec times[2] = {now.st_atim, {stamp.mtime_sec, stamp.mtime_nsec}};
  if (fs.Futimens(file.get(), times) != 0) return ErrorAt(full);
  if (file.Close() != 0) return ErrorAt(full);
  return {};
}

bool MatchesRecorded(const FileStamp& recorded, const struct stat& now, int64_t step) {
  if (!S_ISREG(now.st_mode) || now.st_size != recorded.size) return false;
  if (SameTime(now.st_mtim, recorded.mtime_sec, recorded.mtime_nsec)) return true;
  // A medium that stores whole or even seconds may have shown the finer time while the file
  // was fresh in its driver's cache.
  if (now.st_mtim.tv_nsec != 0 && recorded.mtime_nsec != 0) return false;
  const __int128 a = static_cast<__int128>(now.st_mtim.tv_sec) * 1000000000 + now.st_mtim.tv_nsec;
  const __int128 b = static_cast<__int128>(recorded.mtime_sec) * 1000000000 + recorded.mtime_nsec;
  const __int128 limit = static_cast<__int128>(std::max<int64_t>(step, 1)) * 1000000000;
  return a - b < limit && b - a < limit;
}

std::vector<RecordedRun> RecordedRuns(FileSystem& fs, int versions_dir,
                                      std::vector<std::string>* damaged) {
  std::vector<std::string> names;
  {
    std::unique_ptr<DirStream> listing =
        fs.OpenDir(fs.OpenAt(versions_dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing) return {};
    const char* entry = nullptr;
    while (fs.ReadDir(*listing, &entry) == 1)
      if (entry[0] != '.') names.emplace_back(entry);
  }
  std::vector<RecordedRun> runs;
  for (const std::string& name : names) {
    Fd run(fs,
           fs.OpenAt(versions_dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (run.get() < 0) continue;
    Fd record(fs, fs.OpenAt(run.get(), std::string(kRecordName).c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (record.get() < 0) continue;
    std::string text;
    RecordedRun found{name, {}};
    if (ReadWhole(fs, record.get(), &text) && ParseRecord(text, &found.record)) {
      runs.push_back(std::move(found));
    } else if (damaged) {
      damaged->push_back(name);
    }
  }
  std::sort(runs.begin(), runs.end(), RunBefore);
  return runs;
}

RunHeader StartHeader() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  RunHeader header;
  header.start_sec = now.tv_sec;
  header.start_nsec = static_cast<int32_t>(now.tv_nsec);
  return header;
}

VersionFolder::VersionFolder(FileSystem& fs, std::string root, RootId id, RunHeader header,
                             int keep)
    : fs_(fs), root_(std::move(root)), id_(id), header_(std::move(header)), keep_(keep) {}

VersionFolder::~VersionFolder() { Close(); }

std::string VersionFolder::Path() const {
  if (name_.empty()) return {};
  return JoinPath(root_, std::string(kVersionsFolder) + kSep + name_);
}

FsResult VersionFolder::Prune(int versions_dir) {
  std::vector<RecordedRun> runs = RecordedRuns(fs_, versions_dir);
  uint64_t last = 0;
  for (const RecordedRun& run : runs) last = std::max(last, run.record.header.seq);
  header_.seq = last + 1;
  if (keep_ <= 0) return {};
  // This run is one of the kept ones.
  const size_t older = static_cast<size_t>(keep_ - 1);
  for (size_t i = 0; i + older < runs.size(); ++i) {
    if (RemoveTree(fs_, versions_dir, runs[i].name) != 0)
      return ErrorAt(JoinPath(root_, std::string(kVersionsFolder) + kSep + runs[i].name));
    pruned_.push_back(JoinPath(root_, std::string(kVersionsFolder) + kSep + runs[i].name));
  }
  return {};
}

FsResult VersionFolder::Open() {
  if (IsOpen()) return {};
  if (closed_) return ErrorAt(root_, EBADF);
  const std::string base = JoinPath(root_, kVersionsFolder);
  Fd root_dir(fs_, fs_.OpenAt(AT_FDCWD, root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (root_dir.get() < 0) return ErrorAt(root_);
  if (id_.known) {
    struct stat st {};
    if (fs_.Fstat(root_dir.get(), &st) != 0) return ErrorAt(root_);
    const RootId now = RootIdOf(st);
    if (now.dev != id_.dev || now.ino != id_.ino) return ErrorAt(root_, ESTALE);
  }
  const std::string folder(kVersionsFolder);
  // Only the owner may look in: the kept files' folders had modes of their own.
  if (fs_.MkdirAt(root_dir.get(), folder.c_str(), 0700) != 0 && errno != EEXIST)
    return ErrorAt(base);
  Fd versions(fs_, fs_.OpenAt(root_dir.get(), folder.c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (versions.get() < 0) return ErrorAt(base);
  FsResult pruned = Prune(versions.get());
  if (!pruned.ok()) return pruned;
  const std::string stem = RunFolderName(header_.start_sec);
  std::string name;
  for (int n = 1; n <= kNameAttempts && name.empty(); ++n) {
    std::string candidate = n == 1 ? stem : stem + "_" + std::to_string(n);
    if (fs_.MkdirAt(versions.get(), candidate.c_str(), 0700) == 0)
      name = std::move(candidate);
    else if (errno != EEXIST)
      return ErrorAt(base);
  }
  if (name.empty()) return ErrorAt(base, EEXIST);
  Fd run(fs_,
         fs_.OpenAt(versions.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  const std::string path = base + kSep + name;
  if (run.get() < 0) return ErrorAt(path);
  struct stat run_st {};
  if (fs_.Fstat(run.get(), &run_st) != 0) return ErrorAt(path);
  Fd record(fs_, fs_.OpenAt(run.get(), std::string(kRecordName).c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (record.get() < 0) {
    const int error = errno;
    fs_.UnlinkAt(versions.get(), name.c_str(), AT_REMOVEDIR);
    return ErrorAt(path, error);
  }
  versions_dir_ = std::move(versions);
  run_dir_ = std::move(run);
  run_dev_ = run_st.st_dev;
  record_ = std::move(record);
  name_ = std::move(name);
  FsResult written = WriteRecord(HeaderText(header_));
  // Best effort: a root that cannot take a record has nothing of this run to undo.
  if (written.ok() && partner_ && !partner_->IsOpen()) (void)partner_->Open();
  return written;
}

FsResult VersionFolder::WriteRecord(const std::string& text) {
  const std::string path = Path() + kSep + std::string(kRecordName);
  FsResult written = WriteAll(fs_, record_.get(), text, record_size_, path);
  if (!written.ok()) return written;
  record_size_ += static_cast<off_t>(text.size());
  return {};
}

FsResult VersionFolder::Note(const RecordEntry& entry) {
  FsResult opened = Open();
  if (!opened.ok()) return opened;
  FsResult written = WriteRecord(EntryText(entry));
  if (written.ok()) has_entries_ = true;
  return written;
}

FsResult VersionFolder::Reachable(int dir, const std::string& leaf, const std::string& full,
                                  struct stat* file) {
  FsResult opened = Open();
  if (!opened.ok()) return opened;
  if (fs_.StatAt(dir, leaf.c_str(), file, AT_SYMLINK_NOFOLLOW) != 0) return ErrorAt(full);
  if (file->st_dev != run_dev_) return FsError{EXDEV, full, kWhyOtherFileSystem};
  return {};
}

FsResult VersionFolder::Keep(const RecordEntry& entry, int dir, const std::string& leaf,
                             const std::string& full) {
  struct stat file {};
  FsResult reachable = Reachable(dir, leaf, full, &file);
  if (!reachable.ok()) return reachable;
  FsResult noted = Note(entry);
  if (!noted.ok()) return noted;
  return MoveIn(dir, leaf, entry.rel, full, file);
}

FsResult VersionFolder::MoveIn(int dir, const std::string& leaf, std::string_view rel,
                               const std::string& full, const struct stat& file) {
  std::vector<std::string> made;
  Result<Fd> parent = OpenRelParent(fs_, run_dir_.get(), rel, full, &made);
  if (!parent.ok()) return parent.error();
  const int to = parent.value().get();
  const std::string kept = LeafOfRel(rel);
  struct stat taken {};
  // A rename would replace a version kept before; none is ever given up.
  if (fs_.StatAt(to, kept.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0) return ErrorAt(full, EEXIST);
  if (fs_.RenameAt(dir, leaf.c_str(), to, kept.c_str()) != 0) {
    if (errno == EXDEV) return FsError{EXDEV, full, kWhyOtherFileSystem};
    return ErrorAt(full);
  }
  // Best effort: the record holds the time the undo sets again.
  (void)KeepTimeOf(fs_, to, kept, StampOf(file), full);
  return {};
}

FsResult VersionFolder::MoveOut(int dir, const std::string& leaf, std::string_view rel,
                                const std::string& full, const FileStamp& stamp) {
  if (!IsOpen()) return ErrorAt(full, ENOENT);
  Result<Fd> parent = OpenRelParent(fs_, run_dir_.get(), rel, full);
  if (!parent.ok()) return parent.error();
  const std::string kept = LeafOfRel(rel);
  if (fs_.RenameAt(parent.value().get(), kept.c_str(), dir, leaf.c_str()) != 0)
    return ErrorAt(full);
  return KeepTimeOf(fs_, dir, leaf, stamp, full);
}

void VersionFolder::Close(bool keep_empty) {
  if (closed_) return;
  closed_ = true;
  if (!IsOpen()) return;
  if (!has_entries_ && !keep_empty) {
    record_ = Fd();
    run_dir_ = Fd();
    RemoveTree(fs_, versions_dir_.get(), name_);
    name_.clear();
    return;
  }
  (void)WriteRecord(EndText());
  record_.Close();
}

RunVersions::RunVersions(FileSystem& fs, const std::string& left_root, RootId left_id,
                         const std::string& right_root, RootId right_id, int keep,
                         const RunHeader& start)
    : left_(fs, left_root, left_id, start, keep), right_(fs, right_root, right_id, start, keep) {
  left_.SetPartner(&right_);
  right_.SetPartner(&left_);
}

RunVersions::~RunVersions() { Close(); }

void RunVersions::Close() {
  const bool kept_any = left_.HasEntries() || right_.HasEntries();
  left_.Close(kept_any);
  right_.Close(kept_any);
}

std::vector<std::string> RunVersions::Pruned() const {
  std::vector<std::string> all = left_.Pruned();
  all.insert(all.end(), right_.Pruned().begin(), right_.Pruned().end());
  return all;
}

}  // namespace tavrik
