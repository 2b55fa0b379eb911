#include "core/sync/versions.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <tuple>

#include "core/fs/error_text.h"
#include "core/fs/file_io.h"
#include "core/fs/folder_walk.h"
#include "core/fs/no_replace.h"
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

// What a run folder's record gave.
enum class Read { kNone, kWhole, kFailed };

// Reads the record of the run folder name. kNone: no record of ours is there (no folder, a
// link, a folder without record); kFailed: one is there that cannot be read.
Read ReadRecord(FileSystem& fs, int versions_dir, const std::string& name, std::string* text) {
  const auto absent = [](int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
  };
  Result<Fd> run = OpenFolderStep(fs, versions_dir, name, false, false, name, nullptr);
  if (!run.ok()) return absent(run.error().code) ? Read::kNone : Read::kFailed;
  const int fd = fs.OpenAt(run.value().get(), std::string(kRecordName).c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return absent(errno) ? Read::kNone : Read::kFailed;
  Fd record(fs, fd);
  return ReadWhole(fs, record.get(), text) ? Read::kWhole : Read::kFailed;
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

int OpenVersionsFolder(FileSystem& fs, const std::string& root) {
  Fd root_dir(fs, fs.OpenAt(AT_FDCWD, root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (root_dir.get() < 0) return -1;
  return fs.OpenAt(root_dir.get(), std::string(kVersionsFolder).c_str(),
                   O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

FsResult KeepTimeOf(FileSystem& fs, int dir, const std::string& leaf, const FileStamp& stamp,
                    const std::string& full) {
  struct stat now {};
  if (fs.StatAt(dir, leaf.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) return ErrorAt(full);
  // A link's own time is the system's business: the record holds the time of its target.
  if (!S_ISREG(now.st_mode) || SameTime(now.st_mtim, stamp.mtime_sec, stamp.mtime_nsec)) return {};
  return SetTimesAt(fs, dir, leaf, now.st_atim, {stamp.mtime_sec, stamp.mtime_nsec}, full);
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

int RecordedRuns(FileSystem& fs, int versions_dir, std::vector<RecordedRun>* runs,
                 std::vector<std::string>* damaged) {
  runs->clear();
  std::vector<std::string> names;
  // Part of a listing could leave the newest run out, and an older one would be taken.
  if (ListNames(fs, versions_dir, &names) != 0) return -1;
  for (const std::string& name : names) {
    if (name[0] == '.') continue;
    std::string text;
    RecordedRun found{name, {}};
    switch (ReadRecord(fs, versions_dir, name, &text)) {
      case Read::kNone:
        continue;
      case Read::kWhole:
        if (ParseRecord(text, &found.record)) {
          runs->push_back(std::move(found));
          continue;
        }
        break;
      case Read::kFailed:
        break;
    }
    if (damaged) damaged->push_back(name);
  }
  std::sort(runs->begin(), runs->end(), RunBefore);
  return 0;
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
  std::vector<RecordedRun> runs;
  if (RecordedRuns(fs_, versions_dir, &runs) != 0) return ErrorAt(JoinPath(root_, kVersionsFolder));
  uint64_t last = 0;
  for (const RecordedRun& run : runs) last = std::max(last, run.record.header.seq);
  header_.seq = last + 1;
  if (keep_ <= 0) return {};
  // This run is one of the kept ones.
  const size_t older = static_cast<size_t>(keep_ - 1);
  for (size_t i = 0; i + older < runs.size(); ++i) {
    const std::string path = JoinPath(root_, std::string(kVersionsFolder) + kSep + runs[i].name);
    if (RemoveTree(fs_, versions_dir, runs[i].name) != 0) return ErrorAt(path);
    pruned_.push_back(path);
  }
  return {};
}

FsError VersionFolder::Unwritable(int code) const {
  FsError error = ErrorAt(JoinPath(root_, kVersionsFolder), code);
  error.why = "In den Versionsordner '";
  error.why += error.path;
  error.why += "' kann nicht geschrieben werden: ";
  error.why += GermanErrorText(code);
  return error;
}

FsResult VersionFolder::MakeRunFolder() {
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
    return Unwritable(errno);
  Result<Fd> versions = OpenFolderStep(fs_, root_dir.get(), folder, false, false, folder, nullptr);
  if (!versions.ok()) return Unwritable(versions.error().code);
  FsResult pruned = Prune(versions.value().get());
  if (!pruned.ok()) return pruned;
  const std::string stem = RunFolderName(header_.start_sec);
  std::string name;
  for (int n = 1; n <= kNameAttempts && name.empty(); ++n) {
    std::string candidate = n == 1 ? stem : stem + "_" + std::to_string(n);
    if (fs_.MkdirAt(versions.value().get(), candidate.c_str(), 0700) == 0)
      name = std::move(candidate);
    else if (errno != EEXIST)
      return Unwritable(errno);
  }
  if (name.empty()) return Unwritable(EEXIST);
  Result<Fd> run = OpenFolderStep(fs_, versions.value().get(), name, false, false, name, nullptr);
  struct stat run_st {};
  int record = -1;
  if (run.ok() && fs_.Fstat(run.value().get(), &run_st) == 0)
    record = fs_.OpenAt(run.value().get(), std::string(kRecordName).c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (record < 0) {
    const int error = run.ok() ? errno : run.error().code;
    // Best effort: a folder without a record is no run of ours.
    (void)RemoveTree(fs_, versions.value().get(), name);
    return Unwritable(error);
  }
  versions_dir_ = std::move(versions.value());
  run_dir_ = std::move(run.value());
  run_dev_ = run_st.st_dev;
  record_ = Fd(fs_, record);
  record_size_ = 0;
  name_ = std::move(name);
  return {};
}

FsResult VersionFolder::Reopen() {
  if (closed_ || name_.empty()) return {};
  const std::string versions = JoinPath(root_, std::string(kVersionsFolder));
  Fd versions_dir(
      fs_, fs_.OpenAt(AT_FDCWD, versions.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (versions_dir.get() < 0) return Unwritable(errno);
  Fd run_dir(fs_, fs_.OpenAt(versions_dir.get(), name_.c_str(),
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (run_dir.get() < 0) return Unwritable(errno);
  Fd record(fs_, fs_.OpenAt(run_dir.get(), std::string(kRecordName).c_str(),
                            O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  if (record.get() < 0) return Unwritable(errno);
  versions_dir_ = std::move(versions_dir);
  run_dir_ = std::move(run_dir);
  record_ = std::move(record);
  return {};
}

FsResult VersionFolder::Open() {
  if (header_written_) return {};
  if (closed_) return ErrorAt(root_, EBADF);
  if (run_dir_.get() < 0) {
    FsResult made = MakeRunFolder();
    if (!made.ok()) return made;
  }
  // Nothing is noted before the whole header is in: an entry written in its place would
  // leave a record no undo can read. Another attempt writes the header again from the start.
  FsResult written = WriteRecord(HeaderText(header_));
  if (!written.ok()) return written;
  header_written_ = true;
  // Best effort: a root that cannot take a record has nothing of this run to undo.
  if (partner_ && !partner_->IsOpen()) (void)partner_->Open();
  return {};
}

FsResult VersionFolder::WriteRecord(const std::string& text) {
  const std::string path = Path() + kSep + std::string(kRecordName);
  FsResult written = WriteAll(fs_, record_.get(), text, record_size_, path);
  if (!written.ok()) return Unwritable(written.error().code);
  // Only a whole line counts: a line cut short is written over by the next one.
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
  // Never over a version kept before: none is ever given up.
  if (RenameNoReplace(fs_, dir, leaf.c_str(), to, kept.c_str()) != 0) {
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
  // A file another program put there meanwhile stays; this one stays in the versions.
  if (RenameNoReplace(fs_, parent.value().get(), kept.c_str(), dir, leaf.c_str()) != 0)
    return errno == EEXIST ? Because(full, EEXIST, kWhyNameTakenMeanwhile) : ErrorAt(full);
  // Back in place is what counts; a time that cannot be set again changes no content.
  (void)KeepTimeOf(fs_, dir, leaf, stamp, full);
  return {};
}

void VersionFolder::Close(bool keep_empty) {
  if (closed_) return;
  closed_ = true;
  if (run_dir_.get() < 0) return;
  // The other root kept files: this one gets the record too, if its header goes in now.
  if (!header_written_ && keep_empty && WriteRecord(HeaderText(header_)).ok())
    header_written_ = true;
  if (!header_written_ || (!has_entries_ && !keep_empty)) {
    // A record exists whole or not at all: without its header the folder holds nothing.
    record_ = Fd();
    run_dir_ = Fd();
    header_written_ = false;
    (void)RemoveTree(fs_, versions_dir_.get(), name_);
    name_.clear();
    return;
  }
  (void)WriteRecord(EndText());
  record_.Close();
}

RunVersions::RunVersions(FileSystem& left_fs, const std::string& left_root, RootId left_id,
                         FileSystem& right_fs, const std::string& right_root, RootId right_id,
                         int keep, const RunHeader& start)
    : left_(left_fs, left_root, left_id, start, keep),
      right_(right_fs, right_root, right_id, start, keep) {
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
