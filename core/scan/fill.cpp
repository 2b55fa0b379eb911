#include "core/scan/fill.h"

#include <string_view>
#include <vector>

#include "core/compare/compare.h"
#include "core/fs/paths.h"
#include "core/fs/time_resolution.h"
#include "core/list/status.h"
#include "core/scan/excluded_pairs.h"
#include "core/scan/scan.h"
#include "core/scan/scan_ahead.h"

namespace tavrik {

namespace {

constexpr int kYieldEvery = 64;

void ShowEntryProgress(Context& ctx, int i, int n) {
  double value = static_cast<double>(i) * 50.0 / n + 50.0;
  ctx.host.SetProgress(static_cast<float>(value));
}

void YieldIfDue(Context& ctx, int i) {
  if (i % kYieldEvery == 0 && !ctx.host.SpeedChecked()) ctx.host.ProcessEvents();
}

void EnterLeftFiles(Context& ctx) {
  const FileTable& table = ctx.state.file_table;
  const int n = table.Count();
  // Room for the right files that pair with no left one as well: growing the rows later
  // would hold the old and the new rows at once, the fill's highest use of memory.
  ctx.list.Reserve(static_cast<size_t>(n) + static_cast<size_t>(n) / 16 + 1024);
  for (int i = 1; i <= n; ++i) {
    ShowEntryProgress(ctx, i, n);
    int pos = ctx.list.AddRow(i, table.Rest(i));
    ctx.list.SetLeftStamp(pos, &table.Stamp(i), table.Kind(i));
    YieldIfDue(ctx, i);
  }
}

// Pairs in two steps so that, on a case-sensitive file system, files of one side that
// differ only in letter case never displace each other: first every exact match, then
// each remaining file with the first row that matches without regard to case and has no
// right file yet; all others get a new row at the end. The first pass visits every file, so
// it carries the progress and the yields; the second yields after every 64th file it enters.
void EnterRightFiles(Context& ctx) {
  ComparisonList& list = ctx.list;
  const FileTable& table = ctx.state.file_table;
  const int n = table.Count();
  std::vector<bool> paired(static_cast<size_t>(n) + 1, false);
  size_t unpaired = 0;
  for (int i = 1; i <= n; ++i) {
    ShowEntryProgress(ctx, i, n);
    std::string_view rel = table.Rest(i);
    int pos = list.FindFirstPairing(rel, [&](int p) { return list.LeftName(p) == rel; });
    if (pos == 0) {
      ++unpaired;
    } else {
      list.SetRightName(pos, rel);
      list.SetRightStamp(pos, &table.Stamp(i), table.Kind(i));
      paired[static_cast<size_t>(i)] = true;
    }
    YieldIfDue(ctx, i);
  }
  list.Reserve(static_cast<size_t>(list.RowCount()) + unpaired);
  const ExcludedKeys left_excluded(ctx.state.left_exclusions.excluded);
  int entered = 0;
  for (int i = 1; i <= n; ++i) {
    if (paired[static_cast<size_t>(i)]) continue;
    std::string_view rel = table.Rest(i);
    int pos = list.FindFirstPairing(rel, [&](int p) { return list.RightName(p).empty(); });
    if (pos == 0 && left_excluded.Covers(rel)) {
      ++ctx.state.right_exclusions.partners;
      continue;
    }
    if (pos == 0) pos = list.AddRow(list.RowCount() + 1, "");
    list.SetRightName(pos, rel);
    list.SetRightStamp(pos, &table.Stamp(i), table.Kind(i));
    YieldIfDue(ctx, ++entered);
  }
}

// A far root's column shows the folder as the user named it, not its path at the far end.
std::string HeaderOf(const Context& ctx, int side, const RootPath& root) {
  const FileSystem* fs = side == 0 ? ctx.left_fs : ctx.right_fs;
  const std::string& name = ctx.state.far_name[side];
  if (name.empty() || fs == nullptr || fs != ctx.state.far_fs[side].get()) return root.str();
  return AddBackslash(name);
}

}  // namespace

void FillNamedColumn(Context& ctx, const std::string& folder, bool left, ScanAhead* ahead) {
  if (ctx.state.busy || ctx.state.stop.Requested()) {
    if (ahead) ahead->Stop();
    return;
  }
  {
    BusyGuard busy(ctx);
    ComparisonList& list = ctx.list;
    Host& host = ctx.host;
    const RootPath root(folder);
    EnableCompareButton(host, false);
    host.SetBusyPointer(true);
    SetStatus(host, 1, "");
    SetStatus(host, 2, "");
    list.SetSorted(false);
    // The marks of the last comparison go: what it found against the pair's state no longer
    // steers a sync, which would save that pair's state into other folders.
    ctx.state.two_way.active = false;
    FileSystem& fs = left ? ctx.LeftFs() : ctx.RightFs();
    // A far folder whose connection broke earlier is listed over a new one; where that
    // cannot be made, the fill says so as it would for a break in its middle.
    if (!fs.LostConnectionText().empty())
      fs.Reconnect([&stop = ctx.state.stop] { return stop.Requested(); });
    if (left) {
      ctx.state.two_way.ahead.reset();
      ctx.state.left_root = root;
      const TimeTraits traits = TimeTraitsOf(fs, root.str());
      ctx.state.left_time_step = traits.step;
      ctx.state.left_local_time = traits.local_time;
      list.SetHeader(1, HeaderOf(ctx, 0, root));
      list.SetHeader(3, ComparisonList::kRightHeader);
      ClearList(list);
      ctx.state.withheld.clear();
      ctx.state.right_exclusions = {};
      ctx.state.right_left_out.clear();
    } else {
      ctx.state.right_root = root;
      const TimeTraits traits = TimeTraitsOf(fs, root.str());
      ctx.state.right_time_step = traits.step;
      ctx.state.right_local_time = traits.local_time;
      // A two-way comparison by age follows: its state is read while this folder is listed.
      ctx.state.two_way.ahead.reset();
      if (ctx.state.compare_options.two_way && !ctx.host.BinaryModeSelected() &&
          !ctx.state.left_root.empty())
        ctx.state.two_way.ahead = std::make_shared<PairStateAhead>(
            ctx.LeftFs(), ctx.state.left_root.str(), ctx.RightFs(), root.str());
      list.SetHeader(3, HeaderOf(ctx, 1, root));
      list.ClearRightNamesAndMarks();
      RestoreWithheldRows(ctx);
    }
    // Which folder was scanned, so a later run can tell it from an empty mount point.
    struct stat root_st {};
    const RootId root_id =
        fs.StatAt(AT_FDCWD, root.str().c_str(), &root_st, 0) == 0 ? RootIdOf(root_st) : RootId{};
    (left ? ctx.state.left_root_id : ctx.state.right_root_id) = root_id;
    ctx.state.file_table.Clear(root);
    host.SetProgress(25);
    SetStatus(host, 2, "Aufstellung der Dateien im betr. Verzeichnis läuft ...");
    if (ahead && !ahead->Serves(fs, root.str(), root_id)) ahead->Stop();
    ScanFolder(ctx, fs, root.str(), ahead && ahead->Running() ? ahead : nullptr);
    (left ? ctx.state.left_exclusions : ctx.state.right_exclusions) =
        Exclusions{std::move(ctx.state.file_table.Excluded()), 0};
    (left ? ctx.state.left_left_out : ctx.state.right_left_out) =
        std::move(ctx.state.file_table.LeftOut());
    // A scan broken off saw only part of the tree: none of it can tell what is gone.
    std::string broken_off = fs.LostConnectionText();
    if (ctx.state.stop.Requested() || !broken_off.empty()) ctx.state.file_table.AddHole(root.str());
    (left ? ctx.state.left_broken_off : ctx.state.right_broken_off) = std::move(broken_off);
    // A new left column stands without a right one.
    if (left) ctx.state.right_broken_off.clear();
    (left ? ctx.state.left_holes : ctx.state.right_holes) = std::move(ctx.state.file_table.Holes());
    host.SetProgress(50);
    SetStatus(host, 2, "Eintragung der Dateien in die Vergleichsliste läuft ...");
    if (left) {
      EnterLeftFiles(ctx);
    } else {
      EnterRightFiles(ctx);
      WithholdUncoveredPartners(ctx);
    }
    // The rows hold what the list needs now; the table's paths and stamps would only sit in
    // memory beside them through the comparison and the sync.
    ctx.state.file_table.Clear();
    // The pair's state read ahead may now take its room.
    if (!left && ctx.state.two_way.ahead) ctx.state.two_way.ahead->GoOn();
    ctx.state.left_filled_empty = left && list.RowCount() == 0;
    SetStatus(host, 2, "Eintragung der Dateien abgeschlossen.");
    SetStatus(host, 1, RowCountText(list.RowCount()));
    list.SetSorted(true);
    host.SetBusyPointer(false);
    host.SetProgress(0);
    EnableCompareButton(host, true);
  }
  if (!left && ctx.host.SofortStartChecked() && !ctx.state.batch_active)
    CompareFolders(ctx, ctx.host.BinaryModeSelected());
}

void FillColumn(Context& ctx, const std::string& folder, bool& left, ScanAhead* ahead) {
  if (ctx.list.RowCount() == 0 && !ctx.state.left_filled_empty) left = true;
  FillNamedColumn(ctx, folder, left, ahead);
}

}  // namespace tavrik
