// Versions of what a run replaces or deletes: instead of being unlinked, such a file is
// moved (a rename, never a copy) to <root>/.tavrik-versions/<run>/<relative path>, keeping
// its times, and the run's record notes it, so the run can be put back (core/sync/undo.h).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/fs/file_stamp.h"
#include "core/fs/file_system.h"
#include "core/fs/fs_error.h"
#include "core/sync/run_record.h"

namespace tavrik {

// What the row's box says when the file lies on another file system than its root, where
// no rename can reach the versions folder; nothing is copied instead.
inline constexpr const char* kWhyOtherFileSystem =
    "Die Datei liegt auf einem anderen Dateisystem als ihr Versionsordner.";

// What a failure says when a file is to go back to its place and another program has put a
// file under its name meanwhile: that file stays.
inline constexpr const char* kWhyNameTakenMeanwhile =
    "Der Name ist inzwischen von einer anderen Datei belegt.";

// One run's folder under one root, made on first use. Its record is written entry by entry
// before each change, so whatever a cut-off run did is in it.
class VersionFolder {
 public:
  // root ends in its separator; id, when known, is the folder the fill scanned. keep > 0:
  // the folder's making first removes the oldest runs so that keep remain with this one;
  // 0 removes none.
  VersionFolder(FileSystem& fs, std::string root, RootId id, RunHeader header, int keep);
  // Closes the record (see Close).
  ~VersionFolder();
  VersionFolder(const VersionFolder&) = delete;
  VersionFolder& operator=(const VersionFolder&) = delete;

  // Makes the run's folder (on the first call) and writes its record's header. Until the
  // header is in, nothing is noted or kept, and each call tries the header again; a record
  // is whole or, at Close, gone with its folder. Failures to write there say so in why.
  FsResult Open();
  // True once the record's header is written: entries and kept files may follow.
  bool IsOpen() const { return header_written_ && run_dir_.get() >= 0; }
  bool HasEntries() const { return has_entries_; }

  // Appends one entry to the record.
  FsResult Note(const RecordEntry& entry);
  // Notes entry (a replacement or deletion), then moves leaf of dir, the file at entry.rel,
  // into this run's folder. A file on another file system than the root fails with EXDEV and
  // kWhyOtherFileSystem before anything is noted; a name already taken there fails with
  // EEXIST. full names the file in errors.
  FsResult Keep(const RecordEntry& entry, int dir, const std::string& leaf,
                const std::string& full);
  // Moves this run's version of rel back to leaf of dir, never over a file there (EEXIST
  // with kWhyNameTakenMeanwhile), and sets its time again where it can.
  FsResult MoveOut(int dir, const std::string& leaf, std::string_view rel, const std::string& full,
                   const FileStamp& stamp);

  // The file system's connection was made anew and the descriptors held here are void: the
  // run's folder and its record are opened again by name, and the next line goes after the
  // whole lines written so far.
  FsResult Reopen();

  // Ends the record with its end line. A record without entries goes again with its
  // folder unless keep_empty is set, and so does one whose header could not be written.
  // Closing twice does nothing.
  void Close(bool keep_empty = false);

  // The full paths of the run folders the opening removed.
  const std::vector<std::string>& Pruned() const { return pruned_; }
  // The full path of this run's folder; empty before it is made.
  std::string Path() const;
  const std::string& Name() const { return name_; }
  // The folder of the same run under the other root: made together with this one, so that
  // even a run killed after its first change has a record on both sides.
  void SetPartner(VersionFolder* partner) { partner_ = partner; }

 private:
  FsResult Prune(int versions_dir);
  FsResult MakeRunFolder();
  // A failure to write into the versions folder, with a sentence that says where.
  FsError Unwritable(int code) const;
  FsResult Reachable(int dir, const std::string& leaf, const std::string& full, struct stat* file);
  // Moves leaf of dir (file, as Reachable found it) to rel in this run's folder.
  FsResult MoveIn(int dir, const std::string& leaf, std::string_view rel, const std::string& full,
                  const struct stat& file);
  FsResult WriteRecord(const std::string& text);

  FileSystem& fs_;
  std::string root_;
  RootId id_;
  RunHeader header_;
  int keep_;
  Fd versions_dir_;
  Fd run_dir_;
  dev_t run_dev_ = 0;  // the run folder's device: a file elsewhere cannot be renamed in
  Fd record_;
  off_t record_size_ = 0;  // the whole lines written; the next one goes here
  bool header_written_ = false;
  std::string name_;
  bool has_entries_ = false;
  bool closed_ = false;
  std::vector<std::string> pruned_;
  VersionFolder* partner_ = nullptr;
};

// A run found under a root: its folder name and its record.
struct RecordedRun {
  std::string name;
  ParsedRecord record;
};

// The runs recorded under versions_dir into *runs, oldest first by their records. Folders
// without a record of ours are left out; those whose record cannot be read or parsed are
// left out too and named in *damaged when given. 0, or -1 with errno when the folder cannot
// be listed to its end.
int RecordedRuns(FileSystem& fs, int versions_dir, std::vector<RecordedRun>* runs,
                 std::vector<std::string>* damaged = nullptr);

// Opens <root>/.tavrik-versions (not through a link); -1 with errno when it is missing.
int OpenVersionsFolder(FileSystem& fs, const std::string& root);

// Sets the modification time of leaf in dir to stamp's again where a rename changed it, as
// a FAT driver in user space does: by name, never through a handle opened for writing. A
// link keeps its own time.
FsResult KeepTimeOf(FileSystem& fs, int dir, const std::string& leaf, const FileStamp& stamp,
                    const std::string& full);

// True when what a file shows now is the file a record describes: same size, and the same
// time, or (where a medium keeps coarser times than it showed when written) within step
// seconds of it.
bool MatchesRecorded(const FileStamp& recorded, const struct stat& now, int64_t step);

// The last part of a relative path.
std::string LeafOfRel(std::string_view rel);

// The start of a run: its header without the sequence number (given when its folder is
// made), from the clock.
RunHeader StartHeader();

// The versions of both roots of one synchronisation run. When the run kept anything on
// either side both roots get a record, so an undo of either root undoes this run, not an
// older one; a run that changed nothing leaves no trace.
class RunVersions {
 public:
  RunVersions(FileSystem& left_fs, const std::string& left_root, RootId left_id,
              FileSystem& right_fs, const std::string& right_root, RootId right_id, int keep,
              const RunHeader& start = StartHeader());
  ~RunVersions();
  RunVersions(const RunVersions&) = delete;
  RunVersions& operator=(const RunVersions&) = delete;

  VersionFolder& Left() { return left_; }
  VersionFolder& Right() { return right_; }
  // Closes both records; done by the destructor at the latest.
  void Close();
  // What the opening of both folders removed.
  std::vector<std::string> Pruned() const;

 private:
  VersionFolder left_;
  VersionFolder right_;
};

}  // namespace tavrik
