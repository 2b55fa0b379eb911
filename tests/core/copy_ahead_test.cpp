// Copies prepared ahead of the sync's row loop on helper threads: whatever order they
// complete in, the user sees the same rows, boxes and files appearing as one copy at a time
// would give; Abort leaves no temporary file; a failure while preparing shows at its row.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>

#include "core/sync/sync.h"
#include "support/mem_session.h"

namespace tavrik::testing {
namespace {

constexpr int kFiles = 40;

std::string Name(int i) { return std::string("f").append(std::to_string(100 + i)) + ".txt"; }

// Every file of a folder tree, names beginning with "." included, as "path" lines.
std::vector<std::string> AllNames(const MemFileSystem& mem, const std::string& folder) {
  std::vector<std::string> all;
  for (const std::string& name : mem.Names(folder)) {
    const std::string path = folder + "/" + name;
    all.push_back(path);
    for (const std::string& below : AllNames(mem, path)) all.push_back(below);
  }
  return all;
}

std::vector<std::string> Visible(const MemFileSystem& mem, const std::string& folder) {
  std::vector<std::string> visible;
  for (const std::string& path : AllNames(mem, folder))
    if (path.find("/.") == std::string::npos) visible.push_back(path);
  return visible;
}

struct SyncRun {
  std::vector<std::string> boxes;
  std::vector<std::vector<std::string>> seen_at_yields;
  std::vector<std::string> rows;
  std::vector<std::string> right_after;
  int prepared_before_first_box = 0;
};

// Left: kFiles new files, half of them in subfolders still to be made on the right; right:
// older versions of every third. Two sources cannot be read; the answers come from answers.
SyncRun SyncWith(int window, std::chrono::microseconds latency, std::vector<MsgAnswer> answers,
                 bool one_shot_fault = false) {
  MemFsOptions options;
  options.latency = latency;
  MemSession s(options);
  for (int i = 0; i < kFiles; ++i) {
    const std::string rel = (i % 2 ? "sub" + std::to_string(i % 4) + "/" : "") + Name(i);
    s.mem.AddFile("/L/" + rel, "new " + rel, 1700000100);
    if (i % 3 == 0) s.mem.AddFile("/R/" + rel, "old " + rel, 1700000000);
  }
  s.mem.AddFolder("/R");
  s.state.io.copy_window = window;
  if (window > 0) s.state.io.copy_helpers = 2;
  s.FillBoth("/L", "/R");
  CompareFolders(s.ctx, false);
  for (int i = 1; i <= s.list.RowCount(); ++i)
    if (s.list.GetMark(i) == Mark::kOrphanCopyRight) s.list.SetMark(i, Mark::kCopyRight);
  s.host = FakeHost();
  s.host.answers.assign(answers.begin(), answers.end());
  if (one_shot_fault) {
    // Only the first attempt to open this source fails.
    auto failed = std::make_shared<bool>(false);
    s.fs.SetHook([failed](FsCall call, const std::string& name) {
      if (call != FsCall::kOpen || name.find(Name(7)) == std::string::npos || *failed) return 0;
      *failed = true;
      return EACCES;
    });
  } else {
    s.fs.FailWhere(FsCall::kOpen, Name(7), EACCES);
    s.fs.FailWhere(FsCall::kOpen, Name(30), EACCES);
  }
  SyncRun run;
  // A yield while a copy is being written shows what the last one showed: only changes
  // count, from the state before the run on.
  run.seen_at_yields.push_back(Visible(s.mem, "/R"));
  s.host.on_yield = [&] {
    std::vector<std::string> now = Visible(s.mem, "/R");
    if (now != run.seen_at_yields.back()) run.seen_at_yields.push_back(std::move(now));
  };
  s.host.on_box = [&](const std::string&, Intent) {
    if (run.boxes.empty()) run.prepared_before_first_box = s.fs.Count(FsCall::kCopyRange);
    run.boxes.push_back(s.host.boxes.back().text);
  };
  SyncFolders(s.ctx);
  run.rows = s.Rows();
  run.right_after = AllNames(s.mem, "/R");
  for (const std::string& path : AllNames(s.mem, "/L"))
    if (path.find("/.") != std::string::npos) ADD_FAILURE() << "temporary file left " << path;
  EXPECT_EQ(s.mem.OpenDescriptors(), 0u);
  return run;
}

// Catches prepared copies committed out of row order, files appearing in a target folder
// before their row's turn, or boxes in another order than one copy at a time gives.
TEST(CopyAheadTest, ResultsInRowOrderWhateverOrderTheCopiesCompleteIn) {
  const SyncRun reference = SyncWith(0, std::chrono::microseconds(0), {});
  ASSERT_EQ(reference.boxes.size(), 2u);
  const SyncRun ahead = SyncWith(16, std::chrono::microseconds(200), {});
  EXPECT_EQ(ahead.boxes, reference.boxes);
  EXPECT_EQ(ahead.seen_at_yields, reference.seen_at_yields);
  EXPECT_EQ(ahead.rows, reference.rows);
  EXPECT_EQ(ahead.right_after, reference.right_after);
}

// Catches an Abort that leaves the copies prepared for later rows behind as temporary files
// (or worse, puts them in place).
TEST(CopyAheadTest, AbortRemovesEveryPreparedCopy) {
  const SyncRun run = SyncWith(16, std::chrono::microseconds(200), {MsgAnswer::kAbort});
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_GT(run.prepared_before_first_box, 1) << "nothing was prepared ahead";
  for (const std::string& path : run.right_after)
    EXPECT_EQ(path.find("/."), std::string::npos) << path;
  // Only the rows before the failing one (from the last row up) reached the right side.
  const SyncRun reference = SyncWith(0, std::chrono::microseconds(0), {MsgAnswer::kAbort});
  EXPECT_EQ(run.right_after, reference.right_after);
  EXPECT_EQ(run.rows, reference.rows);
}

// Catches a failure while preparing that is lost (the file then copied at its turn as if
// nothing had happened), shown at another row, or that Retry cannot get past.
TEST(CopyAheadTest, AFailureWhilePreparingShowsAtItsRowAndRetryCopiesAgain) {
  const SyncRun reference = SyncWith(0, std::chrono::microseconds(0), {MsgAnswer::kRetry}, true);
  const SyncRun run = SyncWith(16, std::chrono::microseconds(200), {MsgAnswer::kRetry}, true);
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes, reference.boxes);
  EXPECT_GT(run.prepared_before_first_box, 1) << "nothing was prepared ahead";
  EXPECT_NE(run.boxes[0].find("sub3/" + Name(7)), std::string::npos) << run.boxes[0];
  EXPECT_EQ(run.rows, std::vector<std::string>{});
  EXPECT_EQ(run.right_after, reference.right_after);
}

// Catches a prepared copy committed although its source changed after it was prepared,
// with size kept and time put back so that only the change time tells: the row must be
// copied afresh at its turn.
TEST(CopyAheadTest, ASourceChangedAfterPreparingIsCopiedAfresh) {
  MemFsOptions options;
  options.latency = std::chrono::microseconds(100);
  options.capacity = 1 << 20;
  MemSession s(options);
  s.mem.AddFile("/L/a.txt", "first version", 2000);
  s.mem.AddFile("/R/a.txt", "old", 1000);
  s.mem.AddFile("/L/b.txt", "b new", 2000);
  s.mem.AddFile("/R/b.txt", "b old", 1000);
  s.FillBoth("/L", "/R");
  CompareFolders(s.ctx, false);
  s.host = FakeHost();
  ASSERT_EQ(s.list.LeftName(1), "a.txt");
  s.state.io.copy_helpers = 1;
  // Both copies are prepared once each has set its time and then closed its file.
  std::atomic<int> times_set{0}, closed_after{0};
  s.fs.SetHook([&](FsCall call, const std::string&) {
    if (call == FsCall::kSetTimes) ++times_set;
    if (call == FsCall::kClose && times_set == 2) ++closed_after;
    return 0;
  });
  bool changed = false;
  s.host.on_yield = [&] {
    if (changed) return;
    changed = true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (closed_after == 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the close itself
    ASSERT_GT(closed_after.load(), 0) << "a.txt was not prepared ahead";
    s.mem.AddFile("/L/a.txt", "later version", 2000);  // same size, same time
  };
  SyncFolders(s.ctx);
  EXPECT_TRUE(changed);
  EXPECT_TRUE(s.host.boxes.empty());
  EXPECT_EQ(s.mem.Content("/R/a.txt"), "later version");
}

}  // namespace
}  // namespace tavrik::testing
