// Syncs onto real FAT, exFAT and sshfs mounts (user-space drivers, as a stick or a share is
// seen): copies that the medium's missing permission bits must not fail, times that after a
// remount show only as the medium stores them, case-insensitive names, names the medium
// refuses, replacements and new folder chains on a share.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/compare/compare.h"
#include "core/sync/file_ops.h"
#include "core/sync/sync.h"
#include "support/real_fs.h"
#include "support/session.h"
#include "support/temp_tree.h"

namespace tavrik::testing {
namespace {

class RealMediaTest : public ::testing::TestWithParam<RealFsKind> {
 protected:
  void FillAndCompare(const std::string& left, const std::string& right) {
    s.host = FakeHost();
    s.Fill(left, true);
    s.Fill(right, false);
    CompareFolders(s.ctx, false);
    s.host.boxes.clear();
  }
  // Marks the left-only rows "-->", as a user does through the popup.
  void CopyNewToTheRight() {
    for (int i = 1; i <= s.list.RowCount(); ++i)
      if (s.list.GetMark(i) == Mark::kOrphanCopyRight) s.list.SetMark(i, Mark::kCopyRight);
  }
  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const Box& box : s.host.boxes) texts.push_back(box.text);
    return texts;
  }
  int MarkCount(Mark mark) const {
    int n = 0;
    for (int i = 1; i <= s.list.RowCount(); ++i) n += s.list.GetMark(i) == mark;
    return n;
  }
  std::string ReadFile(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  TempTree local;
  Session s;
};

std::string MediumName(const ::testing::TestParamInfo<RealFsKind>& info) {
  return RealFsName(info.param);
}

INSTANTIATE_TEST_SUITE_P(Media, RealMediaTest,
                         ::testing::Values(RealFsKind::kFat, RealFsKind::kExfat,
                                           RealFsKind::kSshfs),
                         MediumName);

// The stick formats: no letter case, and names of their own they refuse (a share has both).
class StickMediaTest : public RealMediaTest {};

INSTANTIATE_TEST_SUITE_P(Media, StickMediaTest,
                         ::testing::Values(RealFsKind::kFat, RealFsKind::kExfat), MediumName);

// Catches copies failing on media without permission bits, times that differ after a
// remount and so copy everything again, and a newer file no longer being seen.
TEST_P(RealMediaTest, ASyncConvergesAndStaysConvergedAfterARemount) {
  RealFs medium(GetParam());
  REAL_FS_OR_SKIP(medium);
  local.Write("L/plain.txt", "plain 0644", 1700000001);
  local.SetTime("L/plain.txt", 1700000001, 700000000);
  chmod(local.Path("L/plain.txt").c_str(), 0644);
  local.Write("L/secret.txt", "private 0600", 1700000003);
  chmod(local.Path("L/secret.txt").c_str(), 0600);
  local.Write("L/tool.sh", "#!/bin/sh\n", 1700000004);
  local.SetTime("L/tool.sh", 1700000004, 123456789);
  chmod(local.Path("L/tool.sh").c_str(), 0755);
  local.Write("L/sub/deeper/odd.bin", std::string(300000, 'o'), 1700000007);
  // The FAT driver takes ASCII names only; the other media take umlauts.
  if (GetParam() != RealFsKind::kFat) local.Write("L/sub/Äpfel ölig.txt", "umlaut", 1700000009);
  FillAndCompare(local.Path("L"), medium.Dir());
  CopyNewToTheRight();
  SyncFolders(s.ctx);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{});
  EXPECT_TRUE(ReadFile(medium.Path("sub/deeper/odd.bin")) == std::string(300000, 'o'));
  EXPECT_EQ(ReadFile(medium.Path("secret.txt")), "private 0600");

  ASSERT_TRUE(medium.Remount()) << medium.why();
  FillAndCompare(local.Path("L"), medium.Dir());
  EXPECT_EQ(MarkCount(Mark::kEqual), s.list.RowCount()) << ::testing::PrintToString(s.Rows());
  const int renames = s.fs.Count(FsCall::kRename);
  SyncFolders(s.ctx);
  EXPECT_EQ(s.fs.Count(FsCall::kRename), renames) << "the second sync copied something";

  local.SetTime("L/plain.txt", 1700000004, 700000000);  // three seconds newer
  FillAndCompare(local.Path("L"), medium.Dir());
  EXPECT_EQ(MarkCount(Mark::kCopyRight), 1) << ::testing::PrintToString(s.Rows());
}

// Catches two left names that differ only in case overwriting each other on a medium that
// cannot tell them apart: the second fails with the reason, nothing is lost on either side.
TEST_P(StickMediaTest, NamesDifferingOnlyInCaseNeverOverwriteEachOther) {
  RealFs medium(GetParam());
  REAL_FS_OR_SKIP(medium);
  local.Write("L/Report.txt", "upper", 1700000000);
  local.Write("L/report.txt", "lower", 1700000000);
  FillAndCompare(local.Path("L"), medium.Dir());
  CopyNewToTheRight();
  SyncFolders(s.ctx);
  ASSERT_EQ(s.host.boxes.size(), 1u) << ::testing::PrintToString(BoxTexts());
  ASSERT_TRUE(s.host.boxes[0].reason.has_value());
  EXPECT_EQ(s.host.boxes[0].reason->code, EEXIST);
  EXPECT_NE(s.host.boxes[0].text.find(kWhyNameTaken), std::string::npos);
  EXPECT_EQ(local.Read("L/Report.txt"), "upper");
  EXPECT_EQ(local.Read("L/report.txt"), "lower");
  // The row walk runs from the last row: "report.txt" arrived, "Report.txt" was refused.
  EXPECT_EQ(ReadFile(medium.Path("report.txt")), "lower");
}

// Catches a copy onto a free name that replaces a twin named in another case, put on the
// stick by another program between the check and the rename: the medium's driver offers no
// rename that refuses to replace, nor hard links, so the last check must see the twin.
TEST_P(StickMediaTest, ATwinAppearingBeforeTheRenameStays) {
  RealFs medium(GetParam());
  REAL_FS_OR_SKIP(medium);
  local.Write("L/Report.txt", "copy", 1700000000);
  FillAndCompare(local.Path("L"), medium.Dir());
  CopyNewToTheRight();
  bool planted = false;
  s.fs.SetHook([&](FsCall call, const std::string& name) {
    if (call == FsCall::kRename && name == "Report.txt" && !planted) {
      planted = true;
      std::ofstream(medium.Path("report.txt")) << "twin";
    }
    return 0;
  });
  SyncFolders(s.ctx);
  s.fs.Reset();
  EXPECT_TRUE(planted);
  ASSERT_EQ(s.host.boxes.size(), 1u) << ::testing::PrintToString(BoxTexts());
  EXPECT_NE(s.host.boxes[0].text.find(kWhyNameTaken), std::string::npos);
  EXPECT_EQ(ReadFile(medium.Path("report.txt")), "twin");
  EXPECT_EQ(s.list.RowCount(), 1);
}

// Catches a name the medium refuses stopping the run or vanishing without a word.
TEST_P(StickMediaTest, ANameTheMediumRefusesFailsItsRowOnly) {
  RealFs medium(GetParam());
  REAL_FS_OR_SKIP(medium);
  local.Write("L/a.txt", "a", 1700000000);
  local.Write("L/what?.txt", "q", 1700000000);
  local.Write("L/z.txt", "z", 1700000000);
  FillAndCompare(local.Path("L"), medium.Dir());
  CopyNewToTheRight();
  SyncFolders(s.ctx);
  ASSERT_EQ(s.host.boxes.size(), 1u) << ::testing::PrintToString(BoxTexts());
  EXPECT_NE(s.host.boxes[0].text.find("what?.txt"), std::string::npos);
  EXPECT_NE(s.host.boxes[0].text.find(kWhyNameRefused), std::string::npos);
  EXPECT_EQ(ReadFile(medium.Path("a.txt")), "a");
  EXPECT_EQ(ReadFile(medium.Path("z.txt")), "z");
  EXPECT_EQ(s.list.RowCount(), 1);
}

// Catches replacements, new folder chains and the read-only refusal failing on a share.
TEST_P(RealMediaTest, ReplacementsFolderChainsAndReadOnlyTargets) {
  RealFs medium(GetParam());
  REAL_FS_OR_SKIP(medium);
  local.Write("L/old.txt", "new content", 1700000100);
  local.Write("L/x/y/z/chain.txt", "chain", 1700000100);
  local.Write("L/locked.txt", "newer", 1700000100);
  {
    std::ofstream(medium.Path("old.txt")) << "old";
    std::ofstream(medium.Path("locked.txt")) << "kept";
  }
  struct timespec old_times[2] = {{1600000000, 0}, {1600000000, 0}};
  utimensat(AT_FDCWD, medium.Path("old.txt").c_str(), old_times, 0);
  utimensat(AT_FDCWD, medium.Path("locked.txt").c_str(), old_times, 0);
  const bool can_lock = chmod(medium.Path("locked.txt").c_str(), 0444) == 0 && [&] {
    struct stat st {};
    return stat(medium.Path("locked.txt").c_str(), &st) == 0 && !(st.st_mode & S_IWUSR);
  }();
  FillAndCompare(local.Path("L"), medium.Dir());
  CopyNewToTheRight();
  SyncFolders(s.ctx);
  EXPECT_EQ(ReadFile(medium.Path("old.txt")), "new content");
  EXPECT_EQ(ReadFile(medium.Path("x/y/z/chain.txt")), "chain");
  if (can_lock) {
    EXPECT_EQ(ReadFile(medium.Path("locked.txt")), "kept");
    ASSERT_EQ(s.host.boxes.size(), 1u) << ::testing::PrintToString(BoxTexts());
    EXPECT_NE(s.host.boxes[0].text.find("Die Datei ist schreibgeschützt."), std::string::npos);
  } else {
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{}) << "the medium keeps no write bit";
  }
}

// Catches links bound for a stick that holds none failing row by row or vanishing from the
// list, and the followed policy not copying what they lead to onto the stick.
TEST_P(StickMediaTest, LinksAreToldOnceOrWithFollowCopiedAsTheirTargets) {
  for (const bool follow : {false, true}) {
    SCOPED_TRACE(follow ? "follow" : "keep");
    RealFs medium(GetParam());
    REAL_FS_OR_SKIP(medium);
    TempTree tree;
    tree.Write("L/target.txt", "target", 1700000000);
    tree.Write("L/sub/x.txt", "x", 1700000000);
    ASSERT_EQ(symlink("target.txt", tree.Path("L/filelink").c_str()), 0);
    ASSERT_EQ(symlink("sub", tree.Path("L/dirlink").c_str()), 0);
    s.state.follow_links = follow;
    s.host = FakeHost();
    s.Fill(tree.Path("L"), true);
    s.Fill(medium.Dir(), false);
    // A folder reached through a link is no access error, however the listing was timed.
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{});
    CompareFolders(s.ctx, false);
    s.host.boxes.clear();
    CopyNewToTheRight();
    SyncFolders(s.ctx);
    EXPECT_EQ(ReadFile(medium.Path("target.txt")), "target");
    if (follow) {
      EXPECT_EQ(BoxTexts(), std::vector<std::string>{});
      EXPECT_EQ(ReadFile(medium.Path("filelink")), "target");
      EXPECT_EQ(ReadFile(medium.Path("dirlink/x.txt")), "x");
      EXPECT_EQ(s.list.RowCount(), 0);
      continue;
    }
    EXPECT_EQ(s.state.notes.refused_links, 2);
    ASSERT_EQ(s.host.boxes.size(), 1u) << ::testing::PrintToString(BoxTexts());
    EXPECT_NE(s.host.boxes[0].text.find(kWhyNoLinks), std::string::npos);
    EXPECT_EQ(RowsOf(s.list), (std::vector<std::string>{"dirlink|-->|", "filelink|-->|"}));
    struct stat st {};
    EXPECT_NE(lstat(medium.Path("filelink").c_str(), &st), 0);
  }
}

}  // namespace
}  // namespace tavrik::testing
