#include "core/sync/copy_ahead.h"

#include <algorithm>
#include <cerrno>

namespace tavrik {

namespace {

CopyOutcome Prepare(const CopyJob& job, StageWith with) {
  with.link = job.link;
  with.follow_source = job.follow;
  const TreePath src{job.src_root, job.src_rel, job.src_root_id};
  const TreePath dst{job.dst_root, job.dst_rel, job.dst_root_id};
  StageNotes notes;
  Result<std::unique_ptr<StagedCopy>> copy =
      StageCopy(*job.src_fs, src, *job.dst_fs, dst, job.src_seen ? &*job.src_seen : nullptr,
                job.dst_seen ? &*job.dst_seen : nullptr, with, &notes);
  CopyOutcome outcome;
  if (copy.ok()) {
    outcome.copy = std::move(copy.value());
  } else if (!job.at_turn && (notes.folder_missing || notes.no_space)) {
    // A copy at its turn would make the folder, or have the room a serial run has.
    outcome.not_prepared = true;
    outcome.no_space = notes.no_space;
  } else {
    outcome.error = copy.error();
  }
  return outcome;
}

std::unique_ptr<CopyPipeline> MakePipeline(PipelineShape shape, TempSweeper& sweeper,
                                           const RunScope& scope) {
  // The row loop commits and keeps the window alive; preparing later copies itself would
  // only delay the rows.
  shape.consumer_runs_ahead = false;
  CopyPipeline::Tasks tasks;
  tasks.make_worker = [] { return std::make_unique<NoCopyWorker>(); };
  const StageWith with{&sweeper, &scope};
  tasks.run = [with](NoCopyWorker&, const CopyJob& job) { return Prepare(job, with); };
  tasks.failed = [](const CopyJob& job, const char* what) {
    CopyOutcome outcome;
    outcome.error = FsError{EIO, JoinPath(job.src_root, job.src_rel), what};
    return outcome;
  };
  return std::make_unique<CopyPipeline>(shape, std::move(tasks), scope);
}

}  // namespace

std::unique_ptr<CopyPipeline> MakeCopyPipeline(int helpers, int max_helpers, int window,
                                               uint64_t window_bytes, TempSweeper& sweeper,
                                               const RunScope& scope) {
  PipelineShape shape;
  shape.helpers = std::max(helpers, 1);
  shape.max_helpers = std::max(max_helpers, shape.helpers);
  shape.window = static_cast<size_t>(std::max(window, 1));
  shape.window_weight = window_bytes;
  return MakePipeline(shape, sweeper, scope);
}

std::unique_ptr<CopyPipeline> MakeTurnCopier(TempSweeper& sweeper, const RunScope& scope) {
  PipelineShape shape;
  shape.helpers = shape.max_helpers = 1;
  shape.window = 1;
  return MakePipeline(shape, sweeper, scope);
}

}  // namespace tavrik
