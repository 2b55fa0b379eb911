// State shared by the procedures for the whole run: root folders, the file table of the
// last scan, and the batch flags. One instance, owned by the application.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
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
#include "core/state/pair_state.h"
#include "core/state/pair_state_ahead.h"

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
  // A folder that could not be listed (or not to its end) or an entry that could not be
  // queried; the root itself is the empty path.
  void AddHole(std::string_view full_path);
  std::vector<std::string>& Holes() { return holes_; }
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
  std::vector<std::string> holes_;
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

// How many of a root's files a two-way comparison may take as deleted before it calls the
// root lost: more than value (per cent of the state's files with percent). Unset: more than
// half of them, and at least kLostMinFiles.
struct DeleteLimit {
  int64_t value = -1;  // -1: the default
  bool percent = false;
};
inline constexpr int64_t kLostMinFiles = 10;

struct CompareOptions {
  // Pairs of a FAT root whose times differ by a whole number of hours from their twins,
  // as after a change of the clocks, count as equal (core/compare/hour_shift.h).
  bool hour_correction = true;
  // The age comparison compares each side with the pair's common state of the last two-way
  // sync (core/compare/two_way.h); the binary comparison ignores it.
  bool two_way = false;
  DeleteLimit max_delete;
  // False where no sync follows the comparison (the console's compare): the state's entries,
  // which only the sync's save needs, go as soon as the marks are written.
  bool keep_state_for_sync = true;
};

// Why a row of a two-way comparison got its mark (the JSON rows' "why").
enum class TwoWayWhy : uint8_t {
  kNone,      // "=" or nothing to tell
  kNew,       // new on the side the arrow leaves
  kChanged,   // changed there since the state
  kDeleted,   // deleted on the other side: the arrow deletes
  kMoved,     // one half of a move
  kConflict,  // changed on both sides, contents differ: "]["
  kNoState,   // no trusted state: today's mark
  kAlike,     // "=": the same on both sides, but not as the state holds them (told as "=")
};

// One move the comparison proposes: on side (the side where the file still has its old
// name), from is renamed to to, because the other side did so. Both names are relative
// paths; from as side spells it, to as the other side does.
struct MovePair {
  char side = 'R';  // 'L' or 'R': where the rename is to happen
  std::string from;
  std::string to;
  FileStamp from_stamp;    // the stamp of side's from at the comparison (for the recheck)
  uint64_t from_ino = 0;   // its inode where known (0: not)
  bool case_only = false;  // to differs from from in letter case only (one row)
};

// A root that looks lost: empty, or missing more of the state's files than the limit
// allows. Its missing files are not taken as deleted; sync and run refuse before any
// change.
struct TwoWayRefusal {
  char side = 0;        // 0: none; 'L' or 'R'
  int64_t missing = 0;  // the state's files the side no longer shows
  int64_t limit = 0;    // what it may miss
  std::string message;  // German, naming the side and the count
};

// What the last two-way age comparison found, for the sync and the front ends. Filled by
// CompareFolders when compare_options.two_way is set; reset by every comparison.
struct TwoWaySession {
  bool active = false;   // the last comparison ran two-way (age mode)
  bool trusted = false;  // it had a trusted common state
  TrustVerdict verdict;  // with the German reason when not trusted
  // Both sides' states as loaded (entries only when trusted), and the roots' identities;
  // the sync's save starts from these.
  PairState state;
  std::vector<MovePair> moves;
  // State entries gone on both sides (as the left state spells them, or the right one for an
  // entry only it holds): the next save drops them. The entries themselves carry the same
  // verdict in their flags (kEntryGoneBoth), and kEntryKept on those a guard keeps.
  std::vector<std::string> deleted_both;
  // Entries the guards kept (below an unreadable folder, a link, a rule...): the save keeps
  // their old entries as they are.
  int64_t kept = 0;
  // Counts of the marks by their reason.
  int64_t deleted_left = 0;   // rows "X->": deleted on the left, to delete on the right
  int64_t deleted_right = 0;  // rows "<-X"
  int64_t changed_both = 0;   // conflicts "]["
  int64_t moved = 0;          // moves (one per pair of rows)
  int64_t orphaned = 0;       // missing files shown as orphans by the lost-root guard
  TwoWayRefusal refusal;
  // The reason of each row that is not "=", by the row's name (the left one, or the right
  // one for a row without a left file). Empty when not trusted: then every row is kNoState.
  TwoWayWhy WhyOf(std::string_view left_name, std::string_view right_name) const;
  void SetWhy(std::string_view left_name, std::string_view right_name, TwoWayWhy why);
  // Sorts what SetWhy added; the comparison calls it once at its end.
  void SortWhy();
  // The pair's state, loaded while the second folder was listed; the comparison takes it.
  std::shared_ptr<PairStateAhead> ahead;
  // Forgets all but a load still running for the comparison to come.
  void Reset() {
    std::shared_ptr<PairStateAhead> keep = std::move(ahead);
    *this = TwoWaySession();
    ahead = std::move(keep);
  }

 private:
  struct WhyItem {
    uint32_t offset;
    uint32_t size;
    TwoWayWhy why;
  };
  std::string why_names_;
  std::vector<WhyItem> why_;
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
  // Rows the last synchronisation left, without a box each, on a far folder whose broken
  // connection the user chose to ignore; and that folder's reason.
  int lost_rows = 0;
  std::string lost_text;
  // The last two-way synchronisation was refused before any change (a root that looks
  // lost, the pair in use by another run).
  bool two_way_refused = false;
};

// How many refused links a report names.
inline constexpr size_t kRefusedLinksNamed = 3;

// How folders on other machines are reached: what the command line says (--ssh=COMMAND,
// --push-agent). A control file or tavrik.ini never sets it.
struct FarAccess {
  bool has_ssh = false;
  std::string ssh;  // the command that starts the far end instead of ssh (or TAVRIK_SSH)
  bool push_agent = false;
};

struct SharedState {
  RootPath left_root;
  RootPath right_root;
  FarAccess far_access;
  // A root on another machine, by side (0 left, 1 right): the connection that serves it and
  // its name as the user gave it, which its column header shows. Empty for a root here.
  std::unique_ptr<FileSystem> far_fs[2];
  std::string far_name[2];
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
  TwoWaySession two_way;
  // Paths (below the root) that the last fill of each side could not list or query: a folder
  // here stands for everything below it. A two-way comparison takes nothing there as deleted.
  std::vector<std::string> left_holes;
  std::vector<std::string> right_holes;
  // Why the last fill of a side broke off before its tree was listed whole (the connection
  // to its far folder was lost); empty when it was not. No comparison or synchronisation
  // acts on such a column: every file it lacks would look deleted or new.
  std::string left_broken_off;
  std::string right_broken_off;
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

// Where a fill broke off: the box that refuses to act on the list, its first line head
// ("Der Vergleich wird nicht ausgeführt:"); empty when both columns were listed whole.
std::string BrokenOffRefusal(const SharedState& state, const std::string& head);

enum class RootSide : uint8_t { kLeft, kRight };

// What every procedure works on.
struct Context {
  ComparisonList& list;
  SharedState& state;
  Host& host;
  // The user's own files (rule files, tavrik.ini, control files). The front end or the test
  // chooses; core never falls back to the disk.
  FileSystem& fs;
  // The files of each root, where they lie elsewhere than the user's own; unset: fs.
  FileSystem* left_fs = nullptr;
  FileSystem* right_fs = nullptr;

  FileSystem& LeftFs() const { return left_fs ? *left_fs : fs; }
  FileSystem& RightFs() const { return right_fs ? *right_fs : fs; }
  FileSystem& RootFs(RootSide side) const { return side == RootSide::kLeft ? LeftFs() : RightFs(); }
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
