#include "core/scan/excluded_pairs.h"

#include "core/fs/paths.h"

namespace tavrik {

ExcludedKeys::ExcludedKeys(const std::vector<ExcludedEntry>& excluded) {
  keys_.reserve(excluded.size());
  for (const ExcludedEntry& entry : excluded) keys_.insert(PairingKey(entry.path));
}

bool ExcludedKeys::Covers(std::string_view name) const {
  if (keys_.empty()) return false;
  // The key of a folder on the path is the same stretch of the whole path's key: neither
  // composing nor folding ever reaches across a separator.
  const std::string key = PairingKey(name);
  for (size_t cut = key.find(kSep); cut != std::string::npos; cut = key.find(kSep, cut + 1))
    if (keys_.count(key.substr(0, cut)) != 0) return true;
  return keys_.count(key) != 0;
}

void RestoreWithheldRows(Context& ctx) {
  ComparisonList& list = ctx.list;
  for (const WithheldRow& row : ctx.state.withheld) {
    const int pos = list.AddRow(list.RowCount() + 1, row.name);
    list.SetLeftStamp(pos, &row.stamp, row.kind);
  }
  ctx.state.withheld.clear();
  ctx.state.left_exclusions.partners = 0;
}

void WithholdUncoveredPartners(Context& ctx) {
  const ExcludedKeys right(ctx.state.right_exclusions.excluded);
  if (right.empty()) return;
  ComparisonList& list = ctx.list;
  std::vector<WithheldRow>& withheld = ctx.state.withheld;
  list.RemoveRowsIf([&](int pos) {
    const std::string_view left = list.LeftName(pos);
    if (left.empty() || !list.RightName(pos).empty() || !right.Covers(left)) return false;
    const FileStamp* stamp = list.LeftStamp(pos);
    withheld.push_back({std::string(left), stamp ? *stamp : FileStamp{}, list.LeftKind(pos)});
    return true;
  });
  ctx.state.left_exclusions.partners = withheld.size();
}

}  // namespace tavrik
