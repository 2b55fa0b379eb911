#include "core/sync.h"

#include <cstring>
#include <functional>
#include <optional>
#include <string_view>

#include "core/file_ops.h"
#include "core/paths.h"
#include "core/status.h"

namespace tavrik {

namespace {

// One side of a row: where its file lies and what the fill saw of it. Copied out of the
// list, so nothing the window does during a message box can pull it away.
struct Side {
  std::string_view root;
  std::string rel;
  std::optional<FileStamp> seen;
  // The full path as the error box shows it: empty when the row has no file here.
  std::string full;

  TreePath Tree() const { return {root, rel}; }
  const FileStamp* Seen() const { return seen ? &*seen : nullptr; }
};

Side SideOf(std::string_view root, std::string_view rel, const FileStamp* seen) {
  Side side{root, std::string(rel), std::nullopt, ""};
  if (seen) side.seen = *seen;
  if (!rel.empty()) side.full = JoinPath(root, rel);
  return side;
}

// A copy onto a side without a file goes to the source's relative path on that side.
Side TargetSide(Side side, const Side& source) {
  if (!side.rel.empty()) return side;
  side.rel = source.rel;
  side.seen.reset();
  side.full = JoinPath(side.root, side.rel);
  return side;
}

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
    const std::string text = std::string("Abgleichsfehler:") + kCr + kCr + detail + kCr + kCr +
                             "Bitte quittieren oder abbrechen";
    const MsgAnswer answer = AskAfterFailure(host, text, done.error());
    if (answer == MsgAnswer::kAbort) return RowEnd::kAbort;
    if (answer != MsgAnswer::kRetry) return RowEnd::kKeep;
  }
}

RowEnd CopyRow(Context& ctx, const Side& from, const Side& onto, bool* wrote) {
  const Side to = TargetSide(onto, from);
  // Its failures show through the copy, which then cannot find its folder.
  (void)PrepareCopyTarget(to.full, to.root.size(), ctx.fs);
  return RunWithRetry(
      ctx.host,
      [&] {
        FsResult copied = CopyFileOnto(ctx.fs, from.Tree(), to.Tree(), to.Seen());
        *wrote = *wrote || copied.ok();
        return copied;
      },
      CopyDetail(from.full, to.full));
}

RowEnd DeleteRow(Context& ctx, const Side& side) {
  return RunWithRetry(
      ctx.host, [&] { return DeleteFileAt(ctx.fs, side.Tree(), side.Seen()); },
      DeleteDetail(side.full));
}

// The right file is still tried when the left deletion was skipped; a skipped failure keeps
// the row even when a later failure of it is retried with success.
RowEnd DeleteBothRow(Context& ctx, const Side& left, const Side& right) {
  const RowEnd first = DeleteRow(ctx, left);
  if (first == RowEnd::kAbort) return first;
  const RowEnd second = DeleteRow(ctx, right);
  if (second == RowEnd::kAbort) return second;
  return (first == RowEnd::kKeep || second == RowEnd::kKeep) ? RowEnd::kKeep : RowEnd::kRemove;
}

// Which roots received copies, so that exactly those are flushed at the end.
struct Written {
  bool left = false;
  bool right = false;
};

bool ActsOn(Mark mark) {
  return mark == Mark::kCopyRight || mark == Mark::kCopyLeft || mark == Mark::kDeleteRight ||
         mark == Mark::kDeleteLeft || mark == Mark::kDeleteBoth;
}

RowEnd SyncRow(Context& ctx, int pos, Written& written) {
  const ComparisonList& list = ctx.list;
  if (!ActsOn(list.GetMark(pos))) return RowEnd::kRemove;
  const Side left = SideOf(ctx.state.left_root, list.LeftName(pos), list.LeftStamp(pos));
  const Side right = SideOf(ctx.state.right_root, list.RightName(pos), list.RightStamp(pos));
  switch (list.GetMark(pos)) {
    case Mark::kCopyRight:
      return CopyRow(ctx, left, right, &written.right);
    case Mark::kCopyLeft:
      return CopyRow(ctx, right, left, &written.left);
    case Mark::kDeleteRight:
      return DeleteRow(ctx, right);
    case Mark::kDeleteLeft:
      return DeleteRow(ctx, left);
    case Mark::kDeleteBoth:
      return DeleteBothRow(ctx, left, right);
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
           "' geschrieben werden:" + kCr + std::strerror(flushed.error().code),
       flushed.error());
}

}  // namespace

void SyncFolders(Context& ctx) {
  if (ctx.state.busy) return;
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
  for (int i = n; i >= 1; --i) {
    const RowEnd end = SyncRow(ctx, i, written);
    if (end == RowEnd::kAbort) break;
    host.SetProgress(static_cast<float>((1.0 - static_cast<double>(i) / n) * 100.0));
    if (end == RowEnd::kRemove) list.RemoveRow(i);
    if (!host.SpeedChecked()) host.ProcessEvents();
  }
  if (written.left) Flush(ctx, ctx.state.left_root.str());
  if (written.right) Flush(ctx, ctx.state.right_root.str());
  host.SetProgress(0);
  SetStatus(host, 2, "Datenabgleich beendet.");
  EnableCompareButton(host, true);
  list.ReleaseOrder();
}

int PrepareCopyTarget(const std::string& path, FileSystem& fs) {
  const size_t last = path.rfind(kSep);
  return PrepareCopyTarget(path, last == std::string::npos ? 0 : last + 1, fs);
}

int PrepareCopyTarget(const std::string& path, size_t root_length, FileSystem& fs) {
  FsResult made = MakeParentFolders(fs, path, root_length);
  return made.ok() ? 0 : made.error().code;
}

}  // namespace tavrik
