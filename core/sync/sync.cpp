#include "core/sync/sync.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/fs/error_text.h"
#include "core/fs/paths.h"
#include "core/fs/time_resolution.h"
#include "core/list/status.h"
#include "core/parallel/cpu_count.h"
#include "core/parallel/far_helpers.h"
#include "core/parallel/run_scope.h"
#include "core/state/pair_lock.h"
#include "core/sync/copy_ahead.h"
#include "core/sync/file_ops.h"
#include "core/sync/root_overlap.h"
#include "core/sync/space_budget.h"
#include "core/sync/sync_plan.h"
#include "core/sync/two_way_sync.h"
#include "core/sync/versions.h"

namespace tavrik {

namespace {

std::string CopyDetail(const std::string& from, const std::string& to) {
  return "Die Datei '" + from + "'" + kCr + "konnte nicht nach '" + to + "'" + kCr +
         "kopiert werden.";
}

std::string DeleteDetail(const std::string& path) {
  return "Die Datei '" + path + "'" + kCr + "konnte nicht gelöscht werden.";
}

// Where a mark needs a file that its row does not have.
constexpr const char* kWhyNoLeftFile = "Die Zeile hat links keine Datei.";
constexpr const char* kWhyNoRightFile = "Die Zeile hat rechts keine Datei.";

// While the row loop waits for a copy on a helper, the window handles its messages this
// often, also with "Schneller ausführen": that saves the yields between rows, it must not
// freeze the window for the length of one large file.
constexpr std::chrono::milliseconds kWaitTick{50};
// The most copies put in place into a far folder with one request.
constexpr size_t kPlaceTogether = 64;
// How many rows further down such a request may reach for them.
constexpr int kPlaceReach = 4096;

enum class RowEnd { kRemove, kKeep, kAbort };

// The far folders of a run whose connection broke: a Retry renews the connection and does
// the row again from its start; an Ignore gives the folder up for the rest of the run, whose
// rows on it then stay without a box of their own and are told in one line at the end.
class FarLosses {
 public:
  // The file system of a root whose connection broke, or nullptr.
  static FileSystem* Lost(const Context& ctx) {
    for (FileSystem* fs : {&ctx.LeftFs(), &ctx.RightFs()})
      if (!fs->LostConnectionText().empty()) return fs;
    return nullptr;
  }
  bool GivenUp(const FileSystem& fs) const {
    return std::find(given_up_.begin(), given_up_.end(), &fs) != given_up_.end();
  }
  void GiveUp(const FileSystem& fs) { given_up_.push_back(&fs); }
  // How often a connection was made anew in this run: copies prepared before that were
  // prepared over the broken one.
  int Renewals() const { return renewals_; }
  void Renewed(FileSystem& fs) {
    ++renewals_;
    if (on_renewed) on_renewed(fs);
  }
  // What the run holds open on a file system must be opened again after a renewal.
  std::function<void(FileSystem&)> on_renewed;

 private:
  std::vector<const FileSystem*> given_up_;
  int renewals_ = 0;
};

// A call that failed because the connection to a far folder broke says so, naming the host.
FsError ExplainLostConnection(const FileSystem* lost, FsError error) {
  if (!error.why.empty() || !lost) return error;
  error.why = lost->LostConnectionText();
  return error;
}

// The one Abort/Retry/Ignore loop, around any file operation: runs op until it succeeds,
// the user skips the failure (the row stays), or aborts the run. A stop of the run is an
// Abort: one that broke the operation off shows no box, one that came while the box waited
// overrides the answer.
// settle, when given, takes failures that are told once for the whole run instead: the
// row stays without a box.
RowEnd RunWithRetry(const Context& ctx, const RunScope& scope, const std::function<FsResult()>& op,
                    const std::string& detail, std::optional<FsError>* last_failure,
                    const std::function<bool(const FsError&)>& settle = nullptr,
                    FarLosses* losses = nullptr) {
  for (;;) {
    FsResult done = op();
    if (done.ok()) return RowEnd::kRemove;
    FileSystem* lost = FarLosses::Lost(ctx);
    const FsError error = ExplainLostConnection(lost, done.error());
    *last_failure = error;
    if (scope.Stopping()) return RowEnd::kAbort;
    if (settle && settle(error)) return RowEnd::kKeep;
    // The reason on a line of its own, so Retry is not a guess.
    const std::string text = std::string("Abgleichsfehler:") + kCr + kCr + detail + kCr +
                             ReasonText(error) + kCr + kCr + "Bitte quittieren oder abbrechen";
    const MsgAnswer answer = AskAfterFailure(ctx.host, text, error);
    if (answer == MsgAnswer::kAbort || scope.Stopping()) return RowEnd::kAbort;
    if (answer != MsgAnswer::kRetry) {
      if (lost && losses) {
        losses->GiveUp(*lost);
        // Both folders far and both given up: the line names both hosts.
        std::string& told = ctx.state.notes.lost_text;
        if (told.find(error.why) == std::string::npos)
          told += (told.empty() ? "" : " ") + error.why;
      }
      return RowEnd::kKeep;
    }
    // Whatever the row held of the broken connection is void: it starts over on a new one.
    // A connection that cannot be made again fails the next attempt as before.
    if (lost && lost->Reconnect([&scope] { return scope.Stopping(); }) == 0 && losses)
      losses->Renewed(*lost);
  }
}

// Tells the host how one copy or deletion ended.
RowEnd Report(Host& host, SyncAction action, RowEnd end, std::optional<FsError> failure) {
  action.outcome = end == RowEnd::kRemove ? SyncAction::kDone
                   : end == RowEnd::kKeep ? SyncAction::kSkipped
                                          : SyncAction::kAborted;
  if (end != RowEnd::kRemove) action.failure = std::move(failure);
  host.ActionDone(action);
  return end;
}

constexpr int kLeft = 0;
constexpr int kRight = 1;

int64_t SizeOf(const SyncSide& side) { return side.seen ? side.seen->size : 0; }

// Which roots received copies, so that exactly those are flushed at the end.
struct RootsWritten {
  bool left = false;
  bool right = false;
};

// Folders made for a copy, on record so an undo can take them away again; each leaves made
// once it is on record, so a Retry after a failure records the rest.
FsResult NoteFolders(VersionFolder* keep, std::vector<std::string>* made) {
  while (keep && !made->empty()) {
    FsResult noted = keep->Note({EntryKind::kFolderMade, made->front(), {}, {}, {}});
    if (!noted.ok()) return noted;
    made->erase(made->begin());
  }
  made->clear();
  return {};
}

// A flush that fails means copies reported as done may not be on the disk: say so.
void Flush(Context& ctx, FileSystem& fs, const std::string& root) {
  FsResult flushed = FlushFileSystem(fs, root);
  if (flushed.ok()) return;
  const FsError error =
      ExplainLostConnection(fs.LostConnectionText().empty() ? nullptr : &fs, flushed.error());
  Warn(ctx.host,
       "Die kopierten Dateien konnten nicht vollständig auf den Datenträger von '" + root +
           "' geschrieben werden:" + kCr + ReasonText(error),
       error);
}

std::string OverlapText(const std::string& left, const std::string& right) {
  return std::string("Der Datenabgleich wird nicht ausgeführt:") + kCr + "Die Verzeichnisse '" +
         left + "'" + kCr + "und '" + right + "'" + kCr +
         "sind dasselbe Verzeichnis, oder das eine liegt im anderen.";
}

// One synchronisation run: the row walk with its copies prepared ahead, the room they may
// take, and what it wrote. Its clean-ups run with the run's scope, however the run ends.
class SyncWalk {
 public:
  // ledger: the two-way run's notes for the state it saves at its end; nullptr otherwise.
  SyncWalk(Context& ctx, RunScope& scope, StateLedger* ledger)
      : ctx_(ctx),
        scope_(scope),
        ledger_(ledger),
        // What the trash or the versions keep stays on its medium.
        budget_(ctx.LeftFs(), ctx.RightFs(),
                ctx.state.sync_options.trash || ctx.state.sync_options.versions) {
    const IoTuning& io = ctx.state.io;
    const std::string& left_root = ctx.state.left_root.str();
    const std::string& right_root = ctx.state.right_root.str();
    int helpers = io.copy_helpers >= 0 ? io.copy_helpers : (UsableCpuCount() > 1 ? 1 : 0);
    int max_helpers = io.copy_max_helpers;
    if (io.copy_helpers < 0 && (ctx.LeftFs().IsFar() || ctx.RightFs().IsFar())) {
      // A copy to or from a far folder mostly waits for the link: many at once hide its delay.
      helpers = std::max(helpers, kFarCopyHelpers);
      max_helpers = std::max(max_helpers, kFarCopyHelpers);
    }
    const bool serial =
        SerialWritesOnly(ctx.LeftFs(), left_root) || SerialWritesOnly(ctx.RightFs(), right_root);
    if (io.copy_window > 0 && !serial)
      ahead_ = MakeCopyPipeline(helpers, max_helpers, io.copy_window, io.copy_window_bytes,
                                sweeper_, scope);
    const SyncOptions& options = ctx.state.sync_options;
    if (ledger_) moves_ = std::make_unique<MovePlan>(ctx.list, ctx.state.two_way);
    ctx.state.notes.pruned.clear();
    ctx.state.notes.refused_links = 0;
    ctx.state.notes.refused_link_names.clear();
    ctx.state.notes.lost_rows = 0;
    ctx.state.notes.lost_text.clear();
    if (options.versions)
      versions_ = std::make_unique<RunVersions>(ctx.LeftFs(), left_root, ctx.state.left_root_id,
                                                ctx.RightFs(), right_root, ctx.state.right_root_id,
                                                options.keep_versions);
    losses_.on_renewed = [this](FileSystem& fs) { ReopenVersions(fs); };
    // Newest first: the helpers stop and every copy prepared and not committed goes, the
    // records of the versions are closed, then what was written is flushed.
    scope.AtEnd([this] { FlushWritten(); });
    scope.AtEnd([this] { CloseVersions(); });
    scope.AtEnd([this] {
      turn_.reset();
      ahead_.reset();
      held_.clear();
    });
  }
  ~SyncWalk() { scope_.End(); }
  SyncWalk(const SyncWalk&) = delete;
  SyncWalk& operator=(const SyncWalk&) = delete;

  // From the last row to the first, so removing row i never moves a row still to come.
  void Run() {
    Host& host = ctx_.host;
    const int n = ctx_.list.RowCount();
    next_feed_ = n;
    for (int i = n; i >= 1; --i) {
      // At every row, whether or not the loop yields.
      if (scope_.Stopping()) break;
      FeedCopies(i);
      if (const int placed = PlaceTogether(i); placed > 0) {
        // Rows i down to i - placed + 1 are done and gone.
        i -= placed - 1;
        host.SetProgress(static_cast<float>((1.0 - static_cast<double>(i) / n) * 100.0));
        if (!host.SpeedChecked()) host.ProcessEvents();
        continue;
      }
      const RowEnd end = SyncRow(i);
      if (end == RowEnd::kAbort) {
        if (!scope_.Stopping()) scope_.Cancel(StopReason::kAbort);
        break;
      }
      host.SetProgress(static_cast<float>((1.0 - static_cast<double>(i) / n) * 100.0));
      if (end == RowEnd::kRemove) ctx_.list.RemoveRow(i);
      if (!host.SpeedChecked()) host.ProcessEvents();
    }
  }

 private:
  RowEnd SyncRow(int pos) {
    const RowPlan plan = PlanRow(ctx_.list, ctx_.state, pos);
    if (!plan.Acts()) {
      // A row the trusted comparison found unchanged on both sides is in the state already.
      if (ledger_ && plan.mark == Mark::kEqual && !plan.left.rel.empty() &&
          !plan.right.rel.empty() &&
          (!ctx_.state.two_way.trusted ||
           ctx_.state.two_way.WhyOf(ctx_.list.LeftName(pos), ctx_.list.RightName(pos)) ==
               TwoWayWhy::kAlike))
        ledger_->EqualSeen(plan.left.rel, plan.right.rel, plan.left.Seen(), plan.right.Seen());
      return RowEnd::kRemove;
    }
    mark_ = MarkText(plan.mark);
    why_ = ledger_ ? TwoWayWhyWord(ctx_.state.two_way.WhyOf(ctx_.list.LeftName(pos),
                                                            ctx_.list.RightName(pos)))
                   : "";
    if (plan.Lacking()) return LackingRow(plan);
    if (OnGivenUpFolder(plan)) {
      // Its copy prepared ahead, if any, goes with the row.
      if (plan.IsCopy())
        AheadFor(pos, plan.mark == Mark::kCopyRight ? kRight : kLeft, SizeOf(plan.From()));
      ++ctx_.state.notes.lost_rows;
      return RowEnd::kKeep;
    }
    // The other row of a move carried out as a rename: nothing left to do.
    if (moves_ && moves_->IsDone(pos)) return RowEnd::kRemove;
    int twin = 0;
    if (const MovePair* move = moves_ ? moves_->At(pos, &twin) : nullptr) {
      if (MoveRow(*move, pos)) return RowEnd::kRemove;
      // The rename did not happen: the rows are copied and deleted as their marks say.
    }
    const SyncSide& left = plan.left;
    const SyncSide& right = plan.right;
    RowEnd end = RowEnd::kRemove;
    switch (plan.mark) {
      case Mark::kCopyRight:
        end = CopyRow(left, right, kRight, AheadFor(pos, kRight, SizeOf(left)));
        if (ledger_ && end == RowEnd::kRemove) ledger_->Equal(left.rel, right.rel);
        return end;
      case Mark::kCopyLeft:
        end = CopyRow(right, left, kLeft, AheadFor(pos, kLeft, SizeOf(right)));
        if (ledger_ && end == RowEnd::kRemove) ledger_->Equal(left.rel, right.rel);
        return end;
      case Mark::kDeleteRight:
        end = DeleteRow(right, kRight);
        // A deletion that leaves the row one-sided is the user's own: its entry stays.
        if (ledger_ && end == RowEnd::kRemove && left.rel.empty()) {
          ledger_->Gone(left.rel, right.rel);
          ledger_->Emptied('R', right.rel);
        }
        return end;
      case Mark::kDeleteLeft:
        end = DeleteRow(left, kLeft);
        if (ledger_ && end == RowEnd::kRemove && right.rel.empty()) {
          ledger_->Gone(left.rel, right.rel);
          ledger_->Emptied('L', left.rel);
        }
        return end;
      case Mark::kDeleteBoth:
        end = DeleteBothRow(left, right);
        if (ledger_ && end == RowEnd::kRemove) ledger_->Gone(left.rel, right.rel);
        return end;
      default:
        return RowEnd::kRemove;
    }
  }

  // A move the comparison proposed, as one rename on the side that has the old name; true
  // when it was done. Where the file changed since the comparison, or the rename fails, the
  // rows go their ordinary way: the deletion then fails on the changed file.
  bool MoveRow(const MovePair& move, int pos) {
    const bool right = move.side == 'R';
    const std::string_view root = right ? ctx_.state.right_root.str() : ctx_.state.left_root.str();
    const RootId* id = right ? &ctx_.state.right_root_id : &ctx_.state.left_root_id;
    VersionFolder* keep = Keep(right ? kRight : kLeft);
    std::vector<std::string> made;
    // The first row of a folder that moved as a whole: the folder in one rename. Where that
    // is not possible its files move one by one.
    if (MovePlan::FolderMove* folder = moves_->FolderOf(pos)) {
      folder->tried = true;
      FsResult moved = RenameFolderMove(Fs(right ? kRight : kLeft), root, id, *folder, keep, &made);
      (void)NoteFolders(keep, &made);
      if (moved.ok()) {
        (right ? written_.right : written_.left) = true;
        for (int row : folder->rows) moves_->Done(row);
        for (const MovePair* each : folder->moves) MoveDone(*each, root);
        return true;
      }
    }
    FileStamp after;
    FsResult moved = RenameMove(Fs(right ? kRight : kLeft), root, id, move, keep, &made, &after);
    (void)NoteFolders(keep, &made);
    if (!moved.ok()) return false;
    (right ? written_.right : written_.left) = true;
    moves_->Done(pos);
    MoveDone(move, root);
    return true;
  }

  void MoveDone(const MovePair& move, std::string_view root) {
    ledger_->Moved(move);
    SyncAction action;
    action.kind = SyncAction::kMove;
    action.mark = mark_;
    action.from = JoinPath(root, move.from);
    action.to = JoinPath(root, move.to);
    action.why = TwoWayWhyWord(TwoWayWhy::kMoved);
    ctx_.host.ActionDone(action);
  }

  RowEnd CopyRow(const SyncSide& from, const SyncSide& to, int side,
                 std::optional<CopyOutcome> ahead) {
    const bool trash = ctx_.state.sync_options.trash;
    VersionFolder* keep = Keep(side);
    auto done = [&](FsResult result) {
      if (result.ok()) NoteCopied(side, from, to);
      return result;
    };
    std::optional<FsError> failure;
    // Folders made but not yet on record: a Retry after a failed note records them still.
    std::vector<std::string> unnoted;
    const RowEnd end = RunWithRetry(
        ctx_, scope_,
        [&]() -> FsResult {
          // A copy prepared ahead is committed at the row's first attempt, unless its source
          // changed or its folder moved meanwhile; a failure while preparing is this
          // attempt's failure. Retry copies afresh.
          if (ahead) {
            CopyOutcome outcome = std::move(*ahead);
            ahead.reset();
            if (outcome.no_space) budget_.AskAgain(side);
            if (outcome.error) return *outcome.error;
            if (scope_.Stopping()) return Because(to.full, ECANCELED, kWhyStopped);
            if (outcome.copy && StillAsStaged(*outcome.copy)) {
              bool folder_moved = false;
              FsResult committed =
                  CommitStagedCopy(*outcome.copy, to.Seen(), &sweeper_, trash, keep, &folder_moved);
              if (!folder_moved) return done(std::move(committed));
            }
          }
          // Inside the retried step: the user may have cleared what blocked the folder
          // chain. Its own failures show through the copy, which then cannot find its
          // folder, unless the root itself is gone, which the copy would only report less
          // clearly.
          FsError chain_failure;
          const int chain = PrepareCopyTarget(Fs(side), to.Tree(), &chain_failure, &unnoted);
          FsResult noted = NoteFolders(keep, &unnoted);
          if (!noted.ok()) return noted;
          if (chain != 0 && !chain_failure.why.empty()) return chain_failure;
          return done(CopyAtTurn(from, to, side, keep));
        },
        CopyDetail(from.full, to.full), &failure, [this](const FsError& e) { return Refused(e); },
        &losses_);
    return Report(ctx_.host,
                  {SyncAction::kCopy,
                   std::string(mark_),
                   from.full,
                   to.full,
                   SyncAction::kDone,
                   {},
                   {},
                   why_},
                  end, std::move(failure));
  }

  // The copies prepared for a far folder for row pos and the rows after it, as far as they
  // are ready, put in place in one request instead of a round trip each. They go in row order
  // and nothing after a copy that could not be placed is tried. Rows in between that do
  // nothing, and each row placed, end here as at their own turn; the first row not placed and
  // every row after it keep their copies for their turns, which commit them (and say why one
  // fails) as ever. The number of rows ended here, from pos down.
  int PlaceTogether(int pos) {
    if (!ahead_ || versions_ || scope_.Stopping()) return 0;
    struct Row {
      int pos;
      RowPlan plan;
      int side;
      std::unique_ptr<StagedCopy> copy;
    };
    std::vector<Row> rows;
    std::vector<PlaceStep> steps;
    const bool trash = ctx_.state.sync_options.trash;
    for (int at = pos; at >= 1 && at > pos - kPlaceReach && rows.size() < kPlaceTogether; --at) {
      RowPlan plan = PlanRow(ctx_.list, ctx_.state, at);
      if (!plan.Acts() && at != pos) continue;
      int twin = 0;
      if (!plan.IsCopy() || plan.Lacking() || OnGivenUpFolder(plan) || plan.From().rel.empty() ||
          (moves_ && (moves_->IsDone(at) || moves_->At(at, &twin))))
        break;
      const int side = plan.mark == Mark::kCopyRight ? kRight : kLeft;
      if (!Fs(side).IsFar() || (trash && plan.To().seen) || (!rows.empty() && rows[0].side != side))
        break;
      // The first row waits for its copy as its turn would; the others only join when ready.
      const CopyJob* next = ahead_->Next();
      if (!next || next->row != at || (at != pos && !ahead_->NextDone())) break;
      std::optional<CopyOutcome> outcome = AheadFor(at, side, SizeOf(plan.From()));
      std::unique_ptr<StagedCopy> copy;
      if (outcome && outcome->copy && !outcome->error && !outcome->no_space)
        copy = std::move(outcome->copy);
      PlaceStep step;
      if (!copy || !StillAsStaged(*copy) ||
          !PlaceStepOf(*copy, plan.To().Seen(), &sweeper_, &step)) {
        if (copy) outcome->copy = std::move(copy);
        held_[at] = {std::move(outcome), losses_.Renewals()};
        break;
      }
      steps.push_back(std::move(step));
      rows.push_back({at, std::move(plan), side, std::move(copy)});
    }
    // One alone goes its usual way.
    if (rows.size() < 2) {
      for (Row& row : rows) HoldCopy(row.pos, std::move(row.copy));
      return 0;
    }
    const size_t tried = Fs(rows[0].side).PlaceInOrder(steps);
    size_t placed = 0;
    while (placed < tried && (steps[placed].result == 1 || steps[placed].result == 2)) ++placed;
    for (size_t k = placed; k < rows.size(); ++k) HoldCopy(rows[k].pos, std::move(rows[k].copy));
    if (placed == 0) return 0;
    // From pos down to the last row placed: the rows between end as at their turn.
    const int last = rows[placed - 1].pos;
    size_t k = 0;
    for (int at = pos; at >= last; --at) {
      if (k < placed && rows[k].pos == at) {
        (void)FinishPlaceStep(*rows[k].copy, steps[k]);
        rows[k].copy.reset();
        PlacedRow(rows[k].plan, at, rows[k].side);
        ++k;
        continue;
      }
      if (SyncRow(at) == RowEnd::kRemove) ctx_.list.RemoveRow(at);
    }
    return pos - last + 1;
  }

  // A copy in place: its side was written, and the room it took is off the budget.
  void NoteCopied(int side, const SyncSide& from, const SyncSide& to) {
    (side == kLeft ? written_.left : written_.right) = true;
    budget_.Copied(side, SizeOf(from), to.Seen());
  }

  // A copy taken ahead of its row's turn, for that turn.
  void HoldCopy(int pos, std::unique_ptr<StagedCopy> copy) {
    CopyOutcome outcome;
    outcome.copy = std::move(copy);
    held_[pos] = {std::move(outcome), losses_.Renewals()};
  }

  // What a copy put in place at its row's turn is followed by: the run's notes, the report
  // and the row's end.
  void PlacedRow(const RowPlan& plan, int pos, int side) {
    const SyncSide& from = plan.From();
    const SyncSide& to = plan.To();
    NoteCopied(side, from, to);
    const std::string_view left_name = ctx_.list.LeftName(pos);
    const std::string_view right_name = ctx_.list.RightName(pos);
    const char* why = ledger_ ? TwoWayWhyWord(ctx_.state.two_way.WhyOf(left_name, right_name)) : "";
    if (ledger_) ledger_->Equal(plan.left.rel, plan.right.rel);
    Report(ctx_.host,
           {SyncAction::kCopy,
            std::string(MarkText(plan.mark)),
            from.full,
            to.full,
            SyncAction::kDone,
            {},
            {},
            why},
           RowEnd::kRemove, std::nullopt);
    ctx_.list.RemoveRow(pos);
  }

  // A link the target cannot hold: counted for the one report at the end of the run.
  bool Refused(const FsError& error) {
    if (!LinkRefused(error)) return false;
    RunNotes& notes = ctx_.state.notes;
    ++notes.refused_links;
    if (notes.refused_link_names.size() < kRefusedLinksNamed)
      notes.refused_link_names.push_back(error.path);
    return true;
  }

  // A copy at its row's turn: written on a helper while the window stays alive, then put in
  // place here as a copy prepared ahead is.
  // side: the target's.
  FsResult CopyAtTurn(const SyncSide& from, const SyncSide& to, int side, VersionFolder* keep) {
    if (!turn_) turn_ = MakeTurnCopier(sweeper_, scope_);
    CopyJob job{0,          &Fs(1 - side), &Fs(side), from.root, to.root, from.root_id,
                to.root_id, from.rel,      to.rel,    from.seen, to.seen, true};
    job.link = from.kind == FileKind::kLink;
    job.follow = ctx_.state.follow_links;
    turn_->Add(std::move(job));
    CopyOutcome outcome = Await(*turn_);
    if (outcome.error) return *outcome.error;
    if (!outcome.copy) return ErrorAt(to.full, EIO);
    if (scope_.Stopping()) return Because(to.full, ECANCELED, kWhyStopped);
    return CommitStagedCopy(*outcome.copy, to.Seen(), &sweeper_, ctx_.state.sync_options.trash,
                            keep);
  }

  // The next copy of the pipeline; the window's messages are handled while it is written.
  CopyOutcome Await(CopyPipeline& pipeline) {
    return pipeline.TakeWaiting([this] { ctx_.host.ProcessEvents(); }, kWaitTick);
  }

  // A mark aimed at a side without a file: nothing is copied or deleted, and the box names
  // the side, with the path the mark would have meant.
  RowEnd LackingRow(const RowPlan& plan) {
    const bool left = plan.Lacking() == &plan.left;
    const std::string path = plan.LackingPath();
    const FsError lacking = Because(path, ENOENT, left ? kWhyNoLeftFile : kWhyNoRightFile);
    const bool copy = plan.IsCopy();
    const std::string to = copy ? plan.To().full : std::string();
    std::optional<FsError> failure;
    const RowEnd end = RunWithRetry(
        ctx_, scope_, [&]() -> FsResult { return lacking; },
        copy ? CopyDetail(path, to) : DeleteDetail(path), &failure);
    SyncAction action;
    action.kind = copy ? SyncAction::kCopy : SyncAction::kDelete;
    action.mark = mark_;
    action.from = path;
    action.to = to;
    action.why = why_;
    return Report(ctx_.host, std::move(action), end, std::move(failure));
  }

  RowEnd DeleteRow(const SyncSide& side, int index) {
    std::optional<FsError> failure;
    const RowEnd end = RunWithRetry(
        ctx_, scope_,
        [&] {
          FsResult deleted = DeleteFileAt(Fs(index), side.Tree(), side.Seen(),
                                          ctx_.state.sync_options.trash, Keep(index));
          if (deleted.ok()) budget_.Deleted(index, SizeOf(side));
          return deleted;
        },
        DeleteDetail(side.full), &failure, nullptr, &losses_);
    return Report(
        ctx_.host,
        {SyncAction::kDelete, std::string(mark_), side.full, {}, SyncAction::kDone, {}, {}, why_},
        end, std::move(failure));
  }

  // The right file is still tried when the left deletion was skipped; a skipped failure
  // keeps the row even when a later failure of it is retried with success. A side without
  // a file has nothing to delete.
  RowEnd DeleteBothRow(const SyncSide& left, const SyncSide& right) {
    const RowEnd first = left.rel.empty() ? RowEnd::kRemove : DeleteRow(left, kLeft);
    if (first == RowEnd::kAbort) return first;
    const RowEnd second = right.rel.empty() ? RowEnd::kRemove : DeleteRow(right, kRight);
    if (second == RowEnd::kAbort) return second;
    return (first == RowEnd::kKeep || second == RowEnd::kKeep) ? RowEnd::kKeep : RowEnd::kRemove;
  }

  // The prepared outcome of row pos, when the pipeline holds it; its room is given back. One
  // prepared before a connection was made anew is dropped (the row is copied at its turn):
  // it was read or written over the broken one.
  std::optional<CopyOutcome> AheadFor(int pos, int side, int64_t size) {
    if (!ahead_) return std::nullopt;
    if (auto held = held_.find(pos); held != held_.end()) {
      // Made over a connection renewed since, it is void: the row copies afresh.
      std::optional<CopyOutcome> outcome;
      if (held->second.renewals == losses_.Renewals()) outcome = std::move(held->second.outcome);
      held_.erase(held);
      return outcome;
    }
    const CopyJob* next = ahead_->Next();
    if (!next || next->row != pos) return std::nullopt;
    budget_.Release(side, size);
    CopyOutcome outcome = Await(*ahead_);
    const auto fed = fed_renewals_.find(pos);
    const bool stale = fed != fed_renewals_.end() && fed->second != losses_.Renewals();
    if (fed != fed_renewals_.end()) fed_renewals_.erase(fed);
    if (stale) return std::nullopt;
    return outcome;
  }

  // The row would act on a far folder given up in this run.
  bool OnGivenUpFolder(const RowPlan& plan) const {
    const bool left = losses_.GivenUp(Fs(kLeft));
    const bool right = losses_.GivenUp(Fs(kRight));
    switch (plan.mark) {
      case Mark::kCopyRight:
      case Mark::kCopyLeft:
        return left || right;
      case Mark::kDeleteRight:
        return right;
      case Mark::kDeleteLeft:
        return left;
      case Mark::kDeleteBoth:
        return (left && !plan.left.rel.empty()) || (right && !plan.right.rel.empty());
      default:
        return false;
    }
  }

  // Hands the copies of the rows from the current one down to the pipeline while it has
  // room, in walk order. A copy that does not fit the target's free space stops the feed
  // until that row has been copied at its turn, as one copy at a time would do it.
  void FeedCopies(int current) {
    if (!ahead_) return;
    if (waiting_row_ != 0) {
      if (waiting_row_ <= current) return;
      waiting_row_ = 0;
    }
    next_feed_ = std::min(next_feed_, current);
    for (; next_feed_ >= 1; --next_feed_) {
      const int pos = next_feed_;
      const RowPlan plan = PlanRow(ctx_.list, ctx_.state, pos);
      if (!plan.IsCopy()) continue;
      // A move's copy is a rename at its turn; only where that fails is it copied then.
      int twin = 0;
      if (moves_ && moves_->At(pos, &twin)) continue;
      const bool to_right = plan.mark == Mark::kCopyRight;
      const SyncSide& from = plan.From();
      const SyncSide& to = plan.To();
      if (from.rel.empty()) continue;
      const int64_t size = SizeOf(from);
      const uint64_t weight = static_cast<uint64_t>(std::max<int64_t>(size, 1));
      if (!ahead_->HasRoom(weight)) return;
      if (!budget_.Reserve(to_right ? kRight : kLeft, std::string(to.root), size)) {
        waiting_row_ = pos;
        return;
      }
      const int target = to_right ? kRight : kLeft;
      CopyJob job{pos,        &Fs(1 - target), &Fs(target), from.root, to.root, from.root_id,
                  to.root_id, from.rel,        to.rel,      from.seen, to.seen};
      job.link = from.kind == FileKind::kLink;
      job.follow = ctx_.state.follow_links;
      fed_renewals_[pos] = losses_.Renewals();
      ahead_->Add(std::move(job), weight);
    }
  }

  // The file system of a side's root.
  FileSystem& Fs(int side) const { return side == kLeft ? ctx_.LeftFs() : ctx_.RightFs(); }

  // Where replaced and deleted files of a side are kept; nullptr without versions.
  VersionFolder* Keep(int side) const {
    if (!versions_) return nullptr;
    return side == kLeft ? &versions_->Left() : &versions_->Right();
  }

  // Best effort: a folder that cannot be opened again fails the next note, which says so.
  void ReopenVersions(FileSystem& fs) {
    if (!versions_) return;
    for (int side : {kLeft, kRight})
      if (&Fs(side) == &fs) (void)Keep(side)->Reopen();
  }

  void CloseVersions() {
    if (!versions_) return;
    versions_->Close();
    ctx_.state.notes.pruned = versions_->Pruned();
    // Moves into the versions and their records must last as the copies do.
    written_.left = written_.left || versions_->Left().IsOpen();
    written_.right = written_.right || versions_->Right().IsOpen();
    versions_.reset();
  }

  void FlushWritten() {
    if (written_.left) Flush(ctx_, ctx_.LeftFs(), ctx_.state.left_root.str());
    if (written_.right) Flush(ctx_, ctx_.RightFs(), ctx_.state.right_root.str());
  }

  Context& ctx_;
  RunScope& scope_;
  StateLedger* ledger_;
  std::unique_ptr<MovePlan> moves_;  // two-way runs only
  TempSweeper sweeper_;
  SpaceBudget budget_;
  std::unique_ptr<CopyPipeline> ahead_;
  std::unique_ptr<CopyPipeline> turn_;  // made at the first copy at its row's turn
  // Owned by the run: however the walk ends, closing it closes both records.
  std::unique_ptr<RunVersions> versions_;
  std::string_view mark_;  // of the row being handled, for the host's report
  const char* why_ = "";   // of the row being handled, in a two-way run
  int next_feed_ = 0;
  int waiting_row_ = 0;  // did not fit ahead: the feed waits until its turn is over
  RootsWritten written_;
  FarLosses losses_;
  // The renewals of connections when each row still in the pipeline was handed to it.
  std::unordered_map<int, int> fed_renewals_;
  // Copies taken from the pipeline ahead of their rows' turns (PlaceTogether), for them,
  // with the renewals of connections when they were taken.
  struct Held {
    std::optional<CopyOutcome> outcome;
    int renewals = 0;
  };
  std::unordered_map<int, Held> held_;
};

}  // namespace

std::string LostRowsText(const RunNotes& notes) {
  return std::to_string(notes.lost_rows) +
         " weitere Zeilen wurden nicht abgeglichen: " + notes.lost_text;
}

std::string RefusedLinksText(const RunNotes& notes) {
  std::string text =
      std::to_string(notes.refused_links) + " Verknüpfungen wurden nicht kopiert: " + kWhyNoLinks;
  for (size_t i = 0; i < notes.refused_link_names.size(); ++i)
    text += (i == 0 ? " ('" : ", '") + notes.refused_link_names[i] + "'";
  if (!notes.refused_link_names.empty())
    text +=
        static_cast<size_t>(notes.refused_links) > notes.refused_link_names.size() ? ", ...)" : ")";
  return text;
}

void SyncFolders(Context& ctx) {
  if (ctx.state.busy || ctx.state.stop.Requested()) return;
  const std::string& left_root = ctx.state.left_root.str();
  const std::string& right_root = ctx.state.right_root.str();
  const std::string broken_off =
      BrokenOffRefusal(ctx.state, "Der Datenabgleich wird nicht ausgeführt:");
  if (!broken_off.empty()) {
    Refuse(ctx.host, broken_off);
    return;
  }
  if (RootsOverlap(ctx.LeftFs(), left_root, ctx.RightFs(), right_root)) {
    Warn(ctx.host, OverlapText(left_root, right_root));
    return;
  }
  TwoWaySession& two_way = ctx.state.two_way;
  ctx.state.notes.two_way_refused = false;
  // A root that looks lost, or a pair another run is syncing: nothing is changed at all.
  PairLock lock;
  if (two_way.active) {
    std::string refusal = two_way.refusal.side != 0 ? two_way.refusal.message : std::string();
    if (refusal.empty() &&
        !lock.Take(ctx.LeftFs(), left_root, ctx.RightFs(), right_root, two_way.state, &refusal) &&
        refusal.empty())
      refusal = "Der Zweiweg-Abgleich kann nicht beginnen.";
    if (!refusal.empty()) {
      ctx.state.notes.two_way_refused = true;
      Refuse(ctx.host, refusal);
      return;
    }
  }
  std::optional<StateLedger> ledger;
  if (two_way.active) ledger.emplace(two_way.state);
  BusyGuard busy(ctx);
  Host& host = ctx.host;
  // The walk addresses rows by position: nothing may move them until it ends.
  OrderHold hold(ctx.list);
  EnableCompareButton(host, false);
  SetStatus(host, 2, "Datenabgleich läuft ...");
  {
    // Every way the run ends passes through the scope's clean-ups (the walk ends the scope
    // when it goes, also on an exception): no helper, prepared copy or temporary file of
    // the run is left, the records of the versions are closed, and what was written is
    // flushed.
    RunScope scope(ctx.state.stop);
    SyncWalk walk(ctx, scope, ledger ? &*ledger : nullptr);
    walk.Run();
  }
  // However the walk ended (Abort, a stop, a signal): the state of what ended in line.
  if (ledger) {
    ledger->RemoveEmptiedFolders(ctx);
    std::string error;
    if (!ledger->Save(ctx, &error))
      Warn(ctx.host, "Der gemeinsame Stand der beiden Ordner konnte nicht gespeichert werden:" +
                         std::string(1, kCr) + error);
  }
  host.SetProgress(0);
  // One box for all of them, never one a row; a batch run does not wait on it (the
  // console tells it in one line).
  if (ctx.state.notes.refused_links > 0 && !ctx.state.batch_active)
    Warn(host, RefusedLinksText(ctx.state.notes));
  if (ctx.state.notes.lost_rows > 0 && !ctx.state.batch_active)
    Warn(host, LostRowsText(ctx.state.notes));
  SetStatus(host, 2, "Datenabgleich beendet.");
  EnableCompareButton(host, true);
}

}  // namespace tavrik
