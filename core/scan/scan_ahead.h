// Listing a tree ahead of its fill: while one column fills, the other column's tree is
// listed on threads of its own, so that on a machine with more than one core the two trees
// are read at once. The listings wait, in the order the scan takes its folders, until the
// fill of that tree takes them; everything the user sees (files entered, access errors,
// yields) still happens at that fill's turn, on the caller's thread, as without them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/fs/file_stamp.h"
#include "core/list/shared_state.h"
#include "core/parallel/run_scope.h"
#include "core/scan/scan_walk.h"

namespace tavrik {

class ScanAhead {
 public:
  // Starts listing folder's tree, the right root's, through the right root's file system
  // (none when io.scan_ahead_folders is 0 or no thread can be made: the fill then lists it
  // at its turn). A stop of the program stops it too.
  ScanAhead(Context& ctx, const std::string& folder);
  // Stop().
  ~ScanAhead();
  ScanAhead(const ScanAhead&) = delete;
  ScanAhead& operator=(const ScanAhead&) = delete;

  // Stops listing, joins every thread it made and drops the listings not taken.
  void Stop();
  // True while its thread is there (not yet joined).
  bool Running() const { return walker_.joinable(); }
  // Listings made and waiting or taken so far (for tests and figures).
  size_t Handed() const { return handed_.load(); }

  // For the scan at its turn. Whether the listings are of this root: the same folder, and
  // still the same one (a medium mounted or a folder replaced meanwhile is listed afresh).
  // fs: the file system the scan at its turn reads.
  bool Serves(const FileSystem& fs, const std::string& root, const RootId& id) const;
  // Waits for the listing of path: listings before it (of folders the scan no longer
  // descends into) are dropped. None once the walk ended without it.
  std::optional<ScanResult> Take(const std::string& path);
  // The scan at its turn yielded: listings made before are stale.
  void Yielded() { yields_.fetch_add(1); }
  uint64_t Yields() const { return yields_.load(); }

 private:
  struct Listed {
    ScanItem item;
    ScanResult result;
    uint64_t weight = 0;
  };
  void Walk(const IoTuning& io, const RuleSet& rules, bool follow_links);
  // The walk of a far folder: a folder's subfolders are asked for as soon as its listing
  // comes, not at its turn, so that the link's delay counts once per level of the tree
  // rather than once per folder. Handed on in the same order.
  void WalkFar(const RuleSet& rules, bool follow_links);
  // Waits for room; false when stopping.
  bool Hand(Listed listed);

  FileSystem& fs_;
  const std::string folder_;
  RootId root_id_;
  RunScope scope_;
  std::atomic<uint64_t> yields_{0};
  std::atomic<size_t> handed_{0};
  size_t max_count_ = 0;
  uint64_t max_weight_ = 0;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Listed> ready_;
  uint64_t ready_weight_ = 0;
  bool stop_ = false;
  bool ended_ = false;
  std::thread walker_;
};

}  // namespace tavrik
