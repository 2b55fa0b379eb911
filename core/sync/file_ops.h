// The file operations of the synchronisation run. They never lose data: a copy goes to a
// temporary file beside the target and is renamed over it, and nothing is replaced or
// removed that is no longer the file the fill saw.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/fs/file_stamp.h"
#include "core/fs/file_system.h"
#include "core/fs/fs_error.h"
#include "core/fs/paths.h"
#include "core/parallel/run_scope.h"

namespace tavrik {

class VersionFolder;  // core/sync/versions.h

// A file inside one of the two trees. The root folder (ending in its separator) may be
// reached through links; below it no link to a folder is ever followed, so an operation
// cannot be led out of the tree.
struct TreePath {
  std::string_view root;
  std::string_view rel;
  // When set, the root must still be this folder; it is then never created, nor anything
  // above it, so a vanished disk is reported instead of re-created on the system disk.
  const RootId* id = nullptr;
  std::string Full() const { return JoinPath(root, rel); }
};

// Temporary copies are named kTempPrefix + host + "-" + pid + "-" + counter; a scan never
// lists names beginning with ".".
inline constexpr std::string_view kTempPrefix = ".tavrik-";

// What the checks tell the user where the errno alone would mislead.
inline constexpr const char* kWhyChanged = "Die Datei wurde seit dem Vergleich verändert.";
inline constexpr const char* kWhySourceChanging =
    "Die Quelldatei wurde während des Kopierens verändert.";
inline constexpr const char* kWhyTargetRootGone = "Das Zielverzeichnis ist nicht mehr vorhanden.";
inline constexpr const char* kWhySourceRootGone = "Das Quellverzeichnis ist nicht mehr vorhanden.";
inline constexpr const char* kWhyReadOnly = "Die Datei ist schreibgeschützt.";
inline constexpr const char* kWhyNameTaken = "Der Name ist auf dem Ziel bereits vergeben.";
inline constexpr const char* kWhyNameRefused = "Das Ziel erlaubt diesen Dateinamen nicht.";
inline constexpr const char* kWhyStopped = "Der Abgleich wurde abgebrochen.";
inline constexpr const char* kWhyNoLinks = "Das Ziel kann keine Verknüpfungen speichern.";
inline constexpr const char* kWhyFolderThere =
    "Eine Verknüpfung und ein Ordner tragen denselben Namen.";
inline constexpr const char* kWhyLinkOnTheWay =
    "Auf dem Weg zur Datei liegt eine Verknüpfung statt eines Ordners.";

// True for the failure of a link that the target medium cannot hold (FAT, exFAT: symlink
// refused with EPERM, EOPNOTSUPP or, from a FUSE driver, ENOSYS).
bool LinkRefused(const FsError& error);

// The temporary name the copy of this process uses with this counter.
std::string TempName(unsigned counter);

// Removes, once per folder, the temporary files of killed runs: names of the temporary
// pattern made on this host by a process that no longer runs. Anything else stays.
// Helper threads share one sweeper.
class TempSweeper {
 public:
  // known: dir's status, where the caller has it already (each query of a far folder is a
  // round trip).
  void Sweep(FileSystem& fs, int dir, const struct stat* known = nullptr);

 private:
  // Each folder by its file system, device and inode.
  using SweptFolder = std::tuple<const FileSystem*, uint64_t, uint64_t>;
  std::mutex mutex_;
  std::set<SweptFolder> swept_;
};

// True when name is a temporary file that a run on this host (host) left behind: the
// process pid it names no longer runs (or has ended and waits to be reaped).
bool IsStaleTempName(std::string_view name, std::string_view host);

// Creates the missing folders of a copy target's chain, one level at a time from the
// outermost; existing folders count as present. The root may be reached through links; below
// it a link or a file in the chain fails. With target.id set the root must be that folder and
// nothing at or above it is created. The target file itself is neither created nor emptied:
// the copy replaces it whole, so a failed copy cannot leave an emptied file behind.
// Returns 0 or the errno of the first failure; failure, when given, receives the whole
// reason (a vanished root says so in its why). made, when given, receives the relative
// paths of the folders made, outermost first.
int PrepareCopyTarget(FileSystem& fs, const TreePath& target, FsError* failure = nullptr,
                      std::vector<std::string>* made = nullptr);

// Copies the regular file src onto dst, keeping the source's modification time (to the
// nanosecond), permission bits, extended attributes (ACLs among them) and, for root, owner
// and group; attributes the target cannot hold are left out. src_seen and dst_seen are what
// the fill recorded (nullptr: nothing there): a source that no longer matches, or that
// changes while it is read, is not copied, and a target that no longer matches or has no
// owner write permission is not replaced, nor a file that appears where there was none. A
// symbolic link at dst is replaced, never written through. When src and dst are the same
// file nothing happens. On failure dst is left as it was and no temporary file remains.
// sweeper, when given, clears the target folder of leftovers of killed runs first.
// to_trash: a replaced file is kept in the trash of its file system (core/sync/trash.h).
// versions: a replaced file is kept there instead, and the copy is recorded
// (core/sync/versions.h). scope, when given: a stop breaks the copy off between two chunks
// (the target stays as it was). The source is read through src_fs, the target written
// through dst_fs; only where both are one file system can the two be one file.
FsResult CopyFileOnto(FileSystem& src_fs, const TreePath& src, FileSystem& dst_fs,
                      const TreePath& dst, const FileStamp* src_seen, const FileStamp* dst_seen,
                      TempSweeper* sweeper = nullptr, bool to_trash = false,
                      VersionFolder* versions = nullptr, const RunScope* scope = nullptr);
// The same within one file system.
inline FsResult CopyFileOnto(FileSystem& fs, const TreePath& src, const TreePath& dst,
                             const FileStamp* src_seen, const FileStamp* dst_seen,
                             TempSweeper* sweeper = nullptr, bool to_trash = false,
                             VersionFolder* versions = nullptr, const RunScope* scope = nullptr) {
  return CopyFileOnto(fs, src, fs, dst, src_seen, dst_seen, sweeper, to_trash, versions, scope);
}

// A copy written whole to a temporary file beside its target, not yet in place. Dropping it
// removes the temporary file, so an aborted run leaves nothing behind.
class StagedCopy {
 public:
  ~StagedCopy();
  StagedCopy(const StagedCopy&) = delete;
  StagedCopy& operator=(const StagedCopy&) = delete;

 private:
  StagedCopy() = default;
  friend struct CopyStager;
  friend bool StillAsStaged(const StagedCopy&);
  friend FsResult CommitStagedCopy(StagedCopy&, const FileStamp*, TempSweeper*, bool,
                                   VersionFolder*, bool*);
  friend FsResult KeepTimeAfterRename(const StagedCopy&);
  friend bool PlacedAtOnce(StagedCopy&, const FileStamp*, FsResult*);
  friend bool PlaceStepOf(StagedCopy&, const FileStamp*, TempSweeper*, PlaceStep*);
  friend FsResult FinishPlaceStep(StagedCopy&, const PlaceStep&);

  FileSystem* fs_ = nullptr;      // the target's
  FileSystem* src_fs_ = nullptr;  // the source's
  Fd dir_;                        // the target's folder
  Fd source_;                     // kept open to see whether the source changes before the commit
  struct stat before_ {};
  struct stat dir_st_ {};  // which folder dir_ is
  struct timespec written_mtime_ {};
  std::string src_path_, dst_path_, dst_rel_, leaf_, temp_name_;
  std::string link_text_;  // a link's copy: the target text it was made with
  bool link_ = false;
  size_t root_length_ = 0;  // of dst_path_
  bool in_place_ = false;   // source and target are one file
};

// What staging a copy may use.
struct StageWith {
  TempSweeper* sweeper = nullptr;   // clears the target folder of leftovers first
  const RunScope* scope = nullptr;  // a stop breaks the copy off between two chunks
  // The source is a link listed as itself: the copy is a link with the same target text
  // and the link's own times, never what it leads to.
  bool link = false;
  // Links are followed: the source may lie below a link to a folder. The target never does.
  bool follow_source = false;
};

// Why a copy was not staged, where the row is then copied at its turn.
struct StageNotes {
  bool folder_missing = false;  // the target's folder is still to be made
  bool no_space = false;        // the target's file system ran full
};

// The first half of CopyFileOnto, safe to run on a helper thread ahead of its row: every
// check of the source, the copy into a temporary file beside the target, attributes and
// time, and where the copy is to replace a file (dst_seen), the flush of its data. Nothing
// is put in place, and no folder is made. The source is read through src_fs, the copy written
// through dst_fs.
Result<std::unique_ptr<StagedCopy>> StageCopy(FileSystem& src_fs, const TreePath& src,
                                              FileSystem& dst_fs, const TreePath& dst,
                                              const FileStamp* src_seen, const FileStamp* dst_seen,
                                              const StageWith& with = {},
                                              StageNotes* notes = nullptr);
// The same within one file system.
inline Result<std::unique_ptr<StagedCopy>> StageCopy(FileSystem& fs, const TreePath& src,
                                                     const TreePath& dst, const FileStamp* src_seen,
                                                     const FileStamp* dst_seen,
                                                     const StageWith& with = {},
                                                     StageNotes* notes = nullptr) {
  return StageCopy(fs, src, fs, dst, src_seen, dst_seen, with, notes);
}
// True while the source is still exactly the file that was copied (for a link, the file it
// leads to, as the copy read it).
bool StillAsStaged(const StagedCopy& copy);
// The second half, at the row's turn: the target checks, then the rename into place
// (to_trash: keeping the replaced file in the trash; versions: in the run's versions). Where
// no file is to be replaced the rename never replaces one: a file another program put there
// meanwhile stays and the copy fails (kWhyNameTaken). When the target's folder is no longer
// the folder at the row's path (renamed meanwhile), nothing is done and folder_moved is set:
// the row is then copied afresh, as a copy at its turn would resolve the path. Once the copy
// is in place it counts as done, even where its time cannot be set again after the rename.
FsResult CommitStagedCopy(StagedCopy& copy, const FileStamp* dst_seen, TempSweeper* sweeper,
                          bool to_trash = false, VersionFolder* versions = nullptr,
                          bool* folder_moved = nullptr);

// Where CommitStagedCopy would put the copy in place with one PlaceIfUnchanged (no version
// or trash to keep, not a link), that call as a step for PlaceInOrder, the folder swept first
// as the commit sweeps it; false otherwise.
bool PlaceStepOf(StagedCopy& copy, const FileStamp* dst_seen, TempSweeper* sweeper,
                 PlaceStep* step);
// What the commit does once its step put the copy in place (a result of 1 or 2).
FsResult FinishPlaceStep(StagedCopy& copy, const PlaceStep& step);

// Removes the one file at path (a link itself, not what it leads to) if it still matches
// what the fill recorded. An empty relative path, a folder, a changed file, or a file
// without owner write permission (read-only, even for root) fail. to_trash: the file is
// moved into the trash of its file system instead; versions: into the run's versions.
FsResult DeleteFileAt(FileSystem& fs, const TreePath& path, const FileStamp* seen,
                      bool to_trash = false, VersionFolder* versions = nullptr);

// Writes out everything cached for the file system that holds root. Only copies that replace
// a file are flushed one by one (before their rename, as not every file system orders the
// data before it); one flush at the end of the run makes the whole run durable before the
// user unplugs the disk.
FsResult FlushFileSystem(FileSystem& fs, const std::string& root);

}  // namespace tavrik
