// What sticks and shares do to names and times: FAT's two-second times, and names written
// composed (NFC) on one side and decomposed (NFD) on the other.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/fs/time_resolution.h"
#include "core/sync/sync.h"
#include "support/mem_session.h"

namespace tavrik::testing {
namespace {

constexpr int64_t kTwoSeconds = 2000000000;
const std::string kNfc = "\xC3\x84pfel.txt";        // "Äpfel.txt" composed
const std::string kNfd = "A\xCC\x88pfel.txt";       // "Äpfel.txt" decomposed
const std::string kNfdLower = "a\xCC\x88pfel.txt";  // "äpfel.txt" decomposed

// Catches the FAT family being compared to the second (endless re-copies of every file with
// an odd second) or any other file system being given a tolerance.
TEST(TimeStepTest, OnlyTheFatFamilyStoresTwoSecondSteps) {
  for (const char* fat : {"vfat", "msdos", "fuse.fusefat", "VFAT"})
    EXPECT_EQ(TimeStepOfType(fat), 2) << fat;
  for (const char* other :
       {"ext4", "tmpfs", "btrfs", "xfs", "fuse.sshfs", "fuseblk", "exfat", "nfs4", "cifs", ""})
    EXPECT_EQ(TimeStepOfType(other), 1) << other;
  EXPECT_EQ(CompareAtStep(1001, 1000, 2), 0);
  EXPECT_EQ(CompareAtStep(1000, 1001, 2), 0);
  EXPECT_EQ(CompareAtStep(1002, 1000, 2), 1);
  EXPECT_EQ(CompareAtStep(1000, 1003, 2), -1);
  EXPECT_EQ(CompareAtStep(1001, 1000, 1), 1);
}

// Catches a sync onto a FAT stick that the next age comparison undoes: the stick stores an
// odd second one second earlier, which must still be "="; three seconds newer still shows.
TEST(FatTimesTest, AgeComparisonAgainstAFatStickComparesInTwoSecondSteps) {
  MemSession s;
  s.mem.Mount("/stick", "vfat", kTwoSeconds);
  s.mem.AddFile("/disk/odd.txt", "o", 1700000001, 500000000);
  s.mem.AddFile("/stick/odd.txt", "o", 1700000001, 500000000);  // stored as ...000
  s.mem.AddFile("/disk/newer.txt", "n", 1700000003, 0);
  s.mem.AddFile("/stick/newer.txt", "n", 1700000000, 0);
  s.mem.AddFile("/disk/older.txt", "x", 1700000000, 0);
  s.mem.AddFile("/stick/older.txt", "x", 1700000004, 0);
  ASSERT_EQ(s.mem.Status("/stick/odd.txt")->st_mtim.tv_sec, 1700000000);
  s.FillBoth("/disk", "/stick");
  CompareFolders(s.ctx, false);
  EXPECT_EQ(s.Rows(), (std::vector<std::string>{"newer.txt|-->|newer.txt", "odd.txt|=|odd.txt",
                                                "older.txt|<--|older.txt"}));
}

// Catches a blanket tolerance: on two ordinary disks one second newer is newer.
TEST(FatTimesTest, OrdinaryDisksStillTellOneSecondApart) {
  MemSession s;
  s.mem.AddFile("/a/f.txt", "1", 1700000001, 0);
  s.mem.AddFile("/b/f.txt", "1", 1700000000, 999999999);
  s.FillBoth("/a", "/b");
  CompareFolders(s.ctx, false);
  EXPECT_EQ(s.Rows(), (std::vector<std::string>{"f.txt|-->|f.txt"}));
}

// Catches a copy onto the stick that leaves the pair unequal at the stick's resolution.
TEST(FatTimesTest, AfterASyncOntoAFatStickEveryPairIsEqual) {
  MemSession s;
  s.mem.Mount("/stick", "vfat", kTwoSeconds);
  s.mem.AddFile("/disk/a.txt", "new a", 1700000011, 123456789);
  s.mem.AddFile("/disk/sub/b.txt", "new b", 1700000013, 0);
  s.mem.AddFile("/stick/a.txt", "old", 1600000000, 0);
  s.FillBoth("/disk", "/stick");
  CompareFolders(s.ctx, false);
  // The right-only orphan needs the popup's "-->" to be copied, as a user would set it.
  for (int i = 1; i <= s.list.RowCount(); ++i)
    if (s.list.GetMark(i) == Mark::kOrphanCopyRight) s.list.SetMark(i, Mark::kCopyRight);
  s.host.boxes.clear();
  SyncFolders(s.ctx);
  ASSERT_TRUE(s.host.boxes.empty()) << s.host.boxes[0].text;
  EXPECT_EQ(s.mem.Content("/stick/sub/b.txt"), "new b");
  EXPECT_EQ(s.mem.Status("/stick/a.txt")->st_mtim.tv_sec, 1700000010);
  s.FillBoth("/disk", "/stick");
  CompareFolders(s.ctx, false);
  EXPECT_EQ(s.Rows(), (std::vector<std::string>{"a.txt|=|a.txt", "sub/b.txt|=|sub/b.txt"}));
}

// Catches names that differ only in their Unicode form showing as two orphans, a pairing
// that prefers a near match over an exact one, and "ß" pairing with "SS".
TEST(UnicodeNamesTest, ComposedAndDecomposedNamesPairExactMatchesFirst) {
  MemSession s;
  s.mem.AddFile("/L/" + kNfc, "1", 1700000000);
  s.mem.AddFile(
      "/L/stra\xC3\x9F"
      "e.txt",
      "1", 1700000000);
  s.mem.AddFile("/L/twin-" + kNfc, "1", 1700000000);
  s.mem.AddFile("/L/twin-" + kNfd, "2", 1700000000);
  s.mem.AddFile("/L/\xFF-raw.txt", "1", 1700000000);
  s.mem.AddFile("/R/" + kNfdLower, "1", 1700000000);
  s.mem.AddFile("/R/STRASSE.txt", "1", 1700000000);
  s.mem.AddFile("/R/twin-" + kNfd, "2", 1700000000);
  s.mem.AddFile("/R/\xFF-raw.txt", "1", 1700000000);
  s.FillBoth("/L", "/R");
  std::vector<std::string> rows = s.Rows();
  std::vector<std::string> expected = {"||STRASSE.txt",
                                       kNfc + "||" + kNfdLower,
                                       "stra\xC3\x9F"
                                       "e.txt||",
                                       "twin-" + kNfc + "||",
                                       "twin-" + kNfd + "||twin-" + kNfd,
                                       "\xFF-raw.txt||\xFF-raw.txt"};
  std::sort(rows.begin(), rows.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(rows, expected);
}

// Catches a copy onto the paired side that writes the other side's name beside the file
// instead of replacing it.
TEST(UnicodeNamesTest, ACopyOntoThePairedSideKeepsThatSidesName) {
  MemSession s;
  s.mem.AddFile("/L/" + kNfc, "new", 1700000100);
  s.mem.AddFile("/R/" + kNfd, "old", 1700000000);
  s.FillBoth("/L", "/R");
  CompareFolders(s.ctx, false);
  ASSERT_EQ(s.Rows(), (std::vector<std::string>{kNfc + "|-->|" + kNfd}));
  SyncFolders(s.ctx);
  EXPECT_EQ(s.mem.Names("/R"), (std::vector<std::string>{kNfd}));
  EXPECT_EQ(s.mem.Content("/R/" + kNfd), "new");
}

}  // namespace
}  // namespace tavrik::testing
