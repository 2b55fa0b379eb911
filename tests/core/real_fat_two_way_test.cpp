// The two-way sync onto a real FAT stick through its user-space driver (fusefat): a move and
// a rename in letter case only carried out as renames on a medium that ignores case and
// gives a renamed file the time of the rename (the hour shift against the state is
// tests/core/two_way_real_test.cpp's).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/compare/compare.h"
#include "core/sync/sync.h"
#include "support/real_fs.h"
#include "support/session.h"
#include "support/temp_tree.h"

namespace tavrik::testing {
namespace {

constexpr int64_t kBase = 1700000000;

class RealFatTwoWayTest : public ::testing::Test {
 protected:
  // A comparison of the local folder with the stick, two-way.
  void Compare(Session& s) {
    s.state.compare_options.two_way = true;
    s.host.binary_mode = false;
    s.Fill(local.Path("L"), true);
    s.Fill(fat.Dir(), false);
    CompareFolders(s.ctx, false);
  }
  // The first two-way run: no common state yet, so the new files are marked by hand.
  void FirstSync() {
    Session s;
    Compare(s);
    ASSERT_FALSE(s.state.two_way.trusted);
    for (int i = 1; i <= s.list.RowCount(); ++i)
      if (s.list.GetMark(i) == Mark::kOrphanCopyRight) s.list.SetMark(i, Mark::kCopyRight);
    SyncFolders(s.ctx);
    ASSERT_EQ(s.list.RowCount(), 0) << ::testing::PrintToString(s.Rows());
  }
  std::vector<std::string> Names(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Read(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  TempTree local;
  RealFs fat{RealFsKind::kFat};
};

// A move copied byte by byte, a rename in case only that left the old spelling (or copied
// the file onto itself), and the time a renamed file gets on this driver taken for a change
// at the next run.
TEST_F(RealFatTwoWayTest, MoveAndCaseRenameAreRenames) {
  REAL_FS_OR_SKIP(fat);
  local.Write("L/docs/a.txt", "aaaa", kBase + 2);
  local.Write("L/report.txt", "report", kBase + 4);
  local.Write("L/keep.txt", "k", kBase + 6);
  FirstSync();
  ASSERT_TRUE(fat.Remount()) << fat.why();

  local.Mkdir("L/moved");
  ASSERT_EQ(std::rename(local.Path("L/docs/a.txt").c_str(), local.Path("L/moved/a.txt").c_str()),
            0);
  ASSERT_EQ(std::rename(local.Path("L/report.txt").c_str(), local.Path("L/Report.txt").c_str()), 0);
  {
    Session s;
    Compare(s);
    ASSERT_TRUE(s.state.two_way.trusted) << s.state.two_way.verdict.reason;
    ASSERT_EQ(s.state.two_way.moves.size(), 2u) << ::testing::PrintToString(s.Rows());
    SyncFolders(s.ctx);
    int moves = 0;
    for (const SyncAction& a : s.host.actions) moves += a.kind == SyncAction::kMove;
    EXPECT_EQ(moves, 2);
    EXPECT_EQ(s.fs.Count(FsCall::kCopyRange), 0) << "a byte was copied";
  }
  EXPECT_EQ(Read(fat.Path("moved/a.txt")), "aaaa");
  EXPECT_FALSE(std::filesystem::exists(fat.Path("docs/a.txt")));
  const std::vector<std::string> names = Names(fat.Dir());
  EXPECT_NE(std::find(names.begin(), names.end(), "Report.txt"), names.end())
      << ::testing::PrintToString(names);
  EXPECT_EQ(std::find(names.begin(), names.end(), "report.txt"), names.end());

  ASSERT_TRUE(fat.Remount()) << fat.why();
  Session again;
  Compare(again);
  for (int i = 1; i <= again.list.RowCount(); ++i)
    EXPECT_EQ(again.list.GetMark(i), Mark::kEqual) << ::testing::PrintToString(again.Rows());
}

}  // namespace
}  // namespace tavrik::testing
