#include "core/sync/sync.h"

#include <cstring>
#include <functional>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "core/fs/error_text.h"
#include "core/fs/paths.h"
#include "core/fs/time_resolution.h"
#include "core/list/status.h"
#include "core/sync/copy_ahead.h"
#include "core/sync/file_ops.h"
#include "core/sync/sync_plan.h"
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

enum class RowEnd { kRemove, kKeep, kAbort };

// The one Abort/Retry/Ignore loop, around any file operation: runs op until it succeeds,
// the user skips the failure (the row stays), or aborts the run.
RowEnd RunWithRetry(Host& host, const std::function<FsResult()>& op, const std::string& detail) {
  for (;;) {
    FsResult done = op();
    if (done.ok()) return RowEnd::kRemove;
    // The reason on a line of its own, so Retry is not a guess.
    const std::string text = std::string("Abgleichsfehler:") + kCr + kCr + detail + kCr +
                             ReasonText(done.error()) + kCr + kCr +
                             "Bitte quittieren oder abbrechen";
    const MsgAnswer answer = AskAfterFailure(host, text, done.error());
    if (answer == MsgAnswer::kAbort) return RowEnd::kAbort;
    if (answer != MsgAnswer::kRetry) return RowEnd::kKeep;
  }
}

// Folders made for a copy, on record so an undo can take them away again.
FsResult NoteFolders(VersionFolder* keep, const std::vector<std::string>& made) {
  for (const std::string& rel : made) {
    if (!keep) break;
    FsResult noted = keep->Note({EntryKind::kFolderMade, rel, {}, {}});
    if (!noted.ok()) return noted;
  }
  return {};
}

RowEnd CopyRow(Context& ctx, const SyncSide& from, const SyncSide& to, bool* wrote,
               TempSweeper& sweeper, std::optional<CopyOutcome> ahead, VersionFolder* keep) {
  return RunWithRetry(
      ctx.host,
      [&]() -> FsResult {
        // A copy prepared ahead is committed at the row's first attempt, unless its source
        // changed meanwhile; a failure while preparing is this attempt's failure. Retry
        // copies afresh.
        if (ahead) {
          CopyOutcome outcome = std::move(*ahead);
          ahead.reset();
          if (outcome.error) return *outcome.error;
          if (outcome.copy && StillAsPrepared(*outcome.copy)) {
            FsResult committed =
                CommitCopy(*outcome.copy, to.Seen(), &sweeper, ctx.state.sync_options.trash, keep);
            *wrote = *wrote || committed.ok();
            return committed;
          }
        }
        // Inside the retried step: the user may have cleared what blocked the folder chain.
        // Its own failures show through the copy, which then cannot find its folder, unless
        // the root itself is gone, which the copy would only report less clearly.
        FsError chain_failure;
        std::vector<std::string> made;
        const int chain = PrepareCopyTarget(ctx.fs, to.Tree(), &chain_failure, &made);
        FsResult noted = NoteFolders(keep, made);
        if (!noted.ok()) return noted;
        if (chain != 0 && !chain_failure.why.empty()) return chain_failure;
        FsResult copied = CopyFileOnto(ctx.fs, from.Tree(), to.Tree(), from.Seen(), to.Seen(),
                                       &sweeper, ctx.state.sync_options.trash, keep);
        *wrote = *wrote || copied.ok();
        return copied;
      },
      CopyDetail(from.full, to.full));
}

RowEnd DeleteRow(Context& ctx, const SyncSide& side, VersionFolder* keep) {
  return RunWithRetry(
      ctx.host,
      [&] {
        return DeleteFileAt(ctx.fs, side.Tree(), side.Seen(), ctx.state.sync_options.trash, keep);
      },
      DeleteDetail(side.full));
}

// The right file is still tried when the left deletion was skipped; a skipped failure keeps
// the row even when a later failure of it is retried with success.
RowEnd DeleteBothRow(Context& ctx, const SyncSide& left, const SyncSide& right,
                     VersionFolder* keep_left, VersionFolder* keep_right) {
  const RowEnd first = DeleteRow(ctx, left, keep_left);
  if (first == RowEnd::kAbort) return first;
  const RowEnd second = DeleteRow(ctx, right, keep_right);
  if (second == RowEnd::kAbort) return second;
  return (first == RowEnd::kKeep || second == RowEnd::kKeep) ? RowEnd::kKeep : RowEnd::kRemove;
}

// Which roots received copies, so that exactly those are flushed at the end; and which
// folders were already cleared of leftovers.
struct Written {
  bool left = false;
  bool right = false;
  TempSweeper sweeper;
  CopyAhead* ahead = nullptr;
  RunVersions* versions = nullptr;  // set when replaced and deleted files are kept
  VersionFolder* Left() const { return versions ? &versions->Left() : nullptr; }
  VersionFolder* Right() const { return versions ? &versions->Right() : nullptr; }
};

// The prepared outcome of row pos, when the pipeline holds it.
std::optional<CopyOutcome> AheadFor(Written& written, int pos) {
  if (!written.ahead || written.ahead->NextRow() != pos) return std::nullopt;
  return written.ahead->Take();
}

RowEnd SyncRow(Context& ctx, int pos, Written& written) {
  const RowPlan plan = PlanRow(ctx.list, ctx.state, pos);
  if (!plan.Acts()) return RowEnd::kRemove;
  const SyncSide& left = plan.left;
  const SyncSide& right = plan.right;
  switch (plan.mark) {
    case Mark::kCopyRight:
      return CopyRow(ctx, left, right, &written.right, written.sweeper, AheadFor(written, pos),
                     written.Right());
    case Mark::kCopyLeft:
      return CopyRow(ctx, right, left, &written.left, written.sweeper, AheadFor(written, pos),
                     written.Left());
    case Mark::kDeleteRight:
      return DeleteRow(ctx, right, written.Right());
    case Mark::kDeleteLeft:
      return DeleteRow(ctx, left, written.Left());
    case Mark::kDeleteBoth:
      return DeleteBothRow(ctx, left, right, written.Left(), written.Right());
    default:
      return RowEnd::kRemove;
  }
}

// A flush that fails means copies reported as done may not be on the disk: say so.
void Flush(Context& ctx, const std::string& root) {
  FsResult flushed = FlushFileSystem(ctx.fs, root);
  if (flushed.ok()) return;
  Warn(ctx.host,
       "Die kopierten Dateien konnten nicht vollständig auf den Datenträger von '" + root +
           "' geschrieben werden:" + kCr + ReasonText(flushed.error()),
       flushed.error());
}

// True when folder is inner itself or one of the folders above it. ".." is resolved by the
// system after any link in the path, so links and bind mounts lead to the same answer as
// the real folders do.
bool IsSameOrAbove(FileSystem& fs, const struct stat& folder, const std::string& inner) {
  std::string path = inner;
  struct stat st {};
  if (fs.StatAt(AT_FDCWD, path.c_str(), &st, 0) != 0) return false;
  for (int depth = 0; depth < 4096; ++depth) {
    if (st.st_dev == folder.st_dev && st.st_ino == folder.st_ino) return true;
    path += "../";
    struct stat parent {};
    if (fs.StatAt(AT_FDCWD, path.c_str(), &parent, 0) != 0) return false;
    if (parent.st_dev == st.st_dev && parent.st_ino == st.st_ino) return false;  // at "/"
    st = parent;
  }
  return false;
}

// Roots that are one folder, or one inside the other: a copy of one row could overwrite
// the source of a row still to come, so such a run is not started at all.
bool RootsOverlap(FileSystem& fs, const std::string& left, const std::string& right) {
  struct stat l {
  }, r{};
  if (fs.StatAt(AT_FDCWD, left.c_str(), &l, 0) != 0) return false;
  if (fs.StatAt(AT_FDCWD, right.c_str(), &r, 0) != 0) return false;
  return IsSameOrAbove(fs, l, right) || IsSameOrAbove(fs, r, left);
}

// Hands the copies of the rows from *next_row down to the pipeline while it has room.
void FeedCopies(Context& ctx, CopyAhead& ahead, int* next_row) {
  for (; *next_row >= 1 && ahead.HasRoom(); --*next_row) {
    const int pos = *next_row;
    const RowPlan plan = PlanRow(ctx.list, ctx.state, pos);
    if (!plan.IsCopy()) continue;
    const SyncSide& from = plan.From();
    const SyncSide& to = plan.To();
    if (from.rel.empty()) continue;
    ahead.Add(
        {pos, from.root, to.root, from.root_id, to.root_id, from.rel, to.rel, from.seen, to.seen});
  }
}

std::string OverlapText(const std::string& left, const std::string& right) {
  return std::string("Der Datenabgleich wird nicht ausgeführt:") + kCr + "Die Verzeichnisse '" +
         left + "'" + kCr + "und '" + right + "'" + kCr +
         "sind dasselbe Verzeichnis, oder das eine liegt im anderen.";
}

}  // namespace

void SyncFolders(Context& ctx) {
  if (ctx.state.busy) return;
  const std::string& left_root = ctx.state.left_root.str();
  const std::string& right_root = ctx.state.right_root.str();
  if (RootsOverlap(ctx.fs, left_root, right_root)) {
    Warn(ctx.host, OverlapText(left_root, right_root));
    return;
  }
  BusyGuard busy(ctx);
  Host& host = ctx.host;
  ComparisonList& list = ctx.list;
  // The walk addresses rows by position: nothing may move them until it ends.
  list.HoldOrder();
  EnableCompareButton(host, false);
  SetStatus(host, 2, "Datenabgleich läuft ...");
  const int n = list.RowCount();
  // From the last row to the first, so removing row i never moves a row still to come.
  Written written;
  // Copies are prepared ahead on helper threads; dropping the pipeline (at the end or on
  // Abort) removes whatever it prepared and nobody committed.
  const IoTuning& io = ctx.state.io;
  int helpers = io.copy_helpers;
  if (helpers < 0) helpers = std::thread::hardware_concurrency() > 1 ? 1 : 0;
  std::unique_ptr<CopyAhead> ahead;
  const bool serial = SerialWritesOnly(ctx.fs, left_root) || SerialWritesOnly(ctx.fs, right_root);
  if (io.copy_window > 0 && !serial)
    ahead = std::make_unique<CopyAhead>(ctx.fs, helpers, io.copy_max_helpers, io.copy_window);
  written.ahead = ahead.get();
  // Owned by the run: however the walk ends, dropping it closes both records.
  std::unique_ptr<RunVersions> versions;
  const SyncOptions& options = ctx.state.sync_options;
  ctx.state.notes.pruned.clear();
  if (options.versions)
    versions = std::make_unique<RunVersions>(ctx.fs, left_root, ctx.state.left_root_id, right_root,
                                             ctx.state.right_root_id, options.keep_versions);
  written.versions = versions.get();
  int next_feed = n;
  for (int i = n; i >= 1; --i) {
    if (ahead) FeedCopies(ctx, *ahead, &next_feed);
    const RowEnd end = SyncRow(ctx, i, written);
    if (end == RowEnd::kAbort) break;
    host.SetProgress(static_cast<float>((1.0 - static_cast<double>(i) / n) * 100.0));
    if (end == RowEnd::kRemove) list.RemoveRow(i);
    if (!host.SpeedChecked()) host.ProcessEvents();
  }
  ahead.reset();
  written.ahead = nullptr;
  if (versions) {
    versions->Close();
    ctx.state.notes.pruned = versions->Pruned();
    // Moves into the versions and their records must last as the copies do.
    written.left = written.left || versions->Left().IsOpen();
    written.right = written.right || versions->Right().IsOpen();
    written.versions = nullptr;
    versions.reset();
  }
  if (written.left) Flush(ctx, ctx.state.left_root.str());
  if (written.right) Flush(ctx, ctx.state.right_root.str());
  host.SetProgress(0);
  SetStatus(host, 2, "Datenabgleich beendet.");
  EnableCompareButton(host, true);
  list.ReleaseOrder();
}

}  // namespace tavrik
