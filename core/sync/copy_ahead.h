// Copies prepared ahead of the synchronisation's row loop: helper threads copy the sources
// of the rows to come into temporary files beside their targets, in walk order, while the
// row loop commits each at its turn (the checks, then the rename). On a share or a cold
// disk many copies are then in flight; what the user sees still happens row by row.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/parallel/wait_gauge.h"
#include "core/sync/file_ops.h"

namespace tavrik {

// One copy to prepare: the roots are the run's own (they outlive the pipeline), the rest
// is owned.
struct CopyJob {
  int row = 0;
  std::string_view src_root, dst_root;
  const RootId* src_root_id = nullptr;
  const RootId* dst_root_id = nullptr;
  std::string src_rel, dst_rel;
  std::optional<FileStamp> src_seen, dst_seen;
};

struct CopyOutcome {
  std::unique_ptr<PreparedCopy> copy;  // set when prepared
  std::optional<FsError> error;        // set when preparing failed
  bool not_prepared = false;           // the target's folder is still to be made: copy at the turn
};

class CopyAhead {
 public:
  CopyAhead(FileSystem& fs, int helpers, int max_helpers, int window);
  // Stops the helpers and drops every prepared copy not taken: their temporary files go.
  ~CopyAhead();
  CopyAhead(const CopyAhead&) = delete;
  CopyAhead& operator=(const CopyAhead&) = delete;

  bool HasRoom() const;
  void Add(CopyJob job);
  // The row of the oldest job not yet taken; 0 when there is none.
  int NextRow() const;
  // The outcome of the oldest job, waiting for it, or preparing it here when nobody has.
  CopyOutcome Take();

 private:
  struct Slot {
    CopyJob job;
    CopyOutcome outcome;
    enum State { kWaiting, kRunning, kDone } state = kWaiting;
  };
  void RunSlot(Slot& slot, std::unique_lock<std::mutex>& lock);
  void HelperLoop();
  void GrowIfWaiting();
  Slot* FirstWaiting();

  FileSystem& fs_;
  const size_t window_;
  const int max_helpers_;
  WaitGauge gauge_;
  mutable std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable done_;
  std::deque<std::unique_ptr<Slot>> slots_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace tavrik
