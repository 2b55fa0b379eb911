// State shared by the procedures for the whole run: root folders, the file table of the
// last scan, and the batch flags. One instance, owned by the application.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "core/fs/file_stamp.h"
#include "core/fs/file_system.h"
#include "core/fs/paths.h"
#include "core/list/comparison_list.h"
#include "core/list/host.h"
#include "core/list/string_arena.h"
#include "core/parallel/run_scope.h"
#include "core/rules/rule_set.h"

namespace tavrik {

// Full paths of the files the last scan found, in scan order (counted from 1), each with
// the size and time that the scan's one attribute query returned. Paths below the base
// folder (the root of the fill) are stored without it, so the root costs no memory per file.
// An entry the exclusion rules left out: its path below the root, and whether it is a
// folder (then nothing below it was listed).
struct ExcludedEntry {
  std::string path;
  bool folder = false;
};

// An entry the scan did not list, and why (a FIFO, a dangling link followed, ...).
struct LeftOutEntry {
  std::string path;  // below the root
  LeftOutWhy why = LeftOutWhy::kFifo;
};

class FileTable {
 public:
  int Count() const { return static_cast<int>(entries_.size()); }
  // Empties the table; every path added afterwards must begin with base.
  void Clear(std::string_view base = {});
  void Add(std::string_view full_path, const FileStamp& stamp, FileKind kind = FileKind::kFile);
  void AddExcluded(std::string_view full_path, bool folder);
  void AddLeftOut(std::string_view full_path, LeftOutWhy why);
  std::vector<ExcludedEntry>& Excluded() { return excluded_; }
  std::vector<LeftOutEntry>& LeftOut() { return left_out_; }
  std::string Path(int i) const { return base_ + std::string(Rest(i)); }
  // The path with the base cut off: the relative path when the base is the root.
  std::string_view Rest(int i) const { return arena_.Get(At(i).rest); }
  const FileStamp& Stamp(int i) const { return At(i).stamp; }
  FileKind Kind(int i) const { return At(i).kind; }

 private:
  struct Entry {
    StringArena::Ref rest;
    FileStamp stamp;
    FileKind kind;
  };
  const Entry& At(int i) const { return entries_[static_cast<size_t>(i - 1)]; }
  std::string base_;
  std::deque<Entry> entries_;  // grows without copying what it holds
  StringArena arena_;
  std::vector<ExcludedEntry> excluded_;
  std::vector<LeftOutEntry> left_out_;
};

// What the exclusion rules kept out of the list at the last fill of one side.
struct Exclusions {
  std::vector<ExcludedEntry> excluded;  // what the rules matched; a folder counts once
  size_t partners = 0;                  // files whose partner on the other side the rules matched
  size_t Count() const { return excluded.size() + partners; }
};

// A left file kept out of the list while its partner on the right is excluded; the next
// right fill, with another folder perhaps, looks at it afresh.
struct WithheldRow {
  std::string name;
  FileStamp stamp;
  FileKind kind = FileKind::kFile;
};

struct BatchRequests {
  bool binary = false;     // Binärvergleich
  bool age = false;        // Altersvergleich
  bool sync = false;       // Abgleich
  bool clipboard = false;  // Zwischenablage
  bool end = false;        // Ende
};

// How much file-system work may run ahead of the thread that shows results. Tests run the
// scan and the comparison with none and with many helpers; results never depend on it.
// The numbers of helpers grow up to their maximum only while the work is seen waiting for
// the disk or the network.
struct IoTuning {
  int scan_helpers = -1;  // threads listing folders ahead; -1: one when there are two cores
  int scan_max_helpers = 16;
  int scan_window = 256;                     // folders listed ahead and not yet taken
  uint64_t scan_window_bytes = 64ull << 20;  // what their listings may hold
  int scan_sample = 4;                       // listings per sample of the waits
  // Listings of the second tree made while the first one fills, waiting for their turn;
  // 0 folders: the second tree is listed at its turn only.
  int scan_ahead_folders = 1 << 16;
  uint64_t scan_ahead_bytes = 64ull << 20;
  int compare_helpers = -1;  // threads reading pairs; -1: one per further core, at most 3
  int compare_max_helpers = 16;
  int compare_window = 256;  // pairs handed out ahead of the row loop
  int copy_helpers = -1;     // threads preparing the sync's copies; -1: one when two cores
  int copy_max_helpers = 16;
  int copy_window = 64;                     // copies prepared ahead of the row loop; 0: none
  uint64_t copy_window_bytes = 1ull << 30;  // their sizes together (an item alone may exceed)
};

// Runs whose versions a root keeps when the user says nothing else.
inline constexpr int kDefaultKeepVersions = 10;

// How the synchronisation removes what it deletes or replaces.
struct SyncOptions {
  bool trash = false;     // into the trash of the file's file system instead of unlinking
  bool versions = false;  // into <root>/.tavrik-versions/<run>/, recorded so it can be undone
  int keep_versions = kDefaultKeepVersions;  // runs kept per root, this one among them
};

struct CompareOptions {
  // Pairs of a FAT root whose times differ by a whole number of hours from their twins,
  // as after a change of the clocks, count as equal (core/compare/hour_shift.h).
  bool hour_correction = true;
};

// What the last comparison and synchronisation saw beyond their marks and boxes, for the
// front ends to tell.
struct RunNotes {
  // The age comparison found the times of one FAT root shifted: 1 left, 2 right, 0 none.
  int shifted_side = 0;
  int shift_hours = 0;              // as the shifted side shows its times against the other
  int undecided = 0;                // pairs marked "?" because the shift made their order uncertain
  std::vector<std::string> pruned;  // run folders the last synchronisation removed
  // Links the last synchronisation could not make because the target holds none (FAT,
  // exFAT): how many, and the first of them by full path. Their rows stay.
  int refused_links = 0;
  std::vector<std::string> refused_link_names;
};

// How many refused links a report names.
inline constexpr size_t kRefusedLinksNamed = 3;

struct SharedState {
  RootPath left_root;
  RootPath right_root;
  // Whole seconds the file system of each root can tell apart (2 on FAT media).
  int64_t left_time_step = 1;
  int64_t right_time_step = 1;
  // The root's file system stores local wall time (the FAT family).
  bool left_local_time = false;
  bool right_local_time = false;
  // The folders the fills scanned; a run acts on these folders only.
  RootId left_root_id;
  RootId right_root_id;
  FileTable file_table;
  bool batch_active = false;
  BatchRequests batch;
  // A fill, comparison or synchronisation is running; commands that would change the
  // list are refused meanwhile.
  bool busy = false;
  IoTuning io;
  SyncOptions sync_options;
  CompareOptions compare_options;
  RunNotes notes;
  // The program is asked to end ("Ende", the window closed, a signal, a closed output): a
  // running operation stops at its next step and removes what it made.
  StopFlag stop;
  // The exclusion rules, the same for both sides and every fill, and the lines they were
  // made of by source: a batch run puts the control file's between these two.
  RuleSet rules;
  RuleLines user_rules;
  RuleLines command_rules;
  Exclusions left_exclusions;
  Exclusions right_exclusions;
  // How the scan reads a symbolic link: false, as an entry of its own that the sync copies
  // as a link; true, as what it leads to (files and folders), for media that hold no links.
  bool follow_links = false;
  // What the last fill of each side left out of the list, and why.
  std::vector<LeftOutEntry> left_left_out;
  std::vector<LeftOutEntry> right_left_out;
  std::vector<WithheldRow> withheld;
  // The last fill was a left fill that left the list empty (an empty folder, or one whose
  // entries the rules all leave out): a folder dropped or chosen for the right then fills
  // the right column, not the left one again.
  bool left_filled_empty = false;
};

// What every procedure works on.
struct Context {
  ComparisonList& list;
  SharedState& state;
  Host& host;
  FileSystem& fs;  // the front end or the test chooses; core never falls back to the disk
};

// Marks the context busy for the lifetime of the guard and tells the host.
class BusyGuard {
 public:
  explicit BusyGuard(Context& ctx) : ctx_(ctx) {
    ctx_.state.busy = true;
    ctx_.host.OperationRunning(true);
  }
  ~BusyGuard() {
    ctx_.state.busy = false;
    ctx_.host.OperationRunning(false);
  }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;

 private:
  Context& ctx_;
};

}  // namespace tavrik
