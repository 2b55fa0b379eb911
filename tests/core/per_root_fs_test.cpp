// Each root reached through its own file system: the fill, both comparisons, the sync and the
// two-way sync with the left and the right root on two file systems that know nothing of
// each other, and the user's own file system knowing neither.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/compare/compare.h"
#include "core/scan/fill.h"
#include "core/scan/scan_ahead.h"
#include "core/sync/sync.h"
#include "support/fake_host.h"
#include "support/fenced_file_system.h"
#include "support/mem_file_system.h"

namespace tavrik::testing {
namespace {

constexpr int64_t kT0 = 1700000000;

// Two roots on two file systems; the user's own files on a third. Each refuses the others'
// paths and descriptors.
struct SplitRoots {
  MemFileSystem left_mem;
  MemFileSystem right_mem;
  MemFileSystem user_mem;
  FencedFileSystem left{left_mem, 1, {"/R"}};
  FencedFileSystem right{right_mem, 2, {"/L"}};
  FencedFileSystem user{user_mem, 3, {"/L", "/R"}};
  ComparisonList list;
  SharedState state;
  FakeHost host;
  Context ctx{list, state, host, user, &left, &right};

  SplitRoots() {
    // Two file systems in memory number their folders alike; a folder made first on the
    // right gives its root another inode, as the roots of two machines have.
    right_mem.AddFolder("/var");
    // Helper threads in every pipeline, so their calls are fenced too.
    state.io.scan_helpers = state.io.scan_max_helpers = 2;
    state.io.compare_helpers = state.io.compare_max_helpers = 2;
    state.io.copy_helpers = state.io.copy_max_helpers = 2;
    left_mem.AddFile("/L/same.txt", "same", kT0);
    right_mem.AddFile("/R/same.txt", "same", kT0);
    left_mem.AddFile("/L/sub/newer-left.txt", "new on the left", kT0 + 100);
    right_mem.AddFile("/R/sub/newer-left.txt", "old", kT0);
    left_mem.AddFile("/L/newer-right.txt", "old", kT0);
    right_mem.AddFile("/R/newer-right.txt", "new on the right", kT0 + 100);
    // Equal in size and time, not in content: only the binary comparison tells.
    left_mem.AddFile("/L/differ.txt", "aaaa", kT0);
    right_mem.AddFile("/R/differ.txt", "aaab", kT0);
    right_mem.AddFile("/R/only-right.txt", "r", kT0);
  }

  void Fill(ScanAhead* ahead = nullptr) {
    bool side = true;
    FillColumn(ctx, "/L", side);
    side = false;
    FillColumn(ctx, "/R", side, ahead);
  }
  // The row of a file by its name on either side.
  int Row(const std::string& name) const {
    for (int i = 1; i <= list.RowCount(); ++i)
      if (list.LeftName(i) == name || list.RightName(i) == name) return i;
    ADD_FAILURE() << name << " has no row";
    return 0;
  }
  Mark MarkOf(const std::string& name) const {
    const int row = Row(name);
    return row == 0 ? Mark::kNone : list.GetMark(row);
  }
  void SetMark(const std::string& name, Mark mark) {
    if (const int row = Row(name)) list.SetMark(row, mark);
  }
  // Leaves only the named rows' marks for the sync.
  void KeepMarks(const std::vector<std::string>& names) {
    for (int i = 1; i <= list.RowCount(); ++i) {
      const std::string name(list.LeftName(i).empty() ? list.RightName(i) : list.LeftName(i));
      if (std::find(names.begin(), names.end(), name) == names.end()) list.SetMark(i, Mark::kNone);
    }
  }
};

// A root's file read or written through the other root's file system or the user's own:
// the wrong machine's file would be listed, compared, copied over or deleted.
TEST(PerRootFsTest, EachRootIsReachedOnlyThroughItsOwnFileSystem) {
  struct Case {
    const char* name;
    std::function<void(SplitRoots&)> run;
    std::function<void(SplitRoots&)> check;
    bool left_written;   // the left file system must have been written to
    bool right_written;  // the right one
  };
  const Case cases[] = {
      {"fill", [](SplitRoots& s) { s.Fill(); },
       [](SplitRoots& s) {
         EXPECT_EQ(s.list.RowCount(), 5);
         EXPECT_FALSE(s.list.RightName(s.Row("only-right.txt")).empty());
       },
       false, false},
      {"fill with the right tree listed ahead",
       [](SplitRoots& s) {
         ScanAhead ahead(s.ctx, "/R");
         s.Fill(&ahead);
       },
       [](SplitRoots& s) { EXPECT_EQ(s.list.RowCount(), 5); }, false, false},
      {"age comparison",
       [](SplitRoots& s) {
         s.Fill();
         CompareFolders(s.ctx, false);
       },
       [](SplitRoots& s) {
         EXPECT_EQ(s.MarkOf("sub/newer-left.txt"), Mark::kCopyRight);
         EXPECT_EQ(s.MarkOf("newer-right.txt"), Mark::kCopyLeft);
         EXPECT_EQ(s.MarkOf("differ.txt"), Mark::kEqual);
       },
       false, false},
      {"binary comparison",
       [](SplitRoots& s) {
         s.Fill();
         CompareFolders(s.ctx, true);
       },
       [](SplitRoots& s) {
         EXPECT_EQ(s.MarkOf("same.txt"), Mark::kEqual);
         EXPECT_EQ(s.MarkOf("differ.txt"), Mark::kDiffer);
         EXPECT_EQ(s.MarkOf("sub/newer-left.txt"), Mark::kGreater);
       },
       false, false},
      {"sync, copies to the right only",
       [](SplitRoots& s) {
         s.Fill();
         CompareFolders(s.ctx, false);
         s.KeepMarks({"sub/newer-left.txt"});
         SyncFolders(s.ctx);
       },
       [](SplitRoots& s) {
         EXPECT_EQ(s.right_mem.Content("/R/sub/newer-left.txt"), "new on the left");
       },
       false, true},
      {"sync, copies both ways",
       [](SplitRoots& s) {
         s.Fill();
         CompareFolders(s.ctx, false);
         SyncFolders(s.ctx);
       },
       [](SplitRoots& s) {
         EXPECT_EQ(s.right_mem.Content("/R/sub/newer-left.txt"), "new on the left");
         EXPECT_EQ(s.left_mem.Content("/L/newer-right.txt"), "new on the right");
       },
       true, true},
      {"sync, deletes on the right",
       [](SplitRoots& s) {
         s.Fill();
         s.SetMark("only-right.txt", Mark::kDeleteRight);
         SyncFolders(s.ctx);
       },
       [](SplitRoots& s) { EXPECT_FALSE(s.right_mem.Exists("/R/only-right.txt")); }, false, true},
      {"sync keeping versions",
       [](SplitRoots& s) {
         s.state.sync_options.versions = true;
         s.Fill();
         CompareFolders(s.ctx, false);
         s.KeepMarks({"sub/newer-left.txt", "newer-right.txt"});
         SyncFolders(s.ctx);
       },
       [](SplitRoots& s) {
         EXPECT_EQ(s.right_mem.Content("/R/sub/newer-left.txt"), "new on the left");
         EXPECT_EQ(s.left_mem.Content("/L/newer-right.txt"), "new on the right");
         EXPECT_FALSE(s.right_mem.Names("/R/.tavrik-versions").empty());
         EXPECT_FALSE(s.left_mem.Names("/L/.tavrik-versions").empty());
       },
       true, true},
      {"sync into the trash",
       [](SplitRoots& s) {
         s.state.sync_options.trash = true;
         s.Fill();
         s.SetMark("only-right.txt", Mark::kDeleteRight);
         SyncFolders(s.ctx);
       },
       [](SplitRoots& s) { EXPECT_FALSE(s.right_mem.Exists("/R/only-right.txt")); }, false, true},
      {"two-way sync, then a rename carried over",
       [](SplitRoots& s) {
         s.state.compare_options.two_way = true;
         s.Fill();
         CompareFolders(s.ctx, false);
         SyncFolders(s.ctx);
         s.left_mem.AddFile("/L/moved.txt", "same", kT0);
         s.left_mem.Remove("/L/same.txt");
         s.Fill();
         CompareFolders(s.ctx, false);
         ASSERT_TRUE(s.state.two_way.trusted) << s.state.two_way.verdict.reason;
         SyncFolders(s.ctx);
       },
       [](SplitRoots& s) {
         EXPECT_EQ(s.right_mem.Content("/R/moved.txt"), "same");
         EXPECT_FALSE(s.right_mem.Exists("/R/same.txt"));
         EXPECT_FALSE(s.left_mem.Names("/L/.tavrik-state").empty());
         EXPECT_FALSE(s.right_mem.Names("/R/.tavrik-state").empty());
       },
       true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SplitRoots s;
    c.run(s);
    c.check(s);
    EXPECT_EQ(s.left.Refused(), std::vector<std::string>{});
    EXPECT_EQ(s.right.Refused(), std::vector<std::string>{});
    EXPECT_EQ(s.user.Refused(), std::vector<std::string>{});
    EXPECT_EQ(s.user.Calls(), 0);
    EXPECT_GT(s.left.Calls(), 0);
    EXPECT_GT(s.right.Calls(), 0);
    EXPECT_EQ(s.left.Writes() > 0, c.left_written) << s.left.Writes();
    EXPECT_EQ(s.right.Writes() > 0, c.right_written) << s.right.Writes();
    for (const Box& box : s.host.boxes) EXPECT_EQ(box.intent, Intent::kInformation) << box.text;
  }
}

}  // namespace
}  // namespace tavrik::testing
