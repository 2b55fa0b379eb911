// The right tree listed while the left one fills: whatever the user sees must be exactly
// what one fill after the other shows, and a stop must leave no thread behind.
#include "core/scan/scan_ahead.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "core/scan/fill.h"
#include "support/mem_session.h"

namespace tavrik::testing {
namespace {

// 6 × 5 folders of 8 files below each root; variant changes a few names and adds others.
void AddTree(MemFileSystem& mem, const std::string& root, bool variant) {
  for (int a = 0; a < 6; ++a)
    for (int b = 0; b < 5; ++b)
      for (int f = 0; f < 8; ++f) {
        std::string path = root;
        path.append("/d").append(std::to_string(a)).append("/e").append(std::to_string(b));
        path.append("/f").append(std::to_string(f));
        if (variant && f == 7) path += "x";
        mem.AddFile(path, "content", 1700000000 + f);
      }
  mem.AddFile(root + "/top.txt", "top", 1700000000);
  if (variant) mem.AddFile(root + "/d2/e1/locked.bin", "secret", 1700000000);
}

// What a user sees of two fills.
struct Seen {
  std::vector<std::string> rows;
  std::vector<std::string> boxes;
  std::vector<std::string> statuses;
  std::vector<float> progress;
  int yields = 0;
};

Seen SeenOf(const MemSession& s) {
  Seen seen{s.Rows(), {}, s.host.status_log, s.host.progress_log, s.host.yields};
  for (const Box& box : s.host.boxes) seen.boxes.push_back(box.text);
  return seen;
}

void ExpectSame(const Seen& got, const Seen& want) {
  EXPECT_EQ(got.rows, want.rows);
  EXPECT_EQ(got.boxes, want.boxes);
  EXPECT_EQ(got.statuses, want.statuses);
  EXPECT_EQ(got.progress, want.progress);
  EXPECT_EQ(got.yields, want.yields);
}

// Access errors in both trees: a left folder and a right folder that cannot be opened, and
// a right file whose attributes cannot be read.
void Prepare(MemSession& s) {
  s.Threads(2);
  AddTree(s.mem, "/L", false);
  AddTree(s.mem, "/R", true);
  s.fs.FailWhere(FsCall::kOpen, "/L/d1/e3/", EACCES);
  s.fs.FailWhere(FsCall::kOpen, "/R/d4/e0/", EIO);
  s.fs.FailWhere(FsCall::kStat, "locked.bin", EACCES);
}

// Fills left, then right; at_yield runs at every yield with the fill's side.
void FillInTurn(MemSession& s, ScanAhead* ahead, const std::function<void(bool)>& at_yield) {
  bool left_fill = true;
  s.host.on_yield = [&] { at_yield(left_fill); };
  bool side = true;
  FillColumn(s.ctx, "/L", side);
  left_fill = false;
  side = false;
  FillColumn(s.ctx, "/R", side, ahead);
  s.host.on_yield = nullptr;
}

Seen OneAfterTheOther(const std::function<void(bool)>& at_yield) {
  MemSession s;
  Prepare(s);
  FillInTurn(s, nullptr, at_yield);
  return SeenOf(s);
}

// Waits (at most a few seconds) until the listing ahead has handed over n listings.
void WaitForHanded(const ScanAhead& ahead, size_t n) {
  for (int i = 0; i < 5000 && ahead.Handed() < n; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GE(ahead.Handed(), n);
}

constexpr size_t kRightFolders = 1 + 6 + 6 * 5;

// Catches listings made ahead that change what the user sees: rows, the access errors of
// the right tree (which must come at the right fill's turn, after the left tree's), status
// texts, progress or yields; also with bounds so tight that the listing ahead must wait for
// the right fill to take its listings.
TEST(ScanAheadTest, RightTreeListedAheadShowsExactlyWhatOneFillAfterTheOtherShows) {
  const auto nothing = [](bool) {};
  const Seen want = OneAfterTheOther(nothing);
  // Subfolders are taken last found first: d4 before d2.
  ASSERT_EQ(want.boxes.size(), 3u);
  EXPECT_NE(want.boxes[0].find("/L/d1/e3"), std::string::npos);
  EXPECT_NE(want.boxes[1].find("/R/d4/e0"), std::string::npos);
  EXPECT_NE(want.boxes[2].find("locked.bin"), std::string::npos);
  struct Bound {
    int folders;
    uint64_t bytes;
  };
  for (const Bound bound : {Bound{1 << 16, 64ull << 20}, Bound{3, 64ull << 20}, Bound{50, 1}}) {
    SCOPED_TRACE(bound.folders);
    MemSession s;
    Prepare(s);
    s.state.io.scan_ahead_folders = bound.folders;
    s.state.io.scan_ahead_bytes = bound.bytes;
    ScanAhead ahead(s.ctx, "/R");
    // The left fill starts only once the listing ahead has had its way, so its access
    // errors are surely met before their turn.
    const size_t room = bound.bytes == 1 ? 1 : static_cast<size_t>(bound.folders);
    WaitForHanded(ahead, std::min(kRightFolders, room));
    FillInTurn(s, &ahead, nothing);
    EXPECT_FALSE(ahead.Running());
    ExpectSame(SeenOf(s), want);
  }
}

// Catches a right folder that went away after it was listed ahead being entered with its
// old files, or its subfolders' listings (made ahead too) being entered, or a right root
// replaced meanwhile (a medium mounted) being entered from the listings of the old one: each
// must show what a fill at its turn shows.
TEST(ScanAheadTest, RightFoldersChangedAfterTheirListingAheadAreTakenAsAtTheirTurn) {
  // A serial fill that listed the right root before d3 went: d3 is reported at its turn.
  int right_yields = 0;
  MemSession* current = nullptr;
  const Seen want_gone = [&] {
    MemSession s;
    current = &s;
    Prepare(s);
    s.Threads(0);
    FillInTurn(s, nullptr, [&](bool left) {
      if (!left && ++right_yields == 1) {
        ASSERT_TRUE(current->mem.Remove("/R/d3"));
      }
    });
    return SeenOf(s);
  }();
  ASSERT_EQ(want_gone.boxes.size(), 4u);
  EXPECT_NE(want_gone.boxes[2].find("'/R/d3'"), std::string::npos);
  {
    MemSession s;
    Prepare(s);
    ScanAhead ahead(s.ctx, "/R");
    bool removed = false;
    FillInTurn(s, &ahead, [&](bool left) {
      if (!left || removed) return;
      WaitForHanded(ahead, kRightFolders);
      ASSERT_TRUE(s.mem.Remove("/R/d3"));
      removed = true;
    });
    EXPECT_TRUE(removed);
    ExpectSame(SeenOf(s), want_gone);
  }
  // The right root replaced by another folder of the same name during the left fill.
  const auto replace = [](MemSession& s) {
    s.mem.Remove("/R");
    s.mem.AddFile("/R/new/only.txt", "new", 1700000000);
  };
  const Seen want_new = [&] {
    MemSession s;
    Prepare(s);
    replace(s);
    FillInTurn(s, nullptr, [](bool) {});
    return SeenOf(s);
  }();
  {
    MemSession s;
    Prepare(s);
    ScanAhead ahead(s.ctx, "/R");
    bool replaced = false;
    FillInTurn(s, &ahead, [&](bool left) {
      if (!left || replaced) return;
      WaitForHanded(ahead, kRightFolders);
      replace(s);
      replaced = true;
    });
    ExpectSame(SeenOf(s), want_new);
  }
}

size_t ThreadsOfThisProcess() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ++n;
  return n;
}

// Catches a stop during the left fill (a signal, "Ende") that leaves the right tree's
// listing running on, its threads unjoined or its listings kept: the right fill is refused,
// the listing ahead breaks off by itself and nothing of it is left.
TEST(ScanAheadTest, AStopDuringTheLeftFillEndsTheListingAheadAndLeavesNoThread) {
  const size_t threads_before = ThreadsOfThisProcess();
  MemFsOptions options;
  options.latency = std::chrono::microseconds(300);  // the right listing takes a while
  MemSession s(options);
  s.Threads(2);
  AddTree(s.mem, "/L", false);
  AddTree(s.mem, "/R", true);
  {
    ScanAhead ahead(s.ctx, "/R");
    EXPECT_TRUE(ahead.Running());
    size_t handed_at_stop = 0;
    s.host.on_yield = [&] {
      if (s.state.stop.Requested()) return;
      s.state.stop.Request(StopReason::kSignal);
      handed_at_stop = ahead.Handed();
    };
    bool side = true;
    FillColumn(s.ctx, "/L", side);
    // It breaks off by itself rather than listing the tree to its end...
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LE(ahead.Handed(), handed_at_stop + 1);
    EXPECT_LT(ahead.Handed(), kRightFolders);
    // ...and the right fill, refused, joins it.
    side = false;
    FillColumn(s.ctx, "/R", side, &ahead);
    EXPECT_FALSE(ahead.Running());
  }
  EXPECT_EQ(ThreadsOfThisProcess(), threads_before);
  EXPECT_EQ(s.mem.OpenDescriptors(), 0u);
  // Nothing of the right tree was entered.
  for (const std::string& row : s.Rows()) EXPECT_EQ(row.back(), '|') << row;
}

// Catches a listing ahead that holds more than its bound while nobody takes its listings,
// or that is never stopped when no right fill comes to take it (the left fill found the list
// busy, the caller gave up): its owner going must join it.
TEST(ScanAheadTest, AListingAheadNobodyTakesIsJoinedWhenItsOwnerGoes) {
  const size_t threads_before = ThreadsOfThisProcess();
  MemFsOptions options;
  options.latency = std::chrono::microseconds(300);
  MemSession s(options);
  s.Threads(2);
  AddTree(s.mem, "/R", true);
  s.state.io.scan_ahead_folders = 2;  // it waits for room after two folders
  {
    ScanAhead ahead(s.ctx, "/R");
    WaitForHanded(ahead, 2);
    EXPECT_TRUE(ahead.Running());
    // And goes no further while nobody takes them.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ahead.Handed(), 2u);
  }
  EXPECT_EQ(ThreadsOfThisProcess(), threads_before);
  EXPECT_EQ(s.mem.OpenDescriptors(), 0u);
}

}  // namespace
}  // namespace tavrik::testing
