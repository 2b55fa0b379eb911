// What the synchronisation does with one row, decided from the list alone: which file is
// copied from where to where, or which files are deleted. The run carries the plan out; the
// console's dry run prints it. The decision lives here and nowhere else.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/fs/file_stamp.h"
#include "core/list/shared_state.h"
#include "core/sync/file_ops.h"

namespace tavrik {

// One side of a row: where its file lies and what the fill saw of it. Copied out of the
// list, so nothing the window does during a message box can pull it away.
struct SyncSide {
  std::string_view root;
  const RootId* root_id = nullptr;
  std::string rel;                  // empty: the row has no file on this side
  std::optional<FileStamp> seen;    // what the fill recorded; none where no file was
  std::string full;                 // the full path as the error box shows it; empty without rel
  FileKind kind = FileKind::kFile;  // what the fill saw there

  TreePath Tree() const { return {root, rel, root_id}; }
  const FileStamp* Seen() const { return seen ? &*seen : nullptr; }
};

struct RowPlan {
  Mark mark = Mark::kNone;
  // For a copy the target side already names where the copy goes: a side without a file
  // takes the source's relative path there (and has nothing seen).
  SyncSide left;
  SyncSide right;

  // The marks the run acts on: copies and deletions; every other row is merely removed.
  bool Acts() const;
  bool IsCopy() const { return mark == Mark::kCopyRight || mark == Mark::kCopyLeft; }
  const SyncSide& From() const { return mark == Mark::kCopyLeft ? right : left; }
  const SyncSide& To() const { return mark == Mark::kCopyLeft ? left : right; }
  // The side the mark needs a file on where the row has none (a deletion's side, a copy's
  // source): nothing is done for such a row. "XX" deletes what the row has, so it never
  // lacks a side. nullptr when nothing is lacking.
  const SyncSide* Lacking() const;
  // The path the lacking side would name: its root with the other side's relative path.
  std::string LackingPath() const;
};

// The plan for the row at pos, with the roots the fills scanned.
RowPlan PlanRow(const ComparisonList& list, const SharedState& state, int pos);

}  // namespace tavrik
