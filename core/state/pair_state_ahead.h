// Loading a pair's state while its second folder is still being listed. The state files of
// a large pair take a good part of a comparison's own time to read, and while a folder is
// listed a core is mostly free. The left file is read at once; the right one waits for GoOn,
// which the fill gives once its own table of the folder is gone, so that the whole state never
// sits in memory beside that table. The comparison takes what was loaded only when neither
// root nor anything in either state folder changed since the load began; otherwise it loads
// again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "core/fs/file_system.h"
#include "core/state/pair_state.h"

namespace tavrik {

class PairStateAhead {
 public:
  // Starts loading on a thread of its own (or, where none can be made, leaves it to Take's
  // caller to load).
  PairStateAhead(FileSystem& left_fs, std::string left_root, FileSystem& right_fs,
                 std::string right_root);
  // Cancels the load and waits for its thread.
  ~PairStateAhead();
  PairStateAhead(const PairStateAhead&) = delete;
  PairStateAhead& operator=(const PairStateAhead&) = delete;

  // Lets the load go on to the right file.
  void GoOn();
  // Waits for the load to end (letting it go on).
  void Wait();
  // Waits for the load. True, with the state and verdict moved out, when it is of these
  // roots and still what loading now would give; false (nothing moved) otherwise.
  bool Take(const std::string& left_root, const std::string& right_root, PairState* state,
            TrustVerdict* verdict);

 private:
  FileSystem& left_fs_;
  FileSystem& right_fs_;
  const std::string left_root_;
  const std::string right_root_;
  std::atomic<bool> cancel_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool go_on_ = false;
  bool loaded_ = false;
  std::string before_;
  PairState state_;
  TrustVerdict verdict_;
  std::thread thread_;
};

// What a load of the pair's state depends on, as one text: each root's identity, and its
// state folder's and every file's in it (inode, size, times of change). Equal texts before
// and after a load mean nothing it read changed meanwhile.
std::string StateFingerprint(FileSystem& left_fs, const std::string& left_root,
                             FileSystem& right_fs, const std::string& right_root);

}  // namespace tavrik
