// Copies prepared ahead of the synchronisation's row loop: helper threads copy the sources
// of the rows to come into temporary files beside their targets, in walk order, while the
// row loop commits each at its turn (the checks, then the rename). On a share or a cold
// disk many copies are then in flight; what the user sees still happens row by row.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/parallel/ordered_pipeline.h"
#include "core/sync/file_ops.h"

namespace tavrik {

// One copy to prepare: the roots are the run's own (they outlive the pipeline), the rest
// is owned.
struct CopyJob {
  int row = 0;
  // The file systems of the source's root and the target's.
  FileSystem* src_fs = nullptr;
  FileSystem* dst_fs = nullptr;
  std::string_view src_root, dst_root;
  const RootId* src_root_id = nullptr;
  const RootId* dst_root_id = nullptr;
  std::string src_rel, dst_rel;
  std::optional<FileStamp> src_seen, dst_seen;
  // Copied at its row's turn: a missing folder or a full medium is then the row's failure,
  // not a reason to leave the copy to the turn.
  bool at_turn = false;
  bool link = false;    // the source is a link listed as itself: copied as a link
  bool follow = false;  // links are followed: the source may lie below a linked folder
};

struct CopyOutcome {
  std::unique_ptr<StagedCopy> copy;  // set when prepared
  std::optional<FsError> error;      // set when preparing failed
  // Not prepared: the target's folder is still to be made, or its medium ran full (then
  // no_space); the row is copied at its turn.
  bool not_prepared = false;
  bool no_space = false;
};

struct NoCopyWorker {};
using CopyPipeline = OrderedPipeline<CopyJob, CopyOutcome, NoCopyWorker>;

// The pipeline of a run: helpers threads at first (one at least, so that the row loop
// never copies itself), up to max_helpers while the copies wait; at most window copies and
// window_bytes of them ahead. sweeper clears each target folder of leftovers of killed runs
// before a copy is written into it.
std::unique_ptr<CopyPipeline> MakeCopyPipeline(int helpers, int max_helpers, int window,
                                               uint64_t window_bytes, TempSweeper& sweeper,
                                               const RunScope& scope);

// One helper for the copies made at their row's turn (nothing prepared ahead, a retry):
// the row loop waits for it and keeps the window alive meanwhile.
std::unique_ptr<CopyPipeline> MakeTurnCopier(TempSweeper& sweeper, const RunScope& scope);

}  // namespace tavrik
