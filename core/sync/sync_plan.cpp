#include "core/sync/sync_plan.h"

#include "core/fs/paths.h"

namespace tavrik {

namespace {

SyncSide SideOf(std::string_view root, const RootId* root_id, std::string_view rel,
                const FileStamp* seen) {
  SyncSide side{root, root_id, std::string(rel), std::nullopt, ""};
  if (seen) side.seen = *seen;
  if (!rel.empty()) side.full = JoinPath(root, rel);
  return side;
}

// A copy onto a side without a file goes to the source's relative path on that side.
void AimAt(SyncSide& target, const SyncSide& source) {
  if (!target.rel.empty()) return;
  target.rel = source.rel;
  target.seen.reset();
  target.full = JoinPath(target.root, target.rel);
}

}  // namespace

bool RowPlan::Acts() const {
  return mark == Mark::kCopyRight || mark == Mark::kCopyLeft || mark == Mark::kDeleteRight ||
         mark == Mark::kDeleteLeft || mark == Mark::kDeleteBoth;
}

const SyncSide* RowPlan::Lacking() const {
  const SyncSide* needed = nullptr;
  if (mark == Mark::kDeleteLeft || mark == Mark::kCopyRight) needed = &left;
  if (mark == Mark::kDeleteRight || mark == Mark::kCopyLeft) needed = &right;
  return needed && needed->rel.empty() ? needed : nullptr;
}

std::string RowPlan::LackingPath() const {
  const SyncSide* lacking = Lacking();
  if (!lacking) return {};
  const SyncSide& other = lacking == &left ? right : left;
  return JoinPath(lacking->root, other.rel);
}

RowPlan PlanRow(const ComparisonList& list, const SharedState& state, int pos) {
  RowPlan plan;
  plan.mark = list.GetMark(pos);
  plan.left = SideOf(state.left_root, &state.left_root_id, list.LeftName(pos), list.LeftStamp(pos));
  plan.right =
      SideOf(state.right_root, &state.right_root_id, list.RightName(pos), list.RightStamp(pos));
  plan.left.kind = list.LeftKind(pos);
  plan.right.kind = list.RightKind(pos);
  if (plan.mark == Mark::kCopyRight) AimAt(plan.right, plan.left);
  if (plan.mark == Mark::kCopyLeft) AimAt(plan.left, plan.right);
  return plan;
}

}  // namespace tavrik
