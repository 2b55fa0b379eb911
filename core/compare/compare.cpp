#include "core/compare/compare.h"

#include <algorithm>
#include <memory>
#include <string_view>

#include "core/compare/content_compare.h"
#include "core/compare/hour_shift.h"
#include "core/compare/two_way.h"
#include "core/fs/paths.h"
#include "core/fs/time_resolution.h"
#include "core/list/status.h"
#include "core/list/two_way_text.h"
#include "core/parallel/cpu_count.h"
#include "core/parallel/far_helpers.h"
#include "core/parallel/run_scope.h"

namespace tavrik {

namespace {

constexpr int kYieldEvery = 8;

struct Counters {
  int orphans = 0;
  int different_length = 0;
  int same_size_different = 0;
  int identical = 0;
  int different_age = 0;
  int same_age = 0;
};

// Compares the modification times of columns 5 and 6 in whole seconds, at the coarser time
// step of the two roots' file systems; an empty column sorts first.
int CompareDateKeys(const FileStamp* left, const FileStamp* right, int64_t step) {
  if (!left || !right) return (left ? 1 : 0) - (right ? 1 : 0);
  return CompareAtStep(DateKey(*left), DateKey(*right), step);
}

Mark AgeMark(const ComparisonList& list, int pos, int64_t step, const HourShift& shift, Counters& c,
             RunNotes& notes) {
  const FileStamp* left = list.LeftStamp(pos);
  const FileStamp* right = list.RightStamp(pos);
  const ShiftedOrder shifted =
      left && right ? OrderUnderShift(*left, *right, shift, step) : ShiftedOrder::kAsIs;
  const bool mixed = list.LeftKind(pos) != list.RightKind(pos);
  if (shifted == ShiftedOrder::kEqual && !mixed) {
    ++c.same_age;
    return Mark::kEqual;
  }
  if (shifted == ShiftedOrder::kUndecided) {
    // "?" claims no order, and the sync leaves the row alone until the user sets a mark.
    ++c.different_age;
    ++notes.undecided;
    return Mark::kOrphan;
  }
  const int order = shifted == ShiftedOrder::kEqual
                        ? 0
                        : CompareDateKeys(list.LeftStamp(pos), list.RightStamp(pos), step);
  // A link and a file of one date are not the same entry: "?" leaves the row to the user.
  if (order == 0 && mixed) {
    ++c.different_age;
    return Mark::kOrphan;
  }
  if (order == 0) {
    ++c.same_age;
    return Mark::kEqual;
  }
  ++c.different_age;
  return order < 0 ? Mark::kCopyLeft : Mark::kCopyRight;
}

std::string FailureText(const PairResult& r) {
  return "Die Datei '" + r.failed_path + "'" + kCr + "konnte nicht verglichen werden:" + kCr +
         r.error_text + " (" + std::to_string(r.error_number) + ")" + kCr + kCr +
         "Die Zeile erhält die Markierung '?'.";
}

// True when the pair failed because the connection to a far folder broke.
bool LostConnection(const Context& ctx, const PairResult& r) {
  for (const FileSystem* fs : {&ctx.LeftFs(), &ctx.RightFs()}) {
    const std::string lost = fs->LostConnectionText();
    if (!lost.empty() && r.error_text == lost) return true;
  }
  return false;
}

// lost_told: a broken connection was told already; every pair after it fails the same way
// and is marked without a box of its own.
Mark BinaryMark(Context& ctx, const PairResult& r, Counters& c, bool* lost_told) {
  switch (r.kind) {
    case PairResult::kLess:
      ++c.different_length;
      return Mark::kLess;
    case PairResult::kGreater:
      ++c.different_length;
      return Mark::kGreater;
    case PairResult::kDiffer:
      ++c.same_size_different;
      return Mark::kDiffer;
    case PairResult::kEqual:
      ++c.identical;
      return Mark::kEqual;
    case PairResult::kFailed:
      break;
  }
  // A pair that could not be read to the end is never called equal. "?" claims no
  // relation between the two contents, and the sync run leaves the row alone.
  const bool lost = LostConnection(ctx, r);
  if (!lost || !*lost_told)
    Warn(ctx.host, FailureText(r),
         FsError{r.error_number, r.failed_path, lost ? r.error_text : std::string()});
  *lost_told = *lost_told || lost;
  ++c.orphans;
  return Mark::kOrphan;
}

std::string ResultText(bool binary, int n, const Counters& c) {
  std::string text = std::string("Ergebnis des ") +
                     (binary ? "Binärvergleichs" : "Versionsvergleichs") + " von " +
                     std::to_string(n) + " Dateien:" + kCr + kCr;
  auto line = [&text](int count, const char* what) {
    if (count != 0) text += std::to_string(count) + what + kCr;
  };
  if ((binary ? c.identical : c.same_age) == n) {
    text += "Beide Verzeichnisse sind vollkommen identisch!";
    text += kCr;
    return text;
  }
  line(c.orphans, " Dateien sind verwaist.");
  if (binary) {
    line(c.different_length, " Dateien haben eine unterschiedliche Länge.");
    line(c.same_size_different, " Dateien sind zwar gleich groß, aber nicht identisch.");
    line(c.identical, " Dateien sind absolut identisch.");
  } else {
    line(c.different_age, " Dateien haben ein unterschiedliches Alter.");
    line(c.same_age, " Dateien haben ein gleiches Alter.");
  }
  return text;
}

bool HasBoth(const ComparisonList& list, int pos) {
  return !list.LeftName(pos).empty() && !list.RightName(pos).empty();
}

// Hands the pairs of rows from *next_row on to the readers while there is room.
void FeedPipeline(Context& ctx, PairPipeline& pipeline, int n, int* next_row) {
  while (*next_row <= n && pipeline.HasRoom()) {
    int pos = (*next_row)++;
    if (!HasBoth(ctx.list, pos)) continue;
    pipeline.Add({JoinPath(ctx.state.left_root, ctx.list.LeftName(pos)),
                  JoinPath(ctx.state.right_root, ctx.list.RightName(pos)),
                  ctx.list.LeftKind(pos) == FileKind::kLink,
                  ctx.list.RightKind(pos) == FileKind::kLink});
  }
}

// The far sides' first answers for the pairs, asked for ahead of the pairs' turns and many
// to a request, so that a far pair does not wait a round trip at its turn.
class FarDigestsAhead {
 public:
  explicit FarDigestsAhead(Context& ctx) : ctx_(ctx) {}
  ~FarDigestsAhead() {
    for (FileSystem* fs : {&ctx_.LeftFs(), &ctx_.RightFs()})
      if (fs->IsFar()) fs->DropDigestsAhead();
  }
  FarDigestsAhead(const FarDigestsAhead&) = delete;
  FarDigestsAhead& operator=(const FarDigestsAhead&) = delete;

  // Keeps the pairs of about kRows rows after row asked for.
  void From(int row) {
    const int n = ctx_.list.RowCount();
    if (next_ > n || next_ - row >= kRows / 2) return;
    while (next_ <= n && next_ - row < kRows) AskBatch(std::min(n, next_ + kBatch - 1));
  }

 private:
  static constexpr int kRows = 2048;
  static constexpr int kBatch = 64;

  void AskBatch(int last) {
    const ComparisonList& list = ctx_.list;
    FileSystem& lfs = ctx_.LeftFs();
    FileSystem& rfs = ctx_.RightFs();
    std::vector<DigestWant> left, right;
    for (; next_ <= last; ++next_) {
      const int pos = next_;
      if (!HasBoth(list, pos) || list.LeftKind(pos) == FileKind::kLink ||
          list.RightKind(pos) == FileKind::kLink)
        continue;
      const FileStamp* ls = list.LeftStamp(pos);
      const FileStamp* rs = list.RightStamp(pos);
      if (lfs.IsFar())
        left.push_back(FarPairWant(JoinPath(ctx_.state.left_root, list.LeftName(pos)), rfs,
                                   rs ? rs->size : 0));
      if (rfs.IsFar())
        right.push_back(FarPairWant(JoinPath(ctx_.state.right_root, list.RightName(pos)), lfs,
                                    ls ? ls->size : 0));
    }
    if (!left.empty()) lfs.DigestAhead(std::move(left));
    if (!right.empty()) rfs.DigestAhead(std::move(right));
  }

  Context& ctx_;
  int next_ = 1;
};

void CompareRows(Context& ctx, bool binary, Counters& c, const RunScope& scope) {
  ComparisonList& list = ctx.list;
  const int n = list.RowCount();
  // Made before the pipeline and so dropped after it: its readers take from it.
  std::unique_ptr<FarDigestsAhead> digests_ahead;
  std::unique_ptr<PairPipeline> pipeline;
  if (binary) {
    // One helper per further core; the row loop's own thread compares too while it waits.
    const int cores = UsableCpuCount();
    int helpers = ctx.state.io.compare_helpers;
    if (helpers < 0) helpers = std::clamp(cores - 1, 0, 3);
    int max_helpers = ctx.state.io.compare_max_helpers;
    // Not where a number of helpers was set: the pairs then go one by one, as asked.
    if (ctx.state.io.compare_helpers < 0 && (ctx.LeftFs().IsFar() || ctx.RightFs().IsFar())) {
      // The far answers are asked for ahead, so a pair mostly waits for the near disk: a few
      // helpers at first, and many where the pairs still wait for the link (a far end that
      // answers file by file).
      digests_ahead = std::make_unique<FarDigestsAhead>(ctx);
      helpers = std::max(helpers, kFarFirstPairHelpers);
      max_helpers = std::max(max_helpers, kFarHelpers);
    }
    pipeline = MakePairPipeline(ctx.LeftFs(), ctx.RightFs(), helpers, ctx.state.io.compare_window,
                                max_helpers, scope);
  }
  int next_row = 1;
  bool lost_told = false;
  SharedState& state = ctx.state;
  const int64_t step = std::max(state.left_time_step, state.right_time_step);
  RunNotes& notes = state.notes;
  notes.shifted_side = notes.shift_hours = notes.undecided = 0;
  HourShift shift;
  if (!binary && state.compare_options.hour_correction)
    shift = DetectHourShift(list, state.left_local_time, state.right_local_time, step);
  if (shift.found()) {
    notes.shifted_side = state.right_local_time ? 2 : 1;
    const int64_t hours = shift.seconds / 3600;
    notes.shift_hours = static_cast<int>(state.right_local_time ? hours : -hours);
  }
  if (!binary && state.compare_options.two_way) {
    Counters plain_counts;
    CompareTwoWay(
        ctx,
        [&](int pos) {
          if (list.LeftName(pos).empty()) return Mark::kOrphanCopyLeft;
          if (list.RightName(pos).empty()) return Mark::kOrphanCopyRight;
          return AgeMark(list, pos, step, shift, plain_counts, notes);
        },
        scope);
    // Counted as the plain comparison counts: "=" in line, a row with one file an orphan,
    // every other mark a different age.
    for (int i = 1; i <= n; ++i) {
      const Mark mark = list.GetMark(i);
      if (mark == Mark::kEqual) {
        ++c.same_age;
      } else if (list.LeftName(i).empty() || list.RightName(i).empty()) {
        ++c.orphans;
      } else {
        ++c.different_age;
      }
    }
    return;
  }
  for (int i = 1; i <= n; ++i) {
    // The program is ending: the marks of the rows still to come do not matter any more.
    if (scope.Stopping()) break;
    Mark mark;
    bool has_left = !list.LeftName(i).empty();
    bool has_right = !list.RightName(i).empty();
    if (!has_left) {
      ++c.orphans;
      mark = binary ? Mark::kOrphan : Mark::kOrphanCopyLeft;
    } else if (has_right) {
      if (binary) {
        if (digests_ahead) digests_ahead->From(next_row);
        FeedPipeline(ctx, *pipeline, n, &next_row);
        mark = BinaryMark(ctx, pipeline->Take(), c, &lost_told);
      } else {
        mark = AgeMark(list, i, step, shift, c, notes);
      }
    } else {
      ++c.orphans;
      mark = binary ? Mark::kOrphan : Mark::kOrphanCopyRight;
    }
    list.SetMark(i, mark);
    ctx.host.SetProgress(static_cast<float>(static_cast<double>(i) * 100.0 / n));
    if (i % kYieldEvery == 0 && !ctx.host.SpeedChecked()) ctx.host.ProcessEvents();
  }
}

}  // namespace

void CompareFolders(Context& ctx, bool binary) {
  if (ctx.state.busy || ctx.state.stop.Requested()) return;
  BusyGuard busy(ctx);
  // A session of an earlier two-way comparison must not steer a sync after this one.
  ctx.state.two_way.Reset();
  if (binary || !ctx.state.compare_options.two_way) ctx.state.two_way.ahead.reset();
  Host& host = ctx.host;
  // A column listed in part would mark every file it lacks as new on the other side.
  const std::string refusal = BrokenOffRefusal(ctx.state, "Der Vergleich wird nicht ausgeführt:");
  if (!refusal.empty()) {
    ctx.state.two_way.ahead.reset();
    Refuse(host, refusal);
    return;
  }
  // Rows are addressed by position while marks are written: keep them in place even
  // when the list is sorted by the mark column, and re-sort once at the end.
  OrderHold hold(ctx.list);
  RunScope scope(ctx.state.stop);
  EnableCompareButton(host, false);
  const std::string mode_word = binary ? "Binär" : "Alters";
  SetStatus(host, 2, mode_word + "vergleich läuft ...");
  const int n = ctx.list.RowCount();
  Counters counters;
  CompareRows(ctx, binary, counters, scope);
  const SharedState& state = ctx.state;
  bool report = !(state.batch_active && (state.batch.sync || state.batch.end)) && !scope.Stopping();
  if (report) {
    SetStatus(host, 2, mode_word + "vergleich fertig!");
    // A two-way comparison adds its own lines after the usual ones.
    Inform(host, ResultText(binary, n, counters) + TwoWaySummary(state.two_way));
  }
  host.SetProgress(0);
  EnableCompareButton(host, true);
}

}  // namespace tavrik
