// The two-way state on real file systems: the root's identity on the system disk and on a
// stick through the real FAT driver (fusefat), and there the move, the rename in letter case
// only and the hour shift of the stick against its own state.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "core/compare/compare.h"
#include "core/scan/fill.h"
#include "core/state/pair_state.h"
#include "core/state/root_identity.h"
#include "support/real_fs.h"
#include "support/session.h"
#include "support/temp_tree.h"
#include "support/time_zone.h"
#include "support/two_way_pair.h"

namespace tavrik::testing {
namespace {

constexpr int64_t kBase = 1700000000;

// A folder copied with all it holds (or made anew under the old name) taken for the same
// root, or one root's identity not surviving its text form.
TEST(RootIdentityTest, SystemDiskFoldersByInode) {
  TempTree tree;
  tree.Mkdir("a");
  RootIdentity a, again, copy;
  bool stable = false;
  ASSERT_TRUE(IdentityOfRoot(RealFileSystem(), tree.Path("a"), &a, &stable));
  ASSERT_TRUE(IdentityOfRoot(RealFileSystem(), tree.Path("a") + "/", &again));
  EXPECT_EQ(a, again);
  EXPECT_FALSE(a.volume.empty());
  // Renamed, it is still the same folder where inodes are stable; a copy never is.
  std::filesystem::rename(tree.Path("a"), tree.Path("b"));
  ASSERT_TRUE(IdentityOfRoot(RealFileSystem(), tree.Path("b"), &again));
  EXPECT_EQ(a == again, stable);
  tree.Mkdir("a");
  ASSERT_TRUE(IdentityOfRoot(RealFileSystem(), tree.Path("a"), &copy));
  EXPECT_NE(a, copy);
  RootIdentity parsed;
  ASSERT_TRUE(ParseIdentity(IdentityText(a), &parsed));
  EXPECT_EQ(parsed, a);
  EXPECT_FALSE(IdentityOfRoot(RealFileSystem(), tree.Path("missing"), &copy));
}

std::map<std::string, std::string> Compare(Session& s, const std::string& l, const std::string& r) {
  s.list.Clear();
  bool side = true;
  FillColumn(s.ctx, l, side);
  side = false;
  FillColumn(s.ctx, r, side);
  s.state.compare_options.two_way = true;
  CompareFolders(s.ctx, false);
  std::map<std::string, std::string> marks;
  for (int i = 1; i <= s.list.RowCount(); ++i) {
    const std::string name(s.list.LeftName(i).empty() ? s.list.RightName(i) : s.list.LeftName(i));
    marks[name] = std::string(MarkText(s.list.GetMark(i)));
  }
  return marks;
}

// On the real FAT driver: the stick's state not trusted after a remount (so no deletion
// ever travels from a stick), a move or a case rename on the stick copied instead of
// renamed, or the stick read in another time zone looking all changed against its state.
TEST(TwoWayRealFat, StateMovesCaseAndHourAgainstTheState) {
  RealFs fat(RealFsKind::kFat);
  REAL_FS_OR_SKIP(fat);
  TempTree local;
  TimeZone zone("UTC");
  ASSERT_TRUE(fat.Remount()) << fat.why();
  for (int i = 0; i < 24; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    const std::string content(static_cast<size_t>(i + 1), 'a');
    local.Write("L/" + name, content, kBase + 2 * i);
    WriteAt(fat.Path(name), content, kBase + 2 * i);
  }
  ASSERT_TRUE(fat.Remount()) << fat.why();
  const std::string left = local.Path("L") + "/";
  const std::string right = fat.Path("");
  Session s;
  Compare(s, left, right);
  ASSERT_TRUE(SaveListInLine(s.ctx, left, right));

  // Another mount of the same stick, read an hour off: still the pair's state, all in line.
  zone.Set("UTC+1");
  ASSERT_TRUE(fat.Remount()) << fat.why();
  struct stat st {};
  ASSERT_EQ(stat(fat.Path("f0.txt").c_str(), &st), 0);
  ASSERT_EQ(st.st_mtime, kBase + 3600) << "the driver no longer converts local time";
  auto marks = Compare(s, left, right);
  ASSERT_TRUE(s.state.two_way.trusted) << s.state.two_way.verdict.reason;
  for (const auto& [name, mark] : marks) EXPECT_EQ(mark, "=") << name;

  // A move and a rename in case only, made on the stick back in the first zone (this driver
  // gives a renamed file the time of the rename: it is set back, as other drivers keep it),
  // read in the other one again.
  zone.Set("UTC");
  ASSERT_TRUE(fat.Remount()) << fat.why();
  auto rename = [](const std::string& from, const std::string& to) {
    struct stat before {};
    ASSERT_EQ(stat(from.c_str(), &before), 0);
    std::filesystem::rename(from, to);
    struct timespec times[2] = {before.st_mtim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, to.c_str(), times, 0), 0) << to;
  };
  std::filesystem::create_directories(fat.Path("sub"));
  rename(fat.Path("f5.txt"), fat.Path("sub/f5-moved.txt"));
  rename(fat.Path("f7.txt"), fat.Path("F7.TXT"));
  zone.Set("UTC+1");
  ASSERT_TRUE(fat.Remount()) << fat.why();
  marks = Compare(s, left, right);
  const TwoWaySession& tw = s.state.two_way;
  ASSERT_TRUE(tw.trusted) << tw.verdict.reason;
  EXPECT_EQ(marks["f5.txt"], "<-X");
  EXPECT_EQ(marks["sub/f5-moved.txt"], "<--");
  EXPECT_EQ(marks["f7.txt"], "<--");
  std::string rows;
  for (const std::string& row : RowsOf(s.list)) rows += row + "\n";
  ASSERT_EQ(tw.moves.size(), 2u) << rows;
  for (const MovePair& m : tw.moves) {
    EXPECT_EQ(m.side, 'L');
    if (m.case_only) {
      EXPECT_EQ(m.from + ">" + m.to, "f7.txt>F7.TXT");
    } else {
      EXPECT_EQ(m.from + ">" + m.to, "f5.txt>sub/f5-moved.txt");
    }
  }
  EXPECT_EQ(tw.deleted_left + tw.deleted_right, 0);
}

}  // namespace
}  // namespace tavrik::testing
