// Many requests in flight, results in order: with a latency per call (as on a share) the
// scan and the binary comparison widen their work, and still everything the user sees comes
// in exactly the order of one request at a time.
#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <thread>

#include "core/scan/scan.h"
#include "core/sync/sync.h"
#include "support/mem_session.h"

namespace tavrik::testing {
namespace {

// A tree of 64 folders with 12 files each, below two levels: enough work left for helpers
// that come only after two samples of waiting, even when the first ones ran far ahead.
void AddTree(MemFileSystem& mem, const std::string& root, bool variant) {
  for (int a = 0; a < 8; ++a)
    for (int b = 0; b < 8; ++b)
      for (int f = 0; f < 12; ++f) {
        std::string rel = "d";  // with +=: GCC 12 misreads a + chain here (-Wrestrict)
        rel += std::to_string(a) + "/e" + std::to_string(b) + "/f" + std::to_string(f) + ".bin";
        std::string content = "content of " + rel;
        if (variant && f % 3 == 0) content[0] = 'C';  // same size, other content
        if (variant && f % 5 == 1) content += "+";    // other size
        mem.AddFile(root + "/" + rel, content, 1700000000);
      }
}

struct Outcome {
  std::vector<std::string> rows;
  std::vector<std::string> boxes;
  size_t scan_threads = 0;
  size_t compare_threads = 0;
};

Outcome RunOnce(std::chrono::microseconds latency, bool default_threads) {
  MemFsOptions options;
  options.latency = latency;
  MemSession s(options);
  if (!default_threads) s.Threads(0);
  AddTree(s.mem, "/L", false);
  AddTree(s.mem, "/R", true);
  std::mutex mutex;
  std::set<std::thread::id> scan_threads, compare_threads;
  bool comparing = false;
  s.fs.SetHook([&](FsCall call, const std::string& name) {
    {
      std::lock_guard lock(mutex);
      (comparing ? compare_threads : scan_threads).insert(std::this_thread::get_id());
    }
    // One unreadable file per side, and one folder that cannot be listed.
    if (call == FsCall::kOpen &&
        (name.find("e1/f2.bin") != std::string::npos ||
         name.find("R/d2/e3/f7.bin") != std::string::npos || name == "f4.bin"))
      return EACCES;
    if (call == FsCall::kOpen && name == "/R/d1/e0/") return EIO;
    return 0;
  });
  s.FillBoth("/L", "/R");
  {
    std::lock_guard lock(mutex);
    comparing = true;
  }
  CompareFolders(s.ctx, true);
  Outcome o;
  o.rows = s.Rows();
  for (const Box& box : s.host.boxes) o.boxes.push_back(box.text);
  o.scan_threads = scan_threads.size();
  o.compare_threads = compare_threads.size();
  return o;
}

// Catches results of requests that complete out of order landing on the wrong rows, boxes
// shown in another order than the rows', or a scan whose order depends on its helpers.
TEST(ParallelIoTest, SlowCallsInFlightGiveTheSameRowsAndBoxesInTheSameOrder) {
  const Outcome reference = RunOnce(std::chrono::microseconds(0), false);
  ASSERT_GT(reference.boxes.size(), 3u);
  const Outcome slow = RunOnce(std::chrono::microseconds(300), true);
  EXPECT_EQ(slow.rows, reference.rows);
  EXPECT_EQ(slow.boxes, reference.boxes);
  // Waiting calls made the scan and the comparison widen beyond their starting helpers.
  EXPECT_GT(slow.scan_threads, 2u);
  EXPECT_GT(slow.compare_threads, 4u);
}

// Catches copy helpers that never widen while every copy waits for its medium (a share):
// the copies prepared ahead then stay one or two at a time.
TEST(ParallelIoTest, CopiesPreparedAheadWidenWhileTheyWait) {
  MemFsOptions options;
  options.latency = std::chrono::microseconds(300);
  options.capacity = 64 << 20;
  MemSession s(options);
  for (int i = 0; i < 150; ++i) {
    s.mem.AddFile("/L/f" + std::to_string(i), "new " + std::to_string(i), 2000);
    s.mem.AddFile("/R/f" + std::to_string(i), "old " + std::to_string(i), 1000);
  }
  s.FillBoth("/L", "/R");
  CompareFolders(s.ctx, false);
  s.host = FakeHost();
  s.state.io.copy_helpers = 1;
  std::mutex mutex;
  std::set<std::thread::id> copying;
  s.fs.SetHook([&](FsCall call, const std::string&) {
    if (call == FsCall::kCopyRange) {
      std::lock_guard lock(mutex);
      copying.insert(std::this_thread::get_id());
    }
    return 0;
  });
  SyncFolders(s.ctx);
  EXPECT_EQ(s.list.RowCount(), 0);
  EXPECT_GT(copying.size(), 2u);
}

}  // namespace
}  // namespace tavrik::testing
