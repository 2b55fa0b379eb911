#include "core/sync/undo.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <set>

#include "core/fs/folder_walk.h"
#include "core/fs/no_replace.h"
#include "core/fs/paths.h"
#include "core/fs/time_resolution.h"
#include "core/state/pair_lock.h"
#include "core/state/pair_state.h"
#include "core/sync/versions.h"

namespace tavrik {

namespace {

bool IsFileEntry(EntryKind kind) {
  return kind == EntryKind::kReplaced || kind == EntryKind::kDeleted ||
         kind == EntryKind::kCreated || kind == EntryKind::kMoved;
}

// One undo: the run's folder to take files from, the undo's own folder to put files in.
class Undoer {
 public:
  Undoer(FileSystem& fs, Host& host, const RootPath& root, int root_dir, int run_dir,
         std::string run_path, int64_t step, bool dry_run, VersionFolder& own, UndoOutcome& outcome)
      : fs_(fs),
        host_(host),
        root_(root),
        root_dir_(root_dir),
        run_dir_(run_dir),
        run_path_(std::move(run_path)),
        step_(step),
        dry_run_(dry_run),
        own_(own),
        out_(outcome) {}

  void File(const RecordEntry& entry);
  void Folder(const RecordEntry& entry);
  void MoveBack(const RecordEntry& entry);

 private:
  // What lies at a relative path now: whether anything does, and its status.
  struct Now {
    Fd dir;  // its folder, when that exists
    bool present = false;
    mode_t kind = 0;  // the entry's own type: S_IFREG, S_IFLNK, ...
    // Its status as a fill that follows links reads it: a link to a regular file counts as
    // that file.
    struct stat st {};
    struct stat own {};  // the entry's own status (a link's, where it is one)
  };
  // Whether what lies there now is what the record says: a link as the fill listed it,
  // either as itself or as the file it leads to.
  bool Matches(const FileStamp& recorded, const Now& now) const {
    if (MatchesRecorded(recorded, now.st, step_)) return true;
    if (now.kind != S_IFLNK) return false;
    struct stat as_entry = now.own;
    as_entry.st_mode = S_IFREG;
    return MatchesRecorded(recorded, as_entry, step_);
  }
  // What a record notes of the entry there now: a link by its own stamp.
  static FileStamp StampNow(const Now& now) {
    return StampOf(now.kind == S_IFLNK ? now.own : now.st);
  }
  Now Look(int base, const std::string& rel) {
    Now now;
    Result<Fd> dir = OpenRelParent(fs_, base, rel, JoinPath(root_, rel));
    if (!dir.ok()) return now;
    now.dir = std::move(dir.value());
    const std::string leaf = LeafOfRel(rel);
    now.present = fs_.StatAt(now.dir.get(), leaf.c_str(), &now.st, AT_SYMLINK_NOFOLLOW) == 0;
    now.kind = now.st.st_mode & S_IFMT;
    now.own = now.st;
    struct stat target {};
    if (now.present && S_ISLNK(now.st.st_mode) &&
        fs_.StatAt(now.dir.get(), leaf.c_str(), &target, 0) == 0 && S_ISREG(target.st_mode))
      now.st = target;
    return now;
  }
  void Act(UndoStep step, const std::string& rel) { out_.actions.push_back({step, rel, {}}); }
  void Changed(const std::string& full) {
    ++out_.changed;
    Warn(host_, "Die Datei '" + full + "'" + kCr +
                    "wurde nach dem Abgleich verändert und bleibt, wie sie ist.");
  }
  void Failed(const std::string& full, const FsError& error) {
    ++out_.failed;
    Warn(host_, "Die Datei '" + full + "'" + kCr + "konnte nicht zurückgeholt werden.", error);
  }
  void TimeNotSet(const std::string& full, const FsError& error) {
    ++out_.untimed;
    Warn(host_,
         "Die Datei '" + full + "'" + kCr +
             "ist zurückgeholt, ihr Änderungsdatum konnte aber nicht wiederhergestellt " +
             "werden.",
         error);
  }
  void KeptVersionMissing(const std::string& full) {
    ++out_.failed;
    Warn(host_, "Die Datei '" + full + "'" + kCr + "kann nicht zurückgeholt werden: ihre Fassung" +
                    " fehlt in '" + run_path_ + "'.");
  }
  // Moves the run's version of entry.rel to its place (parent, leaf), never over a file
  // another program put there meanwhile. Fails only when the version did not move: a time
  // that cannot be set again is a warning about a file that is back.
  FsResult TakeBack(const RecordEntry& entry, int parent, const std::string& full) {
    Result<Fd> from = OpenRelParent(fs_, run_dir_, entry.rel, full);
    if (!from.ok()) return from.error();
    const std::string leaf = LeafOfRel(entry.rel);
    if (RenameNoReplace(fs_, from.value().get(), leaf.c_str(), parent, leaf.c_str()) != 0)
      return errno == EEXIST ? Because(full, EEXIST, kWhyNameTakenMeanwhile) : ErrorAt(full);
    FsResult timed = KeepTimeOf(fs_, parent, leaf, entry.before, full);
    if (!timed.ok()) TimeNotSet(full, timed.error());
    return {};
  }
  void PutBack(const RecordEntry& entry, Now& now, const std::string& full);
  void Restore(const RecordEntry& entry, const std::string& full);

  FileSystem& fs_;
  Host& host_;
  const RootPath& root_;
  int root_dir_;
  int run_dir_;
  std::string run_path_;
  int64_t step_;
  bool dry_run_;
  VersionFolder& own_;
  UndoOutcome& out_;
};

void Undoer::File(const RecordEntry& entry) {
  const std::string full = JoinPath(root_, entry.rel);
  Now now = Look(root_dir_, entry.rel);
  Now kept = Look(run_dir_, entry.rel);
  // A link the run replaced or deleted was kept as the link itself.
  const bool have_version = kept.present && (kept.kind == S_IFREG || kept.kind == S_IFLNK);
  switch (entry.kind) {
    case EntryKind::kReplaced:
      if (now.present && Matches(entry.after, now)) {
        if (!have_version) return KeptVersionMissing(full);
        return PutBack(entry, now, full);
      }
      // Noted, but the run was cut off or failed before the change: nothing to put back.
      if (now.present && !have_version && Matches(entry.before, now)) return;
      return Changed(full);
    case EntryKind::kDeleted:
      if (!now.present) {
        if (!have_version) return KeptVersionMissing(full);
        return Restore(entry, full);
      }
      if (!have_version && Matches(entry.before, now)) return;
      return Changed(full);
    case EntryKind::kCreated:
      if (!now.present) return;  // gone already, as before the run
      if (!Matches(entry.after, now)) return Changed(full);
      Act(UndoStep::kMoveAway, entry.rel);
      if (dry_run_) return;
      {
        FsResult moved = own_.Keep({EntryKind::kDeleted, entry.rel, StampNow(now), {}, {}},
                                   now.dir.get(), LeafOfRel(entry.rel), full);
        if (!moved.ok()) Failed(full, moved.error());
      }
      return;
    case EntryKind::kMoved:
      return MoveBack(entry);
    default:
      return;
  }
}

// The reverse rename of a move: the file under its new name goes back to its old one, never
// over a file another program put there meanwhile, and only while it is still the file the
// run moved.
void Undoer::MoveBack(const RecordEntry& entry) {
  const std::string full = JoinPath(root_, entry.to);
  Now now = Look(root_dir_, entry.to);
  if (!now.present) return;  // not moved (cut off before), or gone since
  if (!MatchesRecorded(entry.after, now.st, step_)) return Changed(full);
  out_.actions.push_back({UndoStep::kMoveBack, entry.to, entry.rel});
  if (dry_run_) return;
  const std::string old_full = JoinPath(root_, entry.rel);
  std::vector<std::string> made;
  Result<Fd> parent = OpenRelParent(fs_, root_dir_, entry.rel, old_full, &made);
  for (const std::string& rel : made) {
    FsResult noted = own_.Note({EntryKind::kFolderMade, rel, {}, {}, {}});
    if (!noted.ok()) return Failed(full, noted.error());
  }
  if (!parent.ok()) return Failed(full, parent.error());
  FsResult noted = own_.Note({EntryKind::kMoved, entry.to, {}, StampOf(now.st), entry.rel});
  if (!noted.ok()) return Failed(full, noted.error());
  const std::string from = LeafOfRel(entry.to);
  const std::string to = LeafOfRel(entry.rel);
  if (RenameNoReplace(fs_, now.dir.get(), from.c_str(), parent.value().get(), to.c_str()) != 0)
    Failed(full,
           errno == EEXIST ? Because(old_full, EEXIST, kWhyNameTakenMeanwhile) : ErrorAt(full));
}

void Undoer::PutBack(const RecordEntry& entry, Now& now, const std::string& full) {
  Act(UndoStep::kPutBack, entry.rel);
  if (dry_run_) return;
  const std::string leaf = LeafOfRel(entry.rel);
  const FileStamp current = StampNow(now);
  FsResult moved = own_.Keep({EntryKind::kReplaced, entry.rel, current, entry.before, {}},
                             now.dir.get(), leaf, full);
  if (!moved.ok()) return Failed(full, moved.error());
  FsResult back = TakeBack(entry, now.dir.get(), full);
  if (back.ok()) return;
  // The version did not move: the run's file goes back where it was rather than leave the
  // place empty. Where that fails too it stays in the undo's versions, on record.
  (void)own_.MoveOut(now.dir.get(), leaf, entry.rel, full, current);
  Failed(full, back.error());
}

void Undoer::Restore(const RecordEntry& entry, const std::string& full) {
  Act(UndoStep::kRestore, entry.rel);
  if (dry_run_) return;
  std::vector<std::string> made;
  Result<Fd> parent = OpenRelParent(fs_, root_dir_, entry.rel, full, &made);
  for (const std::string& rel : made) {
    FsResult noted = own_.Note({EntryKind::kFolderMade, rel, {}, {}, {}});
    if (!noted.ok()) return Failed(full, noted.error());
  }
  if (!parent.ok()) return Failed(full, parent.error());
  FsResult noted = own_.Note({EntryKind::kCreated, entry.rel, {}, entry.before, {}});
  if (!noted.ok()) return Failed(full, noted.error());
  FsResult back = TakeBack(entry, parent.value().get(), full);
  if (!back.ok()) Failed(full, back.error());
}

void Undoer::Folder(const RecordEntry& entry) {
  const std::string full = JoinPath(root_, entry.rel);
  Now now = Look(root_dir_, entry.rel);
  const bool folder = now.present && S_ISDIR(now.st.st_mode);
  const std::string leaf = LeafOfRel(entry.rel);
  if (entry.kind == EntryKind::kFolderMade) {
    if (!folder) return;
    if (dry_run_) return Act(UndoStep::kRemoveFolder, entry.rel);
    // A folder that still holds something is the user's now.
    if (fs_.UnlinkAt(now.dir.get(), leaf.c_str(), AT_REMOVEDIR) != 0) return;
    Act(UndoStep::kRemoveFolder, entry.rel);
    FsResult noted = own_.Note({EntryKind::kFolderRemoved, entry.rel, {}, {}, {}});
    if (!noted.ok()) Failed(full, noted.error());
    return;
  }
  if (now.present) return;
  Act(UndoStep::kMakeFolder, entry.rel);
  if (dry_run_) return;
  std::vector<std::string> made;
  // The folder itself is the parent of a name inside it.
  Result<Fd> parent = OpenRelParent(fs_, root_dir_, entry.rel + kSep + "x", full, &made);
  if (!parent.ok()) return Failed(full, parent.error());
  for (const std::string& rel : made) {
    FsResult noted = own_.Note({EntryKind::kFolderMade, rel, {}, {}, {}});
    if (!noted.ok()) return Failed(full, noted.error());
  }
}

}  // namespace

const char* UndoStepWord(UndoStep step) {
  switch (step) {
    case UndoStep::kPutBack:
      return "put-back";
    case UndoStep::kRestore:
      return "restore";
    case UndoStep::kMoveAway:
      return "remove";
    case UndoStep::kRemoveFolder:
      return "rmdir";
    case UndoStep::kMakeFolder:
      return "mkdir";
    case UndoStep::kMoveBack:
      return "move-back";
  }
  return "?";
}

UndoOutcome UndoLastRun(FileSystem& fs, Host& host, const std::string& root_name, bool dry_run) {
  UndoOutcome out;
  const RootPath root(root_name);
  Fd versions(fs, OpenVersionsFolder(fs, root.str()));
  if (versions.get() < 0) {
    out.status = errno == ENOENT ? UndoOutcome::kNothingRecorded : UndoOutcome::kUnreadable;
    return out;
  }
  std::vector<RecordedRun> runs;
  if (RecordedRuns(fs, versions.get(), &runs, &out.names) != 0) {
    out.status = UndoOutcome::kUnreadable;
    return out;
  }
  // A damaged record may be the newest one: undoing an older run instead would be worse.
  if (!out.names.empty()) {
    out.status = UndoOutcome::kDamaged;
    return out;
  }
  if (runs.empty()) return out;
  const RecordedRun& last = runs.back();
  out.status = UndoOutcome::kDone;
  out.run_name = last.name;
  out.run = last.record.header;
  out.run_ended = last.record.ended;
  Fd root_dir(fs, fs.OpenAt(AT_FDCWD, root.str().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  Result<Fd> run_dir =
      OpenFolderStep(fs, versions.get(), last.name, false, false, last.name, nullptr);
  if (root_dir.get() < 0 || !run_dir.ok()) {
    out.status = UndoOutcome::kUnreadable;
    return out;
  }
  // No sync of a pair of this root may run meanwhile, nor begin.
  UndoLock lock;
  if (!dry_run && !lock.Take(fs, root.str(), &out.refusal)) {
    out.status = UndoOutcome::kLocked;
    return out;
  }
  RunHeader header = StartHeader();
  header.undo = true;
  header.undoes = last.name;
  // Keeps every older run: an undo removes nothing it might be asked to put back.
  VersionFolder own(fs, root.str(), RootId{}, header, 0);
  const std::string run_path = JoinPath(root, std::string(kVersionsFolder) + kSep + last.name);
  Undoer undoer(fs, host, root, root_dir.get(), run_dir.value().get(), run_path,
                TimeStepOf(fs, root.str()), dry_run, own, out);
  // Backwards: the last change first, so folders are left after the files made in them.
  // Of several entries for one path (a retried row) the last one tells what the run left.
  std::set<std::string> files_done, folders_done;
  const std::vector<RecordEntry>& entries = last.record.entries;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const bool file = IsFileEntry(it->kind);
    const std::string& key = it->kind == EntryKind::kMoved ? it->to : it->rel;
    if (!(file ? files_done : folders_done).insert(key).second) continue;
    if (file)
      undoer.File(*it);
    else
      undoer.Folder(*it);
  }
  own.Close();
  out.own_folder = own.Path();
  // The root is no longer what its pairs' common states say: the next two-way comparison
  // proposes no deletion until a sync has saved a new one.
  if (!dry_run) (void)ForgetPairStates(fs, root.str());
  return out;
}

}  // namespace tavrik
