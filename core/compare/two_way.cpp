#include "core/compare/two_way.h"

#include <algorithm>
#include <map>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/compare/content_compare.h"
#include "core/compare/hour_shift.h"
#include "core/fs/paths.h"
#include "core/list/status.h"

namespace tavrik {

namespace {

constexpr int64_t kHour = 3600;
constexpr int64_t kNs = 1000000000;
constexpr int kYieldEvery = 8;

// How one side's file stands against that side's state.
enum class SideStatus : uint8_t {
  kUnchanged,
  kChanged,
  kNew,      // there, not in the state
  kDeleted,  // in the state, not there
  kAbsent,   // neither there nor in the state
};

// What a side's state is compared with: the medium's step and a shift of its times.
struct SideClock {
  int64_t step = 1;   // whole seconds the medium tells apart (2 on FAT)
  int64_t shift = 0;  // seconds the side's times moved against its state (FAT)
};

bool Within(int64_t a, int64_t b, int64_t tolerance) {
  return a - b < tolerance && b - a < tolerance;
}

// Nanoseconds between two times, saturated far beyond any hour.
int64_t NsBetween(int64_t sec_a, int32_t ns_a, int64_t sec_b, int32_t ns_b) {
  const int64_t ds = sec_a - sec_b;
  if (ds > 1000000 || ds < -1000000) return ds > 0 ? INT64_MAX / 2 : INT64_MIN / 2;
  return ds * kNs + (ns_a - ns_b);
}

// The same time as far as the medium can tell: exactly, or within its step where that is
// coarser than a second (FAT keeps two seconds).
bool SameTime(int64_t d_ns, int64_t step) {
  if (d_ns == 0) return true;
  return step > 1 && Within(d_ns, 0, step * kNs);
}

// The time the side shows now is the time its state holds, give or take the medium's step and
// the side's shift against its state.
bool SameTimeOnSide(int64_t now_sec, int32_t now_ns, const StateEntry& then,
                    const SideClock& clock) {
  const int64_t d = NsBetween(now_sec, now_ns, then.mtime_sec, then.mtime_nsec);
  if (SameTime(d, clock.step)) return true;
  return clock.shift != 0 && Within(d, clock.shift * kNs, std::max<int64_t>(clock.step, 1) * kNs);
}

bool Changed(const FileStamp& now, bool now_link, const StateEntry& then, const SideClock& clock) {
  if (now_link != (then.kind == StateKind::kLink)) return true;
  if (now.size != then.size) return true;
  return !SameTimeOnSide(now.mtime_sec, now.mtime_nsec, then, clock);
}

// The whole number of hours d (seconds) lies from zero, within step; 0 if none.
int64_t WholeHours(int64_t d, int64_t step) {
  const int64_t hours = (d >= 0 ? d + kHour / 2 : d - kHour / 2) / kHour;
  if (hours == 0 || hours > kShiftMaxHours || hours < -kShiftMaxHours) return 0;
  return Within(d, hours * kHour, std::max<int64_t>(step, 1)) ? hours : 0;
}

// Paths of one side a guard covers: an entry there or below a folder there.
class Cover {
 public:
  void Add(std::string_view path, bool folder) { (folder ? folders_ : files_).emplace_back(path); }
  void Done() {
    std::sort(files_.begin(), files_.end());
    std::sort(folders_.begin(), folders_.end());
  }
  bool empty() const { return files_.empty() && folders_.empty(); }
  bool Covers(std::string_view path) const {
    if (std::binary_search(files_.begin(), files_.end(), path, Less())) return true;
    if (folders_.empty()) return false;
    // The path itself or each folder it lies in.
    for (size_t end = path.size();;) {
      const std::string_view prefix = path.substr(0, end);
      if (std::binary_search(folders_.begin(), folders_.end(), prefix, Less())) return true;
      const size_t slash = prefix.rfind('/');
      if (slash == std::string_view::npos) break;
      end = slash;
    }
    // The root itself.
    return std::binary_search(folders_.begin(), folders_.end(), std::string_view(), Less());
  }

 private:
  struct Less {
    bool operator()(const std::string& a, std::string_view b) const { return a < b; }
    bool operator()(std::string_view a, const std::string& b) const { return a < b; }
  };
  std::vector<std::string> files_;
  std::vector<std::string> folders_;
};

// Whether a path the list lacks is really gone from the disk: nothing there now (not a
// link, not a folder, not anything the scan leaves out), and every folder on its way a real
// folder (not a link, not a file). Folders are checked from the top down, each once.
class GoneCheck {
 public:
  GoneCheck(FileSystem& fs, const std::string& root) : fs_(fs), root_(AddBackslash(root)) {}

  bool Gone(std::string_view rel) {
    size_t start = 0;
    while (true) {
      const size_t slash = rel.find('/', start);
      if (slash == std::string_view::npos) break;
      const std::string_view folder = rel.substr(0, slash);
      const int state = FolderState(folder);
      if (state == kMissing) return true;  // the whole folder went
      if (state == kNotFolder) return false;
      start = slash + 1;
    }
    struct stat st {};
    const std::string full = JoinPath(root_, rel);
    if (fs_.StatAt(AT_FDCWD, full.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return false;
    return errno == ENOENT;
  }

 private:
  enum { kFolder, kMissing, kNotFolder };
  int FolderState(std::string_view folder) {
    auto found = cache_.find(std::string(folder));
    if (found != cache_.end()) return found->second;
    struct stat st {};
    const std::string full = JoinPath(root_, folder);
    int state;
    if (fs_.StatAt(AT_FDCWD, full.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
      state = S_ISDIR(st.st_mode) ? kFolder : kNotFolder;
    else
      state = errno == ENOENT ? kMissing : kNotFolder;  // cannot tell: never gone
    cache_.emplace(std::string(folder), state);
    return state;
  }
  FileSystem& fs_;
  std::string root_;
  std::unordered_map<std::string, int> cache_;
};

struct Side {
  const StateEntries* entries = nullptr;
  SideClock clock;
  Cover cover;  // holes, exclusions and withheld files: never deleted
  std::unique_ptr<GoneCheck> gone;
  std::string root;
  bool stable_inodes = false;
  int64_t files = 0;  // files the side shows now
};

// One row as the comparison sees it.
// Twelve bytes a row: lists hold hundreds of thousands.
struct RowInfo {
  uint32_t left_index = 0;  // the left state's entry number + 1; 0: none
  uint32_t right_index = 0;
  SideStatus left = SideStatus::kAbsent;
  SideStatus right = SideStatus::kAbsent;
  bool left_case = false;  // the left file's entry pairs with it only without regard to case
  bool right_case = false;
};

// The status of one side of row pos; entry is that side's state entry for the row.
SideStatus StatusOf(const FileStamp* now, bool now_link, const StateEntry* entry,
                    const SideClock& clock) {
  if (now) {
    if (!entry) return SideStatus::kNew;
    return Changed(*now, now_link, *entry, clock) ? SideStatus::kChanged : SideStatus::kUnchanged;
  }
  return entry ? SideStatus::kDeleted : SideStatus::kAbsent;
}

// The shift of a FAT side's times against its own state: most files whose size is as
// recorded but whose time is not lie the same whole number of hours off.
int64_t ShiftAgainstState(const ComparisonList& list, const StateEntries& entries, bool left,
                          int64_t step) {
  int pairs = 0;
  std::map<int64_t, int> by_hours;
  for (int i = 1; i <= list.RowCount(); ++i) {
    const std::string_view name = left ? list.LeftName(i) : list.RightName(i);
    const FileStamp* now = left ? list.LeftStamp(i) : list.RightStamp(i);
    if (name.empty() || !now) continue;
    const StateEntry* e = entries.Find(name);
    if (!e || e->size != now->size) continue;
    const int64_t d = now->mtime_sec - e->mtime_sec;
    if (Within(d, 0, std::max<int64_t>(step, 1))) continue;
    ++pairs;
    if (const int64_t hours = WholeHours(d, step)) ++by_hours[hours];
  }
  // A few files suffice against the state: its times were in line with these very files.
  if (pairs < std::min(kShiftMinPairs, 3)) return 0;
  for (const auto& [hours, count] : by_hours)
    if (int64_t{count} * 100 >= int64_t{pairs} * kShiftMinPercent) return hours * kHour;
  return 0;
}

std::string SideWord(bool left) { return left ? "linken" : "rechten"; }

std::string RefusalText(bool left, const std::string& root, int64_t missing, int64_t total,
                        int64_t limit, bool empty) {
  std::string text;
  if (empty) {
    text = "Der " + std::string(left ? "linke" : "rechte") + " Ordner '" + root +
           "' ist leer, obwohl der gemeinsame Stand " + std::to_string(total) + " Dateien kennt.";
  } else {
    text = "Im " + SideWord(left) + " Ordner '" + root + "' fehlen " + std::to_string(missing) +
           " von " + std::to_string(total) +
           " Dateien des gemeinsamen Stands (erlaubt: " + std::to_string(limit) + ").";
  }
  return text + kCr + "Der Abgleich wird abgelehnt; es wird nichts gelöscht.";
}

class TwoWay {
 public:
  TwoWay(Context& ctx, const PlainAgeMark& plain, const RunScope& scope)
      : ctx_(ctx), list_(ctx.list), session_(ctx.state.two_way), plain_(plain), scope_(scope) {}

  void Run() {
    SharedState& state = ctx_.state;
    const std::shared_ptr<PairStateAhead> ahead = std::move(session_.ahead);
    session_.Reset();
    session_.active = true;
    if (!ahead || !ahead->Take(state.left_root.str(), state.right_root.str(), &session_.state,
                               &session_.verdict))
      session_.verdict = LoadPairState(ctx_.LeftFs(), state.left_root.str(), ctx_.RightFs(),
                                       state.right_root.str(), &session_.state);
    session_.trusted = session_.verdict.trusted();
    if (!session_.trusted) {
      // Today's marks; the sync writes a new common state at its end.
      for (int i = 1; i <= list_.RowCount() && !scope_.Stopping(); ++i) {
        list_.SetMark(i, plain_(i));
        Progress(i);
      }
      return;
    }
    Prepare();
    const int n = list_.RowCount();
    rows_.resize(static_cast<size_t>(n) + 1);
    for (int i = 1; i <= n && !scope_.Stopping(); ++i) {
      FindEntries(i);
      Progress(i);
    }
    if (scope_.Stopping()) return;
    FindEntriesByKey();
    for (int i = 1; i <= n; ++i) Classify(i);
    FindMoves();
    GuardLostRoots();
    for (int i = 1; i <= n && !scope_.Stopping(); ++i) MarkRow(i);
    GoneOnBothSides();
    session_.SortWhy();
    if (!ctx_.state.compare_options.keep_state_for_sync) {
      session_.state.left.entries.Clear();
      session_.state.right.entries.Clear();
    }
  }

 private:
  void Progress(int i) {
    const int n = list_.RowCount();
    ctx_.host.SetProgress(static_cast<float>(static_cast<double>(i) * 100.0 / n));
    if (i % kYieldEvery == 0 && !ctx_.host.SpeedChecked()) ctx_.host.ProcessEvents();
  }

  void Prepare() {
    SharedState& state = ctx_.state;
    PairState& pair = session_.state;
    for (bool is_left : {true, false}) {
      Side& side = is_left ? left_ : right_;
      side.entries = is_left ? &pair.left.entries : &pair.right.entries;
      side.root = is_left ? state.left_root.str() : state.right_root.str();
      side.stable_inodes = is_left ? pair.left_stable_inodes : pair.right_stable_inodes;
      side.clock.step = is_left ? state.left_time_step : state.right_time_step;
      const bool fat = is_left ? state.left_local_time : state.right_local_time;
      if (fat && state.compare_options.hour_correction)
        side.clock.shift = ShiftAgainstState(list_, *side.entries, is_left, side.clock.step);
      for (const std::string& hole : is_left ? state.left_holes : state.right_holes)
        side.cover.Add(hole, true);
      const Exclusions& excluded = is_left ? state.left_exclusions : state.right_exclusions;
      for (const ExcludedEntry& e : excluded.excluded) side.cover.Add(e.path, e.folder);
      side.cover.Done();
      side.gone = std::make_unique<GoneCheck>(is_left ? ctx_.LeftFs() : ctx_.RightFs(), side.root);
      for (size_t k = 0; k < side.entries->size(); ++k) (*side.entries)[k].flags = 0;
    }
    // Left files kept out of the list because the rules excluded their right partner.
    for (const WithheldRow& row : state.withheld) left_.cover.Add(row.name, false);
    left_.cover.Done();
  }

  // Each side's entry for row i under the exact name (the side's own, or else the other's).
  void FindEntries(int i) {
    RowInfo& r = rows_[static_cast<size_t>(i)];
    const std::string_view ln = list_.LeftName(i);
    const std::string_view rn = list_.RightName(i);
    const StateEntry* left = left_.entries->FindNear(ln.empty() ? rn : ln, &left_hint_);
    const StateEntry* right = right_.entries->FindNear(rn.empty() ? ln : rn, &right_hint_);
    r.left_index = IndexOf(left_, left);
    r.right_index = IndexOf(right_, right);
    if (left) left->flags |= kEntryRow;
    if (right) right->flags |= kEntryRow;
    if (!left || !right) unmatched_.push_back(i);
  }

  // Rows still without an entry on a side look for one that pairs with their name without
  // regard to case among the entries no row took: a name whose case changed on one side, or
  // a pair whose names differ in case. Only those entries are hashed.
  void FindEntriesByKey() {
    if (unmatched_.empty()) return;
    for (bool is_left : {true, false}) {
      const StateEntries& entries = *(is_left ? left_ : right_).entries;
      std::unordered_multimap<uint64_t, const StateEntry*> free;
      for (size_t k = 0; k < entries.size(); ++k)
        if (!(entries[k].flags & kEntryRow))
          free.emplace(RelPath(entries.Path(k)).KeyHash(), &entries[k]);
      if (free.empty()) continue;
      for (int i : unmatched_) {
        RowInfo& r = rows_[static_cast<size_t>(i)];
        uint32_t& index = is_left ? r.left_index : r.right_index;
        if (index != 0) continue;
        const std::string_view own = is_left ? list_.LeftName(i) : list_.RightName(i);
        const RelPath name(own.empty() ? (is_left ? list_.RightName(i) : list_.LeftName(i)) : own);
        auto [from, to] = free.equal_range(name.KeyHash());
        for (auto it = from; it != to; ++it) {
          if ((it->second->flags & kEntryRow) || !name.SameKey(entries.PathOf(*it->second)))
            continue;
          index = IndexOf(is_left ? left_ : right_, it->second);
          it->second->flags |= kEntryRow;
          (is_left ? r.left_case : r.right_case) = !own.empty();
          break;
        }
      }
    }
  }

  void Classify(int i) {
    RowInfo& r = rows_[static_cast<size_t>(i)];
    const std::string_view ln = list_.LeftName(i);
    const std::string_view rn = list_.RightName(i);
    r.left = StatusOf(ln.empty() ? nullptr : list_.LeftStamp(i),
                      list_.LeftKind(i) == FileKind::kLink, LeftEntry(r), left_.clock);
    r.right = StatusOf(rn.empty() ? nullptr : list_.RightStamp(i),
                       list_.RightKind(i) == FileKind::kLink, RightEntry(r), right_.clock);
    if (!ln.empty()) ++left_.files;
    if (!rn.empty()) ++right_.files;
    // A file missing where a guard covers it, or still on the disk in a form the list
    // leaves out, was not deleted.
    if (r.left == SideStatus::kDeleted && Kept(left_, LeftEntry(r))) r.left = SideStatus::kAbsent;
    if (r.right == SideStatus::kDeleted && Kept(right_, RightEntry(r)))
      r.right = SideStatus::kAbsent;
    if (r.left == SideStatus::kDeleted) ++missing_left_;
    if (r.right == SideStatus::kDeleted) ++missing_right_;
  }

  // True when a guard keeps the entry of a file the list lacks.
  bool Kept(Side& side, const StateEntry* entry) {
    const std::string_view path = side.entries->PathOf(*entry);
    // Gone means gone from the disk with real folders all the way: a file read under the
    // other link policy, or below a folder now a link, is still there.
    if (side.cover.Covers(path) || !side.gone->Gone(path)) {
      entry->flags |= kEntryKept;
      ++session_.kept;
      return true;
    }
    return false;
  }

  // A move on the side "from": a file deleted there (its partner unchanged on the other
  // side) and a file new there (with no partner) of the same size and time, each the only
  // one of its kind, never empty, and proved the same file: the same inode as the state's
  // entry where inodes are stable, else the same bytes as the partner of the deleted one.
  void FindMoves() {
    for (bool on_left : {true, false}) {
      const SideClock& clock = (on_left ? left_ : right_).clock;
      // By size: the rows whose file went, and those whose file is new, on this side.
      std::map<int64_t, std::vector<int>> gone, made;
      for (int i = 1; i < static_cast<int>(rows_.size()); ++i) {
        const RowInfo& r = rows_[static_cast<size_t>(i)];
        const SideStatus mine = on_left ? r.left : r.right;
        const SideStatus other = on_left ? r.right : r.left;
        if (mine == SideStatus::kDeleted && other == SideStatus::kUnchanged) {
          const StateEntry& e = *(on_left ? LeftEntry(r) : RightEntry(r));
          if (e.size > 0) gone[e.size].push_back(i);
        } else if (mine == SideStatus::kNew && other == SideStatus::kAbsent &&
                   !(on_left ? RightEntry(r) : LeftEntry(r))) {
          const FileStamp& s = *(on_left ? list_.LeftStamp(i) : list_.RightStamp(i));
          if (s.size > 0) made[s.size].push_back(i);
        }
      }
      auto fits = [&](int a, int b) {
        const StateEntry& e = *(on_left ? LeftEntry(rows_[static_cast<size_t>(a)])
                                        : RightEntry(rows_[static_cast<size_t>(a)]));
        const FileStamp& s = *(on_left ? list_.LeftStamp(b) : list_.RightStamp(b));
        return SameTimeOnSide(s.mtime_sec, s.mtime_nsec, e, clock);
      };
      for (const auto& [size, as] : gone) {
        auto found = made.find(size);
        if (found == made.end()) continue;
        const std::vector<int>& bs = found->second;
        // Each a with exactly one b of its time, which fits no other a.
        for (int a : as) {
          int match = 0, count = 0;
          for (int b : bs)
            if (fits(a, b)) {
              match = b;
              ++count;
            }
          if (count != 1) continue;
          int rivals = 0;
          for (int other : as) rivals += fits(other, match);
          if (rivals == 1) TryMove(on_left, a, match);
        }
      }
    }
  }

  void TryMove(bool on_left, int a, int b) {
    Side& side = on_left ? left_ : right_;
    RowInfo& ra = rows_[static_cast<size_t>(a)];
    const StateEntry& old = *(on_left ? LeftEntry(ra) : RightEntry(ra));
    const std::string_view b_name = on_left ? list_.LeftName(b) : list_.RightName(b);
    const std::string_view a_other = on_left ? list_.RightName(a) : list_.LeftName(a);
    bool proved = false;
    const std::string b_path = JoinPath(side.root, b_name);
    FileSystem& side_fs = on_left ? ctx_.LeftFs() : ctx_.RightFs();
    FileSystem& other_fs = on_left ? ctx_.RightFs() : ctx_.LeftFs();
    if (side.stable_inodes && old.ino != 0) {
      struct stat st {};
      proved = side_fs.StatAt(AT_FDCWD, b_path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               static_cast<uint64_t>(st.st_ino) == old.ino;
    }
    if (!proved) {
      const Side& other = on_left ? right_ : left_;
      const std::string a_path = JoinPath(other.root, a_other);
      PairReader reader(side_fs, other_fs);
      const PairResult result = ComparePair(b_path, a_path, reader);
      proved = result.kind == PairResult::kEqual;
    }
    if (!proved) return;
    MovePair move;
    move.side = on_left ? 'R' : 'L';
    move.from = std::string(a_other);
    move.to = std::string(b_name);
    move.from_stamp = *(on_left ? list_.RightStamp(a) : list_.LeftStamp(a));
    const StateEntry* from_entry = on_left ? RightEntry(ra) : LeftEntry(ra);
    move.from_ino = from_entry ? from_entry->ino : 0;
    session_.moves.push_back(std::move(move));
    moved_rows_.emplace(a, true);
    moved_rows_.emplace(b, true);
    ++session_.moved;
    // A move is no deletion for the lost-root guard.
    --(on_left ? missing_left_ : missing_right_);
  }

  void GuardLostRoots() {
    SharedState& state = ctx_.state;
    for (bool is_left : {true, false}) {
      const Side& side = is_left ? left_ : right_;
      const int64_t total = static_cast<int64_t>(side.entries->size());
      const int64_t missing = is_left ? missing_left_ : missing_right_;
      const bool empty = side.files == 0 && total > 0;
      const int64_t limit = MissingLimit(state.compare_options.max_delete, total);
      if (!empty && missing <= limit) continue;
      if (missing == 0 && !empty) continue;
      (is_left ? lost_left_ : lost_right_) = true;
      if (session_.refusal.side == 0) {
        session_.refusal.side = is_left ? 'L' : 'R';
        session_.refusal.missing = empty ? total : missing;
        session_.refusal.limit = limit;
        session_.refusal.message = RefusalText(is_left, side.root, missing, total, limit, empty);
      }
    }
    // A lost root's moves are not believed either.
    if (lost_left_ || lost_right_) {
      std::vector<MovePair> kept;
      for (MovePair& move : session_.moves) {
        const bool moved_on_left = move.side == 'R';
        if ((moved_on_left && lost_left_) || (!moved_on_left && lost_right_)) {
          --session_.moved;
          continue;
        }
        kept.push_back(std::move(move));
      }
      session_.moves = std::move(kept);
      if (session_.moves.empty()) moved_rows_.clear();
    }
  }

  static uint32_t IndexOf(const Side& side, const StateEntry* e) {
    return e ? static_cast<uint32_t>(e - &(*side.entries)[0]) + 1 : 0;
  }
  const StateEntry* LeftEntry(const RowInfo& r) const {
    return r.left_index ? &(*left_.entries)[r.left_index - 1] : nullptr;
  }
  const StateEntry* RightEntry(const RowInfo& r) const {
    return r.right_index ? &(*right_.entries)[r.right_index - 1] : nullptr;
  }

  bool Moved(int i) const { return moved_rows_.count(i) != 0; }

  void Set(int i, Mark mark, TwoWayWhy why) {
    list_.SetMark(i, mark);
    if (why != TwoWayWhy::kNone) session_.SetWhy(list_.LeftName(i), list_.RightName(i), why);
  }

  static TwoWayWhy Reason(SideStatus s) {
    return s == SideStatus::kNew ? TwoWayWhy::kNew : TwoWayWhy::kChanged;
  }

  void MarkRow(int i) {
    const RowInfo& r = rows_[static_cast<size_t>(i)];
    SideStatus left = r.left;
    SideStatus right = r.right;
    // A lost root's missing files are orphans, as without a state.
    if ((left == SideStatus::kDeleted && lost_left_) ||
        (right == SideStatus::kDeleted && lost_right_)) {
      if (LeftEntry(r) && left == SideStatus::kDeleted) LeftEntry(r)->flags |= kEntryKept;
      if (RightEntry(r) && right == SideStatus::kDeleted) RightEntry(r)->flags |= kEntryKept;
      ++session_.orphaned;
      list_.SetMark(i, plain_(i));
      return;
    }
    if (Moved(i)) {
      const bool has_left = !list_.LeftName(i).empty();
      const bool has_right = !list_.RightName(i).empty();
      // b (new, alone) gets the arrow towards its missing partner, a the deletion.
      if (has_left && !has_right)
        Set(i, left == SideStatus::kNew ? Mark::kCopyRight : Mark::kDeleteLeft, TwoWayWhy::kMoved);
      else
        Set(i, right == SideStatus::kNew ? Mark::kCopyLeft : Mark::kDeleteRight, TwoWayWhy::kMoved);
      return;
    }
    using S = SideStatus;
    const bool left_moved = left == S::kNew || left == S::kChanged;
    const bool right_moved = right == S::kNew || right == S::kChanged;
    if (left == S::kUnchanged && right == S::kUnchanged) {
      // In line with the state. A name changed in its letter case only on one side is
      // carried over as a rename.
      if (r.left_case != r.right_case) {
        CaseRename(i, r.left_case);
        return;
      }
      Set(i, Mark::kEqual, TwoWayWhy::kNone);
      return;
    }
    if (left_moved && right_moved) {
      Conflict(i, left, right);
      return;
    }
    if (left_moved) {  // right unchanged, deleted or absent: the left one wins
      Set(i, Mark::kCopyRight, Reason(left));
      return;
    }
    if (right_moved) {
      Set(i, Mark::kCopyLeft, Reason(right));
      return;
    }
    if (left == S::kDeleted && right == S::kUnchanged) {
      ++session_.deleted_left;
      Set(i, Mark::kDeleteRight, TwoWayWhy::kDeleted);
      return;
    }
    if (right == S::kDeleted && left == S::kUnchanged) {
      ++session_.deleted_right;
      Set(i, Mark::kDeleteLeft, TwoWayWhy::kDeleted);
      return;
    }
    // Anything else (a side the state does not know while the other is in line, a file kept
    // by a guard): today's mark.
    list_.SetMark(i, plain_(i));
  }

  void CaseRename(int i, bool left_renamed) {
    MovePair move;
    move.side = left_renamed ? 'R' : 'L';
    move.from = std::string(left_renamed ? list_.RightName(i) : list_.LeftName(i));
    move.to = std::string(left_renamed ? list_.LeftName(i) : list_.RightName(i));
    move.from_stamp = *(left_renamed ? list_.RightStamp(i) : list_.LeftStamp(i));
    const StateEntry* e = left_renamed ? RightEntry(rows_[static_cast<size_t>(i)])
                                       : LeftEntry(rows_[static_cast<size_t>(i)]);
    move.from_ino = e ? e->ino : 0;
    move.case_only = true;
    session_.moves.push_back(std::move(move));
    ++session_.moved;
    Set(i, left_renamed ? Mark::kCopyRight : Mark::kCopyLeft, TwoWayWhy::kMoved);
  }

  // Changed on both sides: the same bytes make it no conflict; otherwise "][", which no sync
  // overwrites without the user's hand.
  void Conflict(int i, SideStatus left, SideStatus right) {
    const std::string l = JoinPath(ctx_.state.left_root, list_.LeftName(i));
    const std::string r = JoinPath(ctx_.state.right_root, list_.RightName(i));
    PairReader reader(ctx_.LeftFs(), ctx_.RightFs());
    const PairResult result = ComparePair(l, r, reader);
    if (result.kind == PairResult::kEqual) {
      const Mark mark = plain_(i);
      Set(i, mark,
          mark == Mark::kEqual ? TwoWayWhy::kAlike
                               : Reason(left == SideStatus::kNew ? right : left));
      return;
    }
    ++session_.changed_both;
    Set(i, Mark::kSkip, TwoWayWhy::kConflict);
  }

  // Entries no row stands for: gone from both sides (unless a guard keeps them).
  void GoneOnBothSides() {
    for (bool is_left : {true, false}) {
      Side& side = is_left ? left_ : right_;
      const StateEntries& entries = *side.entries;
      for (size_t k = 0; k < entries.size(); ++k) {
        const StateEntry& e = entries[k];
        if (e.flags & (kEntryRow | kEntryKept)) continue;
        if (Kept(side, &e)) continue;
        e.flags |= kEntryGoneBoth;
        session_.deleted_both.emplace_back(entries.PathOf(e));
      }
    }
  }

  Context& ctx_;
  ComparisonList& list_;
  TwoWaySession& session_;
  const PlainAgeMark& plain_;
  const RunScope& scope_;
  Side left_;
  Side right_;
  std::vector<RowInfo> rows_;
  std::vector<int> unmatched_;
  size_t left_hint_ = 0;
  size_t right_hint_ = 0;
  std::unordered_map<int, bool> moved_rows_;
  int64_t missing_left_ = 0;
  int64_t missing_right_ = 0;
  bool lost_left_ = false;
  bool lost_right_ = false;
};

}  // namespace

void CompareTwoWay(Context& ctx, const PlainAgeMark& plain, const RunScope& scope) {
  TwoWay(ctx, plain, scope).Run();
}

int64_t MissingLimit(const DeleteLimit& limit, int64_t total) {
  if (limit.value < 0) return std::max(total / 2, kLostMinFiles - 1);
  if (limit.percent) return total * limit.value / 100;
  return limit.value;
}

}  // namespace tavrik
